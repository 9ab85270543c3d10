// The window's question on a certificate the system does not trust.
#include "ui/CertificatePrompt.h"

#include "config/ConnectionSecurity.h"
#include "ui/UiTest.h"

using namespace lw;

TEST(CertificatePrompt, ShowsTheCertificateAndTrustsExactlyItForItsServerOnlyOnYes)
{
    test::TempHome home;
    engine::RefusedCertificate refused;
    refused.server = {QStringLiteral("pop3"), QStringLiteral("192.0.2.7"), 995, QStringLiteral("box")};
    refused.certificate = {"CN=mail.office.example,O=事務所", "CN=mail.office.example,O=事務所",
                           "2026-01-01 00:00:00 UTC", "2027-01-01 00:00:00 UTC",
                           "11:22:33:44:55:66:77:88:99:00:AA:BB:CC:DD:EE:FF:11:22:33:44:55:66:77:88:99:00:AA:BB:CC:DD:EE:FF",
                           "self-signed certificate"};
    ui::MessageBox::ClearLog();
    ui::MessageBox::SetNextAnswer(ui::MessageBox::No);
    EXPECT_FALSE(ui::OfferToTrust(nullptr, home.Path(), refused));
    EXPECT_EQ(config::ConnectionSecurity::Load(home.Path()).PinnedFingerprint("192.0.2.7", 995), "");
    ASSERT_EQ(ui::MessageBox::Log().size(), 1);
    const QString asked = ui::MessageBox::Log().front();
    for (const QString& part : {QStringLiteral("192.0.2.7:995（POP3）"), QStringLiteral("self-signed certificate"),
                                QStringLiteral("主体: CN=mail.office.example,O=事務所"), QStringLiteral("発行者: CN="),
                                QStringLiteral("2026-01-01 00:00:00 UTC ～ 2027-01-01 00:00:00 UTC"),
                                QStringLiteral("SHA-256: 11:22:33")})
        EXPECT_TRUE(asked.contains(part)) << part.toStdString() << " missing in " << asked.toStdString();
    EXPECT_FALSE(asked.contains(QStringLiteral("信頼済み")));

    ui::MessageBox::SetNextAnswer(ui::MessageBox::Yes);
    EXPECT_TRUE(ui::OfferToTrust(nullptr, home.Path(), refused));
    const config::ConnectionSecurity security = config::ConnectionSecurity::Load(home.Path());
    EXPECT_EQ(security.PinnedFingerprint("192.0.2.7", 995).toStdString(), refused.certificate.fingerprint);
    EXPECT_EQ(security.PinnedFingerprint("192.0.2.7", 110), "");

    // A certificate that replaced the trusted one names both fingerprints.
    refused.pinnedFingerprint = QStringLiteral("AA:AA");
    EXPECT_TRUE(ui::TrustQuestionText(refused).contains(QStringLiteral("信頼済み SHA-256: AA:AA")));
    EXPECT_EQ(ui::MessageBox::PendingAnswers(), 0);
}
