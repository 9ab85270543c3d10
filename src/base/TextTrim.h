#pragma once

// Trimming of text at its two ends. Each kind of text has its own idea of a blank, and the
// helpers are named for the characters they remove.

#include <QString>
#include <QStringView>

#include <string_view>

namespace lw::base {

// Without leading and trailing spaces (U+0020) only: TABs and line breaks are part of the values
// (an address list keeps its TABs), and so is a full-width blank.
QString TrimSpaces(QStringView text);

// Without leading and trailing spaces and TABs: the blanks around a settings-file key or value.
QString TrimSpacesAndTabs(QStringView text);

// Without leading and trailing ASCII whitespace (space, TAB, CR, LF, VT, FF); a full-width blank
// stays, being part of the text.
QString TrimAsciiWhitespace(QStringView text);

// Without leading and trailing SP, HTAB, CR and LF: the whitespace that folds a mail header field.
std::string_view TrimHeaderWhitespace(std::string_view text);

} // namespace lw::base
