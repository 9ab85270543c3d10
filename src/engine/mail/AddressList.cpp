#include "engine/mail/AddressList.h"

namespace lw::mail {

namespace {

// Only the ordinary blank separates; TABs already in the text stay where they are.
QString TrimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ') ++begin;
    while (end > begin && text.at(end - 1) == u' ') --end;
    return text.mid(begin, end - begin);
}

} // namespace

QString NormaliseAddressList(const QString& typed)
{
    if (typed.isNull()) return {};
    QString rest = typed.toLower();
    rest.replace(u';', u' ');
    rest.replace(QChar(0x3000), u' ');
    rest = TrimBlanks(rest);

    QString result;
    qsizetype blank = rest.indexOf(u' ');
    while (blank >= 0) {
        if (!result.isEmpty()) result += u'\t';
        result += TrimBlanks(rest.left(blank));
        rest = TrimBlanks(rest.mid(blank + 1));
        blank = rest.indexOf(u' ');
    }
    if (!result.isEmpty()) result += u'\t';
    result += rest;
    return result;
}

} // namespace lw::mail
