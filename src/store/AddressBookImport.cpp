#include "store/AddressBookImport.h"

#include "base/TextTrim.h"
#include "store/FindOrAdd.h"
#include "store/ListDatabase.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringDecoder>
#include <QVariant>

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace lw::store {

namespace {

constexpr qsizetype kMaxFields = 100;
constexpr qint64 kProgressStep = 1000;

const QString kNameTitle = QStringLiteral("表示名");
const QString kAddressTitle = QStringLiteral("電子メール アドレス");

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// CP932 (Shift_JIS with the NEC and IBM extensions) to text; each byte iconv cannot take
// becomes U+FFFD so that a damaged file still imports what it can.
QString DecodeCp932(const QByteArray& bytes)
{
    iconv_t raw = iconv_open("UTF-8", "CP932");
    if (raw == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(bytes);
    IconvHandle cd(raw);
    std::string out;
    out.reserve(static_cast<std::size_t>(bytes.size()) * 3 / 2 + 16);
    char* in = const_cast<char*>(bytes.constData());
    std::size_t inLeft = static_cast<std::size_t>(bytes.size());
    char buffer[16384];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(raw, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ or a sequence cut off at the end: replace one byte and go on.
        out.append("\xEF\xBF\xBD");
        ++in;
        --inLeft;
    }
    return QString::fromUtf8(out.data(), static_cast<qsizetype>(out.size()));
}

// One record of the file: its fields and the line it starts on (1-based).
struct Record {
    QStringList fields;
    qint64 line = 0;
    bool blank = false;
};

// Splits the text into records. A line ends at CR LF, CR or LF. A field that starts with a
// double quote runs to the matching quote ("" inside is one quote; commas and line breaks are
// kept); any other field is taken as it stands, quotes included, up to the next comma.
[[nodiscard]] bool ParseRecords(const QString& text, std::vector<Record>& records, QString& error)
{
    const QChar* s = text.constData();
    const qsizetype n = text.size();
    qsizetype i = 0;
    qint64 line = 1;
    while (i < n) {
        Record record;
        record.line = line;
        bool quotedSeen = false;
        for (;;) {
            QString value;
            while (i < n && s[i] == u' ') ++i;
            if (i < n && s[i] == u'"') {
                quotedSeen = true;
                const qint64 fieldLine = line;
                ++i;
                for (;;) {
                    if (i >= n) {
                        error = QStringLiteral("%1行目: 引用符（\"）で始まる項目が閉じられていません。").arg(fieldLine);
                        return false;
                    }
                    const QChar c = s[i];
                    if (c == u'"') {
                        if (i + 1 < n && s[i + 1] == u'"') {
                            value += u'"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (c == u'\n' || (c == u'\r' && !(i + 1 < n && s[i + 1] == u'\n'))) ++line;
                    value += c;
                    ++i;
                }
            }
            // The rest of the field up to the separator, taken literally.
            const qsizetype start = i;
            while (i < n && s[i] != u',' && s[i] != u'\r' && s[i] != u'\n') ++i;
            if (i > start) value += QStringView(s + start, i - start);
            if (record.fields.size() == kMaxFields) {
                error = QStringLiteral("%1行目: 項目が%2個を超えています。").arg(record.line).arg(kMaxFields);
                return false;
            }
            record.fields.append(base::TrimSpaces(value));
            if (i < n && s[i] == u',') {
                ++i;
                continue;
            }
            break;
        }
        // Consume the line end: CR LF, CR or LF.
        if (i < n && s[i] == u'\r') {
            ++i;
            if (i < n && s[i] == u'\n') ++i;
            ++line;
        } else if (i < n && s[i] == u'\n') {
            ++i;
            ++line;
        }
        record.blank = !quotedSeen && record.fields.size() == 1 && record.fields.front().isEmpty();
        records.push_back(std::move(record));
    }
    return true;
}

// Closes the shared connection when the import leaves, whatever the path.
struct CloseOnExit {
    ~CloseOnExit() { CloseListDatabase(); }
};

} // namespace

QString DecodeAddressBookText(const QByteArray& bytes, QString& encoding)
{
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        encoding = QStringLiteral("UTF-8");
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    }
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const bool little = bytes.at(0) == '\xFF';
        encoding = little ? QStringLiteral("UTF-16LE") : QStringLiteral("UTF-16BE");
        QStringDecoder decoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        return decoder.decode(bytes.mid(2));
    }
    QStringDecoder utf8(QStringConverter::Utf8);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError()) {
        encoding = QStringLiteral("UTF-8");
        return text;
    }
    encoding = QStringLiteral("CP932");
    return DecodeCp932(bytes);
}

base::Status ImportAddressBook(const QString& filePath, const QString& folder, const QString& listName,
                               ImportReport& report, const ImportProgress& progress)
{
    report = ImportReport{};
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return base::Fail(QStringLiteral("ファイルを開けません: %1（%2）").arg(filePath, file.errorString()));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return base::Fail(QStringLiteral("ファイルを読めません: %1（%2）").arg(filePath, file.errorString()));
    }
    file.close();

    // The whole file is checked before the database is touched.
    std::vector<Record> records;
    if (QString error; !ParseRecords(DecodeAddressBookText(bytes, report.encoding), records, error))
        return base::Fail(error);

    qsizetype namePos = 0;
    qsizetype addressPos = 0;
    std::size_t first = 0;
    while (first < records.size() && records[first].blank) ++first;
    if (first < records.size()) {
        const QStringList& titles = records[first].fields;
        for (qsizetype i = 0; i < titles.size(); ++i) {
            if (titles[i] == kNameTitle) namePos = i;
            if (titles[i] == kAddressTitle) addressPos = i;
        }
        ++first;
    }
    const qsizetype needed = std::max(namePos, addressPos) + 1;
    const qint64 total = static_cast<qint64>(records.size() - first);

    if (const base::Status opened = OpenListDatabase(folder, listName.trimmed()); !opened)
        return base::Fail(QStringLiteral("リストデータベースを開けません: %1").arg(opened.ErrorText()));
    CloseOnExit closer;
    QSqlDatabase db = ListConnection();
    TransactionGuard transaction(db);
    if (const base::Status begun = transaction.Begin(); !begun)
        return base::Fail(QStringLiteral("リストデータベースに書き込めません: %1").arg(begun.ErrorText()));
    QSqlQuery clear(db);
    if (!clear.exec(QStringLiteral("DELETE FROM tblAdrbook"))) {
        return base::Fail(QStringLiteral("アドレス帳を空にできません: %1").arg(clear.lastError().text()));
    }
    QSqlQuery find(db);
    QSqlQuery update(db);
    QSqlQuery insert(db);
    if (!find.prepare(QStringLiteral("SELECT rowid FROM tblAdrbook WHERE 電子メールアドレス = ? LIMIT 1"))
        || !update.prepare(QStringLiteral("UPDATE tblAdrbook SET 表示名 = ? WHERE rowid = ?"))
        || !insert.prepare(QStringLiteral("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, ?)"))) {
        return base::Fail(QStringLiteral("アドレス帳を更新できません: %1").arg(db.lastError().text()));
    }

    qint64 done = 0;
    for (std::size_t r = first; r < records.size(); ++r, ++done) {
        if (progress && done % kProgressStep == 0 && !progress(done, total)) {
            report.cancelled = true;
            return base::Fail(QStringLiteral("アドレス帳のインポートを取り消しました。"));
        }
        const Record& record = records[r];
        if (record.blank) continue;
        if (record.fields.size() < needed || record.fields[addressPos].isEmpty()) {
            ++report.skippedLines;
            continue;
        }
        const QString& address = record.fields[addressPos];
        const QString& name = record.fields[namePos];
        const auto refused = [&](const QSqlQuery& query) {
            return base::Fail(QStringLiteral("%1行目: データベースが行を受け付けません: %2")
                                  .arg(record.line)
                                  .arg(query.lastError().text()));
        };
        find.addBindValue(address);
        if (!find.exec()) return refused(find);
        if (find.next()) {
            const QVariant rowid = find.value(0);
            find.finish();
            update.addBindValue(name);
            update.addBindValue(rowid);
            if (!update.exec()) return refused(update);
        } else {
            find.finish();
            insert.addBindValue(address);
            insert.addBindValue(name);
            if (!insert.exec()) return refused(insert);
            ++report.rows;
        }
    }
    if (progress && !progress(total, total)) {
        report.cancelled = true;
        return base::Fail(QStringLiteral("アドレス帳のインポートを取り消しました。"));
    }
    if (const base::Status committed = transaction.Commit(); !committed) {
        report.rows = 0;
        return base::Fail(QStringLiteral("アドレス帳を保存できません: %1").arg(committed.ErrorText()));
    }
    return {};
}

} // namespace lw::store
