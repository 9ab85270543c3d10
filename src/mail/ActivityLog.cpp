#include "mail/ActivityLog.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace lw::mail {

QString LogFilePath(const QString& programFolder, const QString& prefix, const QDateTime& now)
{
    QString folder = programFolder;
    if (!folder.isEmpty() && !folder.endsWith(QDir::separator()) && !folder.endsWith('/'))
        folder += QDir::separator();
    return folder + prefix + now.toString("yyyyMM") + ".txt";
}

QString EscapeLineBreaks(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

void WriteLog(const QString& programFolder, const QString& prefix, const QString& text,
              const QDateTime& now)
{
    // Values from a message (subjects, names, a command block's account) must not end the entry
    // and start a forged one: CR and LF appear as the two characters "\r" and "\n".
    const QByteArray entry =
        (now.toString("yyyy/MM/dd hh:mm:ss") + "==> " + EscapeLineBreaks(text)).toUtf8() + "\r\r\n";
    QFile file(LogFilePath(programFolder, prefix, now));
    QString failure;
    // The log holds command passwords: a new month's file is the owner's alone.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        failure = file.errorString();
    else if (file.write(entry) != entry.size() || !file.flush())
        failure = file.errorString();
    if (!failure.isEmpty()) {
        // The log is the operator's only record; when it cannot be written, say so where a
        // supervisor sees it and let the caller carry on.
        std::fprintf(stderr, "larchwatcher: cannot write log %s: %s\n%s",
                     qPrintable(file.fileName()), qPrintable(failure), entry.constData());
    }
}

void WriteLog(const QString& programFolder, const QString& prefix, const QString& text)
{
    WriteLog(programFolder, prefix, text, QDateTime::currentDateTime());
}

} // namespace lw::mail
