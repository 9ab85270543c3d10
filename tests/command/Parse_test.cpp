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
        {"  acc =  ad min  ; pass=x=y;trailing text", &CommandParams::strAccount, "ad min"},
        {"  acc =  ad min  ; pass=x=y;trailing text", &CommandParams::strPassword, "x=y"}, // "=" allowed in a first value
        {"trsto=a@x;pass=secret;", &CommandParams::strPassword, "secret"}, // a later value with "=" is the next name
        {"acc=admin\n;", &CommandParams::strAccount, "admin\n"},          // only spaces are removed
        {"acc=one;two;three;", &CommandParams::strAccount, "three"},      // each value replaces the last
        {"TRSTO=A@X;", &CommandParams::strTrsto, "A@X"},
        {"listacc=u;", &CommandParams::strAccount, "u"}, // names match by containment, in a fixed order
        {"accpass=u;", &CommandParams::strAccount, "u"},
        {"accpass=u;", &CommandParams::strPassword, ""},
        {"ListBcc=a@x;b@y;", &CommandParams::strListbcc, "b@y"},
        {"trsto=;t1@y;trsto=t2@y;", &CommandParams::strTrsto, "t1@y; t2@y"}, // lists append
        {"listto=a1;t1;listto=a2;t2;t3;", &CommandParams::strListtoAcc, "a2"},
        {"listto=a1;t1;listto=a2;t2;t3;", &CommandParams::strListto, "t1; t2; t3"},
        {"listflg=a1;true;true;true;true;true;true;extra;listflg=a2;false;", &CommandParams::strListFlgPrt, "false"},
        {"listflg=a1;true;true;true;true;true;true;extra;listflg=a2;false;", &CommandParams::strListFlgSav, "true"},
        {"trsflg=true;0;false;true;9;", &CommandParams::strFlgTo, "false"}, // extra values are ignored
    };
    for (const auto& c : cases) EXPECT_EQ(Parse(c.block).*c.field, c.value) << c.block;
    EXPECT_EQ(Parse("acc=admin"), CommandParams{});
    EXPECT_EQ(Parse("no names here; at all;"), CommandParams{});
    EXPECT_EQ(Parse("unknown=a;b;acc=u;"), Parse("acc=u;")); // unknown names eat their values
    EXPECT_EQ(Parse("acc=admin;\r\npass=secret;\r\ntrsflg=true;1;false;\r\nlistcc=s@x;c1@y;\r\n"),
              Parse("acc=admin;pass=secret;trsflg=true;1;false;listcc=s@x;c1@y;"));
}
