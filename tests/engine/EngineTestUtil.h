#pragma once

// Helpers shared by the engine and end-to-end tests: the activity log, test messages, ports.

#include "engine/mail/ActivityLog.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ostream>

// Readable QString values in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace lw::test {

// This month's log entry texts; an entry not "yyyy/MM/dd hh:mm:ss==> text CR CR LF" becomes "<bad>...".
inline QStringList LogEntries(const QString& programFolder, const QString& prefix = QStringLiteral("log"))
{
    QFile file(mail::LogFilePath(programFolder, prefix, QDateTime::currentDateTime()));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray all = file.readAll();
    QStringList entries;
    for (const QByteArray& raw : all.split('\n')) {
        if (raw.isEmpty()) continue;
        const QString entry = QString::fromUtf8(raw);
        const bool stamped = QDateTime::fromString(entry.left(19), QStringLiteral("yyyy/MM/dd hh:mm:ss")).isValid() &&
                             entry.mid(19, 4) == QStringLiteral("==> ") && entry.endsWith(QStringLiteral("\r\r"));
        entries << (stamped ? entry.mid(23).chopped(2) : QStringLiteral("<bad>") + entry);
    }
    if (!all.isEmpty() && !all.endsWith('\n')) entries << QStringLiteral("<bad>unterminated last entry");
    return entries;
}

// A plain-text message, its subject one UTF-8 encoded word.
inline QByteArray MakeMessage(const QString& from, const QString& to, const QString& subject,
                              const QString& body = QStringLiteral("本文です。\r\n"), const QByteArray& extraHeaders = {})
{
    return "From: " + from.toUtf8() + "\r\nTo: " + to.toUtf8() + "\r\nSubject: =?UTF-8?B?" + subject.toUtf8().toBase64() +
           "?=\r\nDate: Mon, 07 Dec 2026 10:00:00 +0900\r\nMessage-ID: <" + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) +
           "." + QByteArray::number(qHash(subject)) + "@example.jp>\r\n" + extraHeaders +
           "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + body.toUtf8();
}

// The Subject field decodes to the text (one UTF-8 B word, possibly after an ASCII "Fw: ").
inline bool HasSubject(const QByteArray& message, const QString& subject)
{
    const QByteArray all = '\n' + message;
    const qsizetype at = all.indexOf("\nSubject: ");
    if (at < 0) return false;
    QByteArray value = all.mid(at + 10, all.indexOf('\n', at + 1) - at - 10).trimmed();
    const qsizetype word = value.indexOf("=?UTF-8?B?");
    const qsizetype end = value.indexOf("?=", word + 10);
    if (word >= 0 && end > word)
        value = value.left(word) + QByteArray::fromBase64(value.mid(word + 10, end - word - 10)) + value.mid(end + 2);
    return QString::fromUtf8(value) == subject;
}

// Writes data to folder/name and returns the path (empty on failure).
inline QString WriteFile(const QString& folder, const QString& name, const QByteArray& data)
{
    QDir().mkpath(folder);
    QFile f(QDir(folder).filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) return {};
    return f.fileName();
}

// A loopback port that accepts connections and never answers (a hung server); with listening
// false, a port where nothing listens.
class SilentPort {
public:
    explicit SilentPort(bool listening = true) : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            return;
        m_port = ntohs(a.sin_port);
        if (listening) ::listen(m_fd, 16);
        else if (::close(m_fd) == 0) m_fd = -1;
    }
    ~SilentPort() { if (m_fd >= 0) ::close(m_fd); }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace lw::test
