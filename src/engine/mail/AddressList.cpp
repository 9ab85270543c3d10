#include "engine/mail/AddressList.h"

#include "engine/mail/Blanks.h"

namespace lw::mail {

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
