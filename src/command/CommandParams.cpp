#include "command/CommandParams.h"

#include "base/TextTrim.h"

#include <array>

namespace lw::command {

namespace {

enum KeyCode { kNone, kAcc, kPass, kTrsflg, kTrsto, kTrscc, kTrsbcc, kListflg, kListto, kListcc, kListbcc };

// Tested in this order on the lower-cased name; the first one the name contains wins, so
// "account", "listacc" and "accpass" all set the account.
KeyCode KeyCodeOf(const QString& name)
{
    static const std::array<std::pair<const char16_t*, KeyCode>, 10> kNames{{
        {u"acc", kAcc},
        {u"pass", kPass},
        {u"trsflg", kTrsflg},
        {u"trsto", kTrsto},
        {u"trscc", kTrscc},
        {u"trsbcc", kTrsbcc},
        {u"listflg", kListflg},
        {u"listto", kListto},
        {u"listcc", kListcc},
        {u"listbcc", kListbcc},
    }};
    const QString lower = name.toLower();
    for (const auto& [text, code] : kNames) {
        if (lower.contains(QStringView(text))) return code;
    }
    return kNone;
}

void Append(QString& field, const QString& value)
{
    if (field.isEmpty())
        field = value;
    else
        field += QStringLiteral("; ") + value;
}

void Store(CommandParams& p, KeyCode code, int index, const QString& value)
{
    switch (code) {
    case kAcc:
        p.strAccount = value;
        break;
    case kPass:
        p.strPassword = value;
        break;
    case kTrsflg: {
        QString* const fields[] = {&p.strFlgTrs, &p.strFlgTgt, &p.strFlgTo};
        if (index < 3) *fields[index] = value;
        break;
    }
    case kTrsto:
        Append(p.strTrsto, value);
        break;
    case kTrscc:
        Append(p.strTrscc, value);
        break;
    case kTrsbcc:
        Append(p.strTrsbcc, value);
        break;
    case kListflg: {
        QString* const fields[] = {&p.strListFlgAcc, &p.strListFlgPrt, &p.strListFlgSav, &p.strListFlgClr,
                                   &p.strListFlgLog, &p.strListFlgRfs, &p.strListFlgTrs};
        if (index < 7) *fields[index] = value;
        break;
    }
    case kListto:
        if (index == 0)
            p.strListtoAcc = value;
        else
            Append(p.strListto, value);
        break;
    case kListcc:
        if (index == 0)
            p.strListccAcc = value;
        else
            Append(p.strListcc, value);
        break;
    case kListbcc:
        if (index == 0)
            p.strListbccAcc = value;
        else
            Append(p.strListbcc, value);
        break;
    case kNone:
        break;
    }
}

// The next occurrence of one character at or after a moving position. The position only
// grows, so the whole block is scanned at most once per character searched for.
class NextOf {
  public:
    NextOf(const QString& text, QChar c) : m_text(text), m_char(c) {}
    qsizetype From(qsizetype pos)
    {
        if (m_found != kNotYet && (m_found < 0 || m_found >= pos)) return m_found;
        m_found = m_text.indexOf(m_char, pos);
        return m_found;
    }

  private:
    static constexpr qsizetype kNotYet = -2;
    const QString& m_text;
    QChar m_char;
    qsizetype m_found = kNotYet;
};

} // namespace

void ParseCommandParams(CommandParams& params, const QString& block)
{
    const QString rest = base::TrimBlanks(block);
    NextOf nextEquals(rest, u'=');
    NextOf nextSemicolon(rest, u';');
    qsizetype pos = 0; // rest is rest.mid(pos)
    const qsizetype end = rest.size();

    while (pos < end) {
        const qsizetype equals = nextEquals.From(pos);
        if (equals < 0) break;
        const KeyCode code = KeyCodeOf(rest.mid(pos, equals - pos));
        pos = equals + 1;

        // The first value runs to the next ";" even when it holds "="; a later value whose
        // text has "=" before its ";" is the next name.
        for (int index = 0;; ++index) {
            const qsizetype semicolon = nextSemicolon.From(pos);
            if (semicolon < 0) {
                pos = end; // no value can end any more: the rest is ignored
                break;
            }
            Store(params, code, index, base::TrimBlanks(rest.mid(pos, semicolon - pos)));
            pos = semicolon + 1;
            const qsizetype nextEq = nextEquals.From(pos);
            const qsizetype nextSemi = nextSemicolon.From(pos);
            if (nextEq >= 0 && (nextSemi < 0 || nextEq < nextSemi)) break;
            if (pos >= end) break;
        }
    }
}

} // namespace lw::command
