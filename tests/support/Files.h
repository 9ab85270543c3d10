#pragma once

// Files, the activity log and readable QString values, for tests of every layer.

#include "mail/ActivityLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <ostream>

// Readable QString values in test failure messages, and Qt texts after << in one.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline std::ostream& operator<<(std::ostream& out, const QString& text)
{
    return out << text.toStdString();
}
inline std::ostream& operator<<(std::ostream& out, const QStringList& texts)
{
    return out << texts.join(u'|');
}

namespace lw::test {

// The contents of the file; empty when it cannot be read.
inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the file with data; false when it cannot.
inline bool WriteFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Writes data to folder/name, making the folder; the path, empty on failure.
inline QString WriteFile(const QString& folder, const QString& name, const QByteArray& data)
{
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(name);
    return WriteFile(path, data) ? path : QString();
}

// This month's log entry texts; an entry not "yyyy/MM/dd hh:mm:ss==> text CR CR LF" becomes "<bad>...".
inline QStringList LogEntries(const QString& programFolder, const QString& prefix = QStringLiteral("log"))
{
    const QByteArray all = ReadFile(mail::LogFilePath(programFolder, prefix, QDateTime::currentDateTime()));
    QStringList entries;
    for (const QByteArray& raw : all.split('\n')) {
        if (raw.isEmpty()) continue;
        const QString entry = QString::fromUtf8(raw);
        const bool stamped = QDateTime::fromString(entry.left(19), "yyyy/MM/dd hh:mm:ss").isValid() &&
                             entry.mid(19, 4) == "==> " && entry.endsWith("\r\r");
        entries << (stamped ? entry.mid(23).chopped(2) : "<bad>" + entry);
    }
    if (!all.isEmpty() && !all.endsWith('\n')) entries << QStringLiteral("<bad>unterminated last entry");
    return entries;
}

} // namespace lw::test
