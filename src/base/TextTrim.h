#pragma once

#include <QString>

namespace lw::base {

// The text without leading and trailing ordinary blanks; TABs and line breaks are kept, as
// they are part of the values (an address list keeps its TABs).
QString TrimBlanks(const QString& text);

} // namespace lw::base
