// Address book import of a 50,000-line CP932 file into a fresh list database.
// Target: under 3 s per import on the reference machine.
#include "store/AddressBookImport.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <iconv.h>

#include <cstdio>

namespace {

QByteArray ToCp932(const QByteArray& utf8)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    QByteArray out(utf8.size() * 2, '\0');
    char* in = const_cast<char*>(utf8.constData());
    std::size_t inLeft = static_cast<std::size_t>(utf8.size());
    char* outPtr = out.data();
    std::size_t outLeft = static_cast<std::size_t>(out.size());
    iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    out.truncate(out.size() - static_cast<qsizetype>(outLeft));
    return out;
}

// An export as a desktop address book writes it: quoted fields, a comma inside some names,
// one address in ten repeated later so that the later line must win.
QByteArray MakeBook(int lines)
{
    QByteArray csv = "\"名\",\"姓\",\"表示名\",\"ニックネーム\",\"電子メール アドレス\",\"自宅の住所\",\"会社名\"\r\n";
    for (int i = 1; i < lines; ++i) {
        const int id = (i % 10 == 0) ? i / 2 : i;
        csv += "\"太郎\",\"山田\",\"山田, 太郎 " + QByteArray::number(i) + "\",\"\",\"user" +
               QByteArray::number(id) + "@example.co.jp\",\"東京都千代田区丸の内1-1-1\",\"株式会社サンプル\"\r\n";
    }
    return ToCp932(csv);
}

void BM_ImportAddressBook(benchmark::State& state)
{
    QTemporaryDir home;
    const QString csvPath = home.filePath(QStringLiteral("book.csv"));
    QFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly) || csv.write(MakeBook(static_cast<int>(state.range(0)))) < 0) {
        state.SkipWithError("cannot write the test file");
        return;
    }
    csv.close();
    const QString templatePath = QStringLiteral(LW_BUILD_DIR "/src/app/list_org.db");
    if (!QFile::copy(templatePath, home.filePath(QStringLiteral("list.db")))) {
        state.SkipWithError("cannot copy the template database");
        return;
    }
    QFile::setPermissions(home.filePath(QStringLiteral("list.db")), QFile::ReadOwner | QFile::WriteOwner);
    lw::store::ImportReport report;
    for (auto _ : state) {
        if (const lw::base::Status imported =
                lw::store::ImportAddressBook(csvPath, home.path(), QStringLiteral("list"), report);
            !imported) {
            state.SkipWithError(imported.ErrorText().toStdString().c_str());
            return;
        }
    }
    state.counters["rows"] = static_cast<double>(report.rows);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.range(0)) * state.iterations(),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ImportAddressBook)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
