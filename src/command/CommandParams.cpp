#include "command/CommandParams.h"

#include "base/TextTrim.h"

#include <array>

namespace lw::command {

namespace {

// What a parameter name sets.
enum class Parameter {
    Ignored,
    Account,
    Password,
    ForwardFlags,
    ForwardTo,
    ForwardCc,
    ForwardBcc,
    RuleFlags,
    RuleTo,
    RuleCc,
    RuleBcc,
};

// Tested in this order on the lower-cased name; the first one the name contains wins, so
// "account", "listacc" and "accpass" all set the account.
Parameter ParameterOf(const QString& name)
{
    static const std::array<std::pair<const char16_t*, Parameter>, 10> kNames{{
        {u"acc", Parameter::Account},
        {u"pass", Parameter::Password},
        {u"trsflg", Parameter::ForwardFlags},
        {u"trsto", Parameter::ForwardTo},
        {u"trscc", Parameter::ForwardCc},
        {u"trsbcc", Parameter::ForwardBcc},
        {u"listflg", Parameter::RuleFlags},
        {u"listto", Parameter::RuleTo},
        {u"listcc", Parameter::RuleCc},
        {u"listbcc", Parameter::RuleBcc},
    }};
    const QString lower = name.toLower();
    for (const auto& [text, parameter] : kNames) {
        if (lower.contains(QStringView(text))) return parameter;
    }
    return Parameter::Ignored;
}

void Append(QString& field, const QString& value)
{
    if (field.isEmpty())
        field = value;
    else
        field += QStringLiteral("; ") + value;
}

void Store(CommandParams& p, Parameter parameter, int index, const QString& value)
{
    switch (parameter) {
    case Parameter::Account:
        p.account = value;
        break;
    case Parameter::Password:
        p.password = value;
        break;
    case Parameter::ForwardFlags: {
        QString* const fields[] = {&p.forwardEnabled, &p.forwardTarget, &p.useFixedForwardAddresses};
        if (index < 3) *fields[index] = value;
        break;
    }
    case Parameter::ForwardTo:
        Append(p.forwardTo, value);
        break;
    case Parameter::ForwardCc:
        Append(p.forwardCc, value);
        break;
    case Parameter::ForwardBcc:
        Append(p.forwardBcc, value);
        break;
    case Parameter::RuleFlags: {
        QString* const fields[] = {&p.ruleSender, &p.rulePrint,  &p.ruleSave,   &p.ruleClear,
                                   &p.ruleLog,    &p.ruleReject, &p.ruleForward};
        if (index < 7) *fields[index] = value;
        break;
    }
    case Parameter::RuleTo:
        if (index == 0)
            p.ruleToSender = value;
        else
            Append(p.ruleForwardTo, value);
        break;
    case Parameter::RuleCc:
        if (index == 0)
            p.ruleCcSender = value;
        else
            Append(p.ruleForwardCc, value);
        break;
    case Parameter::RuleBcc:
        if (index == 0)
            p.ruleBccSender = value;
        else
            Append(p.ruleForwardBcc, value);
        break;
    case Parameter::Ignored:
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
    const QString rest = base::TrimSpaces(block);
    NextOf nextEquals(rest, u'=');
    NextOf nextSemicolon(rest, u';');
    qsizetype pos = 0; // rest is rest.mid(pos)
    const qsizetype end = rest.size();

    while (pos < end) {
        const qsizetype equals = nextEquals.From(pos);
        if (equals < 0) break;
        const Parameter parameter = ParameterOf(rest.mid(pos, equals - pos));
        pos = equals + 1;

        // The first value runs to the next ";" even when it holds "="; a later value whose
        // text has "=" before its ";" is the next name.
        for (int index = 0;; ++index) {
            const qsizetype semicolon = nextSemicolon.From(pos);
            if (semicolon < 0) {
                pos = end; // no value can end any more: the rest is ignored
                break;
            }
            Store(params, parameter, index, base::TrimSpaces(rest.mid(pos, semicolon - pos)));
            pos = semicolon + 1;
            const qsizetype nextEq = nextEquals.From(pos);
            const qsizetype nextSemi = nextSemicolon.From(pos);
            if (nextEq >= 0 && (nextSemi < 0 || nextEq < nextSemi)) break;
            if (pos >= end) break;
        }
    }
}

} // namespace lw::command
