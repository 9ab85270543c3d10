#pragma once

#include <QDateTime>
#include <QString>

namespace lw::mail {

// Appends one entry to the month's activity log, programFolder + prefix + "yyyymm" + ".txt":
// "yyyy/mm/dd hh:nn:ss" + "==> " + text + CR + CR LF, UTF-8. The file is opened and closed
// per entry. A CR or LF inside text is written as the visible escape "\r" or "\n", so CR CR LF
// only ever ends an entry. A write that fails goes to standard error with the reason; it never
// throws.
void WriteLog(const QString& programFolder, const QString& prefix, const QString& text);

// Same, with the moment given: the month of the file and the time stamp come from it.
void WriteLog(const QString& programFolder, const QString& prefix, const QString& text,
              const QDateTime& now);

// text with each CR written as "\r" and each LF as "\n" (the backslash and a letter).
QString EscapeLineBreaks(const QString& text);

// Path of the log file that an entry written at `now` goes to.
QString LogFilePath(const QString& programFolder, const QString& prefix, const QDateTime& now);

} // namespace lw::mail
