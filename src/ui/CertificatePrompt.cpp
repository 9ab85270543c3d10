#include "ui/CertificatePrompt.h"

#include "config/ConnectionSecurity.h"
#include "ui/MessageBox.h"

namespace lw::ui {

QString TrustQuestionText(const engine::RefusedCertificate& refused)
{
    const mail::ServerCertificate& c = refused.certificate;
    const auto text = [](const std::string& s) { return QString::fromStdString(s); };
    QString question = QStringLiteral("サーバー ") + engine::ServerName(refused.server.host, refused.server.port) +
                       QStringLiteral("（") + refused.server.protocol.toUpper() +
                       QStringLiteral("）の証明書は、システムが信頼していません（") + text(c.problem) +
                       QStringLiteral("）。\n\n主体: ") + text(c.subject) + QStringLiteral("\n発行者: ") +
                       text(c.issuer) + QStringLiteral("\n有効期間: ") + text(c.notBefore) + QStringLiteral(" ～ ") +
                       text(c.notAfter) + QStringLiteral("\nSHA-256: ") + text(c.fingerprint) + u'\n';
    if (!refused.pinnedFingerprint.isEmpty()) {
        question += QStringLiteral("\n信頼済みの証明書とは異なります（信頼済み SHA-256: ") + refused.pinnedFingerprint +
                    QStringLiteral("）。\n");
    }
    question += QStringLiteral("\nこのサーバーとポートについて、この証明書だけを信頼しますか？");
    return question;
}

bool OfferToTrust(QWidget* parent, const QString& programFolder, const engine::RefusedCertificate& refused)
{
    if (!MessageBox::Question(parent, TrustQuestionText(refused))) return false;
    const base::Status trusted = config::TrustCertificate(programFolder, refused.server.host, refused.server.port,
                                                          QString::fromStdString(refused.certificate.fingerprint));
    if (trusted) return true;
    MessageBox::Information(parent, QStringLiteral("証明書を信頼する設定を保存できませんでした（") +
                                        trusted.ErrorText() + QStringLiteral("）。"));
    return false;
}

} // namespace lw::ui
