#include "command/CommandParams.h"

#include <gtest/gtest.h>

using lw::command::CommandParams;

namespace {

CommandParams Parse(const QString& block)
{
    CommandParams params;
    lw::command::ParseCommandParams(params, block);
    return params;
}

} // namespace

// Fields left out of the expected value are empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
TEST(ParseCommandParams, ValuesNamesAndLists)
{
    const struct {
        const char* block;
        QString CommandParams::*field;
        const char* value;
    } cases[] = {
        {"  acc =  ad min  ; pass=x=y;trailing text", &CommandParams::account, "ad min"},
        {"  acc =  ad min  ; pass=x=y;trailing text", &CommandParams::password, "x=y"}, // "=" allowed in a first value
        {"trsto=a@x;pass=secret;", &CommandParams::password, "secret"}, // a later value with "=" is the next name
        {"acc=admin\n;", &CommandParams::account, "admin\n"},          // only spaces are removed
        {"acc=one;two;three;", &CommandParams::account, "three"},      // each value replaces the last
        {"TRSTO=A@X;", &CommandParams::forwardTo, "A@X"},
        {"listacc=u;", &CommandParams::account, "u"}, // names match by containment, in a fixed order
        {"accpass=u;", &CommandParams::account, "u"},
        {"accpass=u;", &CommandParams::password, ""},
        {"ListBcc=a@x;b@y;", &CommandParams::ruleForwardBcc, "b@y"},
        {"trsto=;t1@y;trsto=t2@y;", &CommandParams::forwardTo, "t1@y; t2@y"}, // lists append
        {"listto=a1;t1;listto=a2;t2;t3;", &CommandParams::ruleToSender, "a2"},
        {"listto=a1;t1;listto=a2;t2;t3;", &CommandParams::ruleForwardTo, "t1; t2; t3"},
        {"listflg=a1;true;true;true;true;true;true;extra;listflg=a2;false;", &CommandParams::rulePrint, "false"},
        {"listflg=a1;true;true;true;true;true;true;extra;listflg=a2;false;", &CommandParams::ruleSave, "true"},
        {"trsflg=true;0;false;true;9;", &CommandParams::useFixedForwardAddresses, "false"}, // extra values are ignored
    };
    for (const auto& c : cases) EXPECT_EQ(Parse(c.block).*c.field, c.value) << c.block;
    EXPECT_EQ(Parse("acc=admin"), CommandParams{});
    EXPECT_EQ(Parse("no names here; at all;"), CommandParams{});
    EXPECT_EQ(Parse("unknown=a;b;acc=u;"), Parse("acc=u;")); // unknown names eat their values
    EXPECT_EQ(Parse("acc=admin;\r\npass=secret;\r\ntrsflg=true;1;false;\r\nlistcc=s@x;c1@y;\r\n"),
              Parse("acc=admin;pass=secret;trsflg=true;1;false;listcc=s@x;c1@y;"));
}
