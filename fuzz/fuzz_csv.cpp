// The address book reader: arbitrary bytes as a CSV file, decoded and imported into a scratch
// list database, so the encoding guess, the quoted-field splitter and the transaction all run.
#include "FuzzSupport.h"
#include "store/AddressBookImport.h"

#include <QCoreApplication>
#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_csv";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const bool copied = [] {
        const QString target = lw::fuzz::ScratchFolder() + QStringLiteral("list.db");
        return QFile::exists(target) || QFile::copy(QStringLiteral(LW_TEMPLATE_DB), target);
    }();
    (void)copied;

    QString encoding;
    (void)lw::store::DecodeAddressBookText(lw::fuzz::Bytes(data, size), encoding);

    const QString path = lw::fuzz::WriteInput("book.csv", data, size);
    lw::store::ImportReport report;
    (void)lw::store::ImportAddressBook(path, lw::fuzz::ScratchFolder(), QStringLiteral("list"), report);
    return 0;
}
