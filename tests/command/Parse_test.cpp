#include "command/CommandParams.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <functional>

#include <gtest/gtest.h>

using lw::command::CommandParams;
using lw::command::ParseCommandParams;

namespace {

CommandParams Parse(const QString& block)
{
    CommandParams params;
    ParseCommandParams(params, block);
    return params;
}

} // namespace

TEST(ParseCommandParams, WorkedExample)
{
    const CommandParams p = Parse("trsflg=true;2;false;listflg=a1@x.jp;true;false;false;true;false;true;"
                                  "listto=a1@x.jp;t1@y.jp;t2@y.jp;");
    CommandParams expected;
    expected.strFlgTrs = "true";
    expected.strFlgTgt = "2";
    expected.strFlgTo = "false";
    expected.strListFlgAcc = "a1@x.jp";
    expected.strListFlgPrt = "true";
    expected.strListFlgSav = "false";
    expected.strListFlgClr = "false";
    expected.strListFlgLog = "true";
    expected.strListFlgRfs = "false";
    expected.strListFlgTrs = "true";
    expected.strListtoAcc = "a1@x.jp";
    expected.strListto = "t1@y.jp; t2@y.jp";
    EXPECT_EQ(p, expected);
}

TEST(ParseCommandParams, ValuesEndAtSemicolonsAndUnfinishedTextIsDropped)
{
    EXPECT_EQ(Parse("acc=admin"), CommandParams{});
    EXPECT_EQ(Parse("no names here; at all;"), CommandParams{});

    CommandParams p = Parse("  acc =  ad min  ; pass=x=y;trailing text");
    EXPECT_EQ(p.strAccount, "ad min");
    EXPECT_EQ(p.strPassword, "x=y"); // "=" is allowed in a first value

    // A later value with "=" before its ";" is the next name.
    p = Parse("trsto=a@x;pass=secret;");
    EXPECT_EQ(p.strTrsto, "a@x");
    EXPECT_EQ(p.strPassword, "secret");

    // Only spaces are removed: a line break before ";" stays in the value.
    p = Parse("acc=admin\n;");
    EXPECT_EQ(p.strAccount, "admin\n");
    // Each value replaces the account: the last one counts.
    EXPECT_EQ(Parse("acc=one;two;three;").strAccount, "three");
}

TEST(ParseCommandParams, NamesMatchByContainmentInFixedOrderIgnoringCase)
{
    EXPECT_EQ(Parse("TRSTO=A@X;").strTrsto, "A@X");
    EXPECT_EQ(Parse("listacc=u;").strAccount, "u");
    CommandParams p = Parse("accpass=u;");
    EXPECT_EQ(p.strAccount, "u");
    EXPECT_TRUE(p.strPassword.isEmpty());
    EXPECT_EQ(Parse("ListBcc=a@x;b@y;").strListbcc, "b@y");
    EXPECT_EQ(Parse("unknown=a;b;acc=u;"), Parse("acc=u;")); // unknown names eat their values

    // One parameter per line parses as on one line.
    const QString lines = "acc=admin;\r\npass=secret;\r\ntrsflg=true;1;false;\r\nlistcc=s@x;c1@y;\r\n";
    const QString oneLine = "acc=admin;pass=secret;trsflg=true;1;false;listcc=s@x;c1@y;";
    EXPECT_EQ(Parse(lines), Parse(oneLine));
}

TEST(ParseCommandParams, ListsAppendAcrossParametersAndExtraValuesAreIgnored)
{
    EXPECT_EQ(Parse("trsto=;t1@y;trsto=t2@y;").strTrsto, "t1@y; t2@y");

    CommandParams p = Parse("listto=a1;t1;listto=a2;t2;t3;");
    EXPECT_EQ(p.strListtoAcc, "a2");
    EXPECT_EQ(p.strListto, "t1; t2; t3");

    p = Parse("listflg=a1;true;true;true;true;true;true;extra;listflg=a2;false;");
    EXPECT_EQ(p.strListFlgAcc, "a2");
    EXPECT_EQ(p.strListFlgPrt, "false");
    EXPECT_EQ(p.strListFlgSav, "true"); // not reached by the second parameter
    EXPECT_EQ(p.strListFlgTrs, "true");
    EXPECT_EQ(Parse("trsflg=true;0;false;true;9;").strFlgTo, "false");
}

TEST(ParseCommandParams, RandomTextNeverBreaksTheParser)
{
    const QString alphabet = QString::fromUtf8("=;=; \n\r\taAcCpPsStTrRoOlLfFgGbB@.{}テ\u3000");
    QRandomGenerator random(20261207);
    for (int round = 0; round < 2000; ++round) {
        QString block;
        const int length = random.bounded(200);
        for (int i = 0; i < length; ++i)
            block += alphabet.at(random.bounded(alphabet.size()));
        const CommandParams p = Parse(block);
        // Outer spaces of the block never matter, nor text after the last ";" without "=".
        EXPECT_EQ(Parse("  " + block + "  "), p) << block.toStdString();
        if (!block.contains(u'=')) {
            EXPECT_EQ(p, CommandParams{}) << block.toStdString();
        }
        // Replacing fields hold one trimmed value without ";".
        for (const QString* field : {&p.strAccount, &p.strPassword, &p.strFlgTgt, &p.strListFlgAcc}) {
            EXPECT_FALSE(field->contains(u';')) << block.toStdString();
            EXPECT_FALSE(field->startsWith(u' ') || field->endsWith(u' ')) << block.toStdString();
        }
    }
}

TEST(ParseCommandParams, OneMegabyteBlocksParseInLinearTime)
{
    // Each shape is parsed at 128 KB and at 1 MB: linear work grows eightfold, quadratic work
    // sixty-four-fold. Comparing the two keeps the check meaningful on a slow or sanitized build.
    struct Shape {
        const char* name;
        std::function<QString(int)> block;
    };
    const Shape shapes[] = {
        {"many values", [](int n) { return "trsto=" + QString("a;").repeated(n / 2); }},
        {"many names", [](int n) { return QString("x=1;").repeated(n / 4); }},
        {"values before a far name",
         [](int n) { return "listto=s;" + QString("t;").repeated(n / 2) + "acc=u;"; }},
        {"no semicolon", [](int n) { return "acc=" + QString("a").repeated(n); }},
        {"only equals", [](int n) { return QString("=").repeated(n); }},
        {"only semicolons", [](int n) { return "trsto=" + QString(";").repeated(n); }},
    };
    const auto timeParse = [](const QString& block, CommandParams& p) {
        QElapsedTimer timer;
        timer.start();
        p = Parse(block);
        return timer.elapsed();
    };
    const int n = 1 << 20;
    for (const Shape& shape : shapes) {
        CommandParams small;
        CommandParams large;
        const qint64 smallMs = timeParse(shape.block(n / 8), small);
        const qint64 largeMs = timeParse(shape.block(n), large);
        EXPECT_LT(largeMs, 24 * smallMs + 200) << shape.name << ": " << smallMs << " ms for 128 KB";
        RecordProperty(shape.name, static_cast<int>(largeMs));
        if (QString(shape.name) == "many values") {
            EXPECT_EQ(large.strTrsto.size(), 3 * (n / 2) - 2);
        }
        if (QString(shape.name) == "values before a far name") {
            EXPECT_EQ(large.strAccount, "u");
        }
    }
}
