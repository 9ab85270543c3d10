#pragma once

// The operator's decision on a server certificate the system does not trust.

#include "engine/TlsRules.h"

#include <QString>

class QWidget;

namespace lw::ui {

// The question shown for a refused certificate: the server, why the system does not trust it,
// subject, issuer, validity and SHA-256 fingerprint, and the fingerprint trusted before if any.
QString TrustQuestionText(const engine::RefusedCertificate& refused);

// Asks whether to trust exactly this certificate for its server and port (No is the default);
// on Yes records it in the connection settings of programFolder. True when it was recorded; a
// failed write is shown in a message box.
bool OfferToTrust(QWidget* parent, const QString& programFolder, const engine::RefusedCertificate& refused);

} // namespace lw::ui
