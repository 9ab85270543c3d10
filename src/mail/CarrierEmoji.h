#pragma once

// Emoji of the Japanese mobile carriers, which their mail carries in private-use code points
// (read through CP932, or the carriers' own code points in UTF-8 mail), shown as the standard
// emoji for people to read. Display only: what is stored keeps the carriers' code points.

#include <QString>

namespace lw::mail {

// The carrier whose code points a sender's mail uses, known by the address's domain.
enum class Carrier { Unknown, Docomo, Au, SoftBank };
Carrier CarrierOf(const QString& senderAddress);

// text with each carrier emoji replaced by its standard emoji (a few service marks of no
// standard emoji by their names in brackets). For a known carrier, one of its code points with
// no standard emoji shows as "〓"; for a sender of no known carrier only code points that one
// carrier alone uses are replaced. Text without private-use characters comes back as it is.
QString CarrierEmojiForDisplay(const QString& text, const QString& senderAddress);

} // namespace lw::mail
