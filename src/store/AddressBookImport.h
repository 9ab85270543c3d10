#pragma once

#include "base/Result.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace lw::store {

// Called as the import goes on with the data lines written so far and the total; returning
// false cancels the import, which then changes nothing.
using ImportProgress = std::function<bool(qint64 done, qint64 total)>;

// What one import did.
struct ImportReport {
    qint64 rows = 0;          // rows in tblAdrbook after the import
    qint64 skippedLines = 0;  // data lines without enough fields or without an address
    bool cancelled = false;   // the progress callback asked to stop; the book is unchanged
    QString encoding;         // "UTF-8", "UTF-16LE", "UTF-16BE" or "CP932"
};

// Turns the bytes of an address book file into text: a byte-order mark decides (UTF-8,
// UTF-16LE, UTF-16BE), else valid UTF-8 is UTF-8, else the bytes are CP932 with U+FFFD for
// each byte that is not. The name of the encoding used goes to encoding.
QString DecodeAddressBookText(const QByteArray& bytes, QString& encoding);

// Replaces tblAdrbook of folder/listName (".db" added when missing) with the entries of the
// CSV file at filePath, all in one transaction: on failure the previous address book is exactly
// as it was and the error names the line and the reason; report tells what was done. The
// first line names the columns "表示名" and "電子メール アドレス"; the later of two lines with
// one address wins.
base::Status ImportAddressBook(const QString& filePath, const QString& folder, const QString& listName,
                               ImportReport& report, const ImportProgress& progress = {});

} // namespace lw::store
