// Command blocks: parsing arbitrary text, and handling it as the body of a received message
// with command mail allowed and empty credentials, so that blocks without account reach the
// rule list and the settings file.
#include "FuzzSupport.h"
#include "command/CommandMail.h"
#include "command/CommandParams.h"
#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"

#include <QCoreApplication>
#include <QFile>

namespace {

struct Fixture {
    Fixture()
    {
        folder = lw::fuzz::ScratchFolder();
        QFile::copy(QStringLiteral(LW_TEMPLATE_DB), folder + "list.db");
        copy = std::make_unique<lw::config::InMemoryWorkingCopy>(folder);
        lw::config::LoadSettingsIntoWindow(*copy, folder);
        copy->SetText("cmdaccount", {});
        copy->SetText("cmdpassword", {});
        copy->SetState("flgcmd", 1);
    }
    QString folder;
    std::unique_ptr<lw::config::InMemoryWorkingCopy> copy;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_command";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Fixture fixture;

    const QString text = QString::fromUtf8(lw::fuzz::Bytes(data, size));
    lw::command::CommandParams params;
    lw::command::ParseCommandParams(params, text);

    lw::mail::ReceivedMail mail;
    mail.file = fixture.folder + "message.eml";
    mail.body = text.contains(QStringLiteral("mpp{")) ? text : QStringLiteral("mpp{") + text;
    (void)lw::command::HandleCommandMail(lw::config::TakeSettingsSnapshot(*fixture.copy), mail, *fixture.copy);
    return 0;
}
