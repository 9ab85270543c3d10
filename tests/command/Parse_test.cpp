#include "command/CommandParams.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

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
TEST(ParseCommandParams, WorkedExample)
{
    EXPECT_EQ(Parse("trsflg=true;2;false;listflg=a1@x.jp;true;false;false;true;false;true;listto=a1@x.jp;t1@y.jp;t2@y.jp;"),
              (CommandParams{.forwardEnabled = "true", .forwardTarget = "2", .useFixedForwardAddresses = "false",
                             .ruleSender = "a1@x.jp", .rulePrint = "true", .ruleSave = "false", .ruleClear = "false", .ruleLog = "true",
                             .ruleReject = "false", .ruleForward = "true", .ruleToSender = "a1@x.jp",
                             .ruleForwardTo = "t1@y.jp; t2@y.jp"}));
}

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

TEST(ParseCommandParams, RandomTextNeverBreaksTheParser)
{
    const QString alphabet = QString::fromUtf8("=;=; \n\r\taAcCpPsStTrRoOlLfFgGbB@.{}テ\u3000");
    QRandomGenerator random(20261207);
    for (int round = 0; round < 2000; ++round) {
        QString block;
        for (int i = random.bounded(200); i > 0; --i) block += alphabet.at(random.bounded(alphabet.size()));
        const CommandParams p = Parse(block);
        // Outer spaces of the block never matter, nor text without "=".
        EXPECT_EQ(Parse("  " + block + "  "), p) << block.toStdString();
        if (!block.contains(u'=')) {
            EXPECT_EQ(p, CommandParams{}) << block.toStdString();
        }
        // Replacing fields hold one trimmed value without ";".
        for (const QString* field : {&p.account, &p.password, &p.forwardTarget, &p.ruleSender})
            EXPECT_FALSE(field->contains(u';') || field->startsWith(u' ') || field->endsWith(u' ')) << block.toStdString();
    }
}

TEST(ParseCommandParams, OneMegabyteBlocksParseInLinearTime)
{
    // Each shape at 128 KB and at 1 MB: linear work grows eightfold, quadratic sixty-four-fold.
    const struct {
        const char* name;
        QString (*block)(int);
    } shapes[] = {
        {"many values", [](int n) { return "trsto=" + QString("a;").repeated(n / 2); }},
        {"many names", [](int n) { return QString("x=1;").repeated(n / 4); }},
        {"values before a far name", [](int n) { return "listto=s;" + QString("t;").repeated(n / 2) + "acc=u;"; }},
        {"no semicolon", [](int n) { return "acc=" + QString("a").repeated(n); }},
        {"only equals", [](int n) { return QString("=").repeated(n); }},
        {"only semicolons", [](int n) { return "trsto=" + QString(";").repeated(n); }},
    };
    const int n = 1 << 20;
    for (const auto& shape : shapes) {
        const QString smallBlock = shape.block(n / 8), largeBlock = shape.block(n);
        QElapsedTimer timer;
        timer.start();
        Parse(smallBlock);
        const qint64 smallMs = timer.restart();
        Parse(largeBlock);
        EXPECT_LT(timer.elapsed(), 24 * smallMs + 200) << shape.name << ": " << smallMs << " ms for 128 KB";
    }
}
