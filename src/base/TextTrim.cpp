#include "base/TextTrim.h"

namespace lw::base {

namespace {

// The middle of text after every leading and trailing character that isBlank accepts.
QStringView TrimIf(QStringView text, bool (*isBlank)(QChar))
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin))) ++begin;
    while (end > begin && isBlank(text.at(end - 1))) --end;
    return text.mid(begin, end - begin);
}

} // namespace

QString TrimSpaces(QStringView text)
{
    return TrimIf(text, [](QChar c) { return c == u' '; }).toString();
}

QString TrimSpacesAndTabs(QStringView text)
{
    return TrimIf(text, [](QChar c) { return c == u' ' || c == u'\t'; }).toString();
}

QString TrimAsciiWhitespace(QStringView text)
{
    return TrimIf(text, [](QChar c) {
               return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
           }).toString();
}

std::string_view TrimHeaderWhitespace(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

} // namespace lw::base
