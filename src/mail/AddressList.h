#pragma once

#include <QString>

namespace lw::mail {

// Turns a typed address list (separated by ";", blanks or full-width blanks) into lower-case
// addresses joined by single TABs; a null or blank input gives the empty text.
QString NormaliseAddressList(const QString& typed);

} // namespace lw::mail
