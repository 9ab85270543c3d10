#include "mail/AddressList.h"

#include "base/TextTrim.h"

namespace lw::mail {

QString NormaliseAddressList(const QString& typed)
{
    if (typed.isNull()) return {};
    QString rest = typed.toLower();
    rest.replace(u';', u' ');
    rest.replace(QChar(0x3000), u' ');
    rest = base::TrimSpaces(rest);

    QString result;
    qsizetype blank = rest.indexOf(u' ');
    while (blank >= 0) {
        if (!result.isEmpty()) result += u'\t';
        result += base::TrimSpaces(rest.left(blank));
        rest = base::TrimSpaces(rest.mid(blank + 1));
        blank = rest.indexOf(u' ');
    }
    if (!result.isEmpty()) result += u'\t';
    result += rest;
    return result;
}

} // namespace lw::mail
