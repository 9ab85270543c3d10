#include "engine/mail/ReceivedMail.h"

#include <gtest/gtest.h>

#include <QDir>

#include <ostream>

// Readable failure output for QString comparisons.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

using lw::mail::ReceivedMail;

namespace {

ReceivedMail Extracted(std::initializer_list<const char*> parts)
{
    ReceivedMail mail;
    for (const char* part : parts)
        lw::mail::ExtractAll(QString::fromUtf8(part), mail);
    return mail;
}

} // namespace

TEST(Extractors, FromPartForms)
{
    auto mail = Extracted({"from: \"Taro Yamada\" <Taro.Y@Example.JP>"});
    EXPECT_EQ(mail.fromAddress, "Taro.Y@Example.JP");
    EXPECT_EQ(mail.fromName, "Taro Yamada");

    mail = Extracted({"from: 山田 太郎 <taro@example.jp>"});
    EXPECT_EQ(mail.fromAddress, "taro@example.jp");
    EXPECT_EQ(mail.fromName, QString::fromUtf8("山田 太郎"));

    // Without the blank after the colon the fixed start cuts the name's first character.
    mail = Extracted({"from:Taro <taro@example.jp>"});
    EXPECT_EQ(mail.fromName, "aro");
    EXPECT_EQ(mail.fromAddress, "taro@example.jp");

    mail = Extracted({"FROM:   taro@example.jp  "});
    EXPECT_EQ(mail.fromAddress, "taro@example.jp");
    EXPECT_TRUE(mail.fromName.isEmpty());

    // "<" without a later ">" leaves the address empty; an unclosed quote leaves the name empty.
    mail = Extracted({"from: \"Taro <taro@example.jp"});
    EXPECT_TRUE(mail.fromAddress.isEmpty());
    EXPECT_TRUE(mail.fromName.isEmpty());
    mail = Extracted({"from: x> Taro <taro@example.jp"});
    EXPECT_TRUE(mail.fromAddress.isEmpty());
    EXPECT_EQ(mail.fromName, "x> Taro");

    // The keyword counts only near the start of the part.
    mail = Extracted({"  x   from: taro@example.jp"});
    EXPECT_TRUE(mail.fromAddress.isEmpty());
    // A bare address is cut from the fixed 6th character, whatever precedes the keyword.
    mail = Extracted({" from: taro@example.jp"});
    EXPECT_EQ(mail.fromAddress, ": taro@example.jp");
}

TEST(Extractors, FirstUsableAddressWinsLaterSubjectWins)
{
    const auto mail = Extracted({"subject: first", "from: a@example.jp", "from: \"B\" <b@example.jp>",
                                 "to: c@example.jp", "to: \"D\" <d@example.jp>", "subject: second"});
    EXPECT_EQ(mail.fromAddress, "a@example.jp");
    EXPECT_TRUE(mail.fromName.isEmpty());
    EXPECT_EQ(mail.toAddress, "c@example.jp");
    EXPECT_TRUE(mail.toName.isEmpty());
    EXPECT_EQ(mail.subject, "second");

    // A from part without a usable address does not block a later one.
    const auto retried = Extracted({"from: \"Broken\" <broken", "from: \"Good\" <good@example.jp>"});
    EXPECT_EQ(retried.fromAddress, "good@example.jp");
    EXPECT_EQ(retried.fromName, "Good");
}

TEST(Extractors, ToPartAndKeywordLimits)
{
    auto mail = Extracted({"to: 花子 <Hanako@example.jp>"});
    EXPECT_EQ(mail.toAddress, "Hanako@example.jp");
    EXPECT_EQ(mail.toName, QString::fromUtf8("花子"));

    mail = Extracted({"to:hanako@example.jp"});
    EXPECT_EQ(mail.toAddress, "hanako@example.jp");

    // "to:" inside a subject is no recipient, and the subject keeps its letter case.
    mail = Extracted({"subject: Reply to: Boss <boss@example.jp>"});
    EXPECT_TRUE(mail.toAddress.isEmpty());
    EXPECT_EQ(mail.subject, "Reply to: Boss <boss@example.jp>");
    mail = Extracted({"1234to: x@example.jp"});
    EXPECT_TRUE(mail.toAddress.isEmpty());
    mail = Extracted({"123to: x@example.jp"});
    EXPECT_EQ(mail.toAddress, "to: x@example.jp");
}

TEST(Extractors, SubjectDateBody)
{
    auto mail = Extracted({"Subject:  件名  ", "body:\n本文\r\n", "date: 2024/02/29 23:59:58"});
    EXPECT_EQ(mail.subject, QString::fromUtf8("件名"));
    EXPECT_EQ(mail.body, QString::fromUtf8("本文"));
    EXPECT_EQ(mail.received, QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58), Qt::LocalTime));

    // Other local forms; fractions of a second are dropped.
    mail = Extracted({"date: 2024-1-5 7:08"});
    EXPECT_EQ(mail.received, QDateTime(QDate(2024, 1, 5), QTime(7, 8), Qt::LocalTime));
    mail = Extracted({"date: 2024/01/05"});
    EXPECT_EQ(mail.received, QDateTime(QDate(2024, 1, 5), QTime(0, 0), Qt::LocalTime));
    mail = Extracted({"date: 2024-01-05T10:11:12.345"});
    EXPECT_EQ(mail.received, QDateTime(QDate(2024, 1, 5), QTime(10, 11, 12), Qt::LocalTime));

    // Unreadable dates leave the earlier value.
    mail = Extracted({"date: 2024/01/05 10:11:12", "date: Wed, 28 May 2014 17:18:19 +0900",
                      "date: 2023/02/30 10:00:00", "date: 2023/01/01 25:00:00", "date:"});
    EXPECT_EQ(mail.received, QDateTime(QDate(2024, 1, 5), QTime(10, 11, 12), Qt::LocalTime));
    EXPECT_FALSE(Extracted({"date: yesterday"}).received.isValid());

    // Only the first matching keyword applies: a subject mentioning "body:" is a subject.
    mail = Extracted({"subject: body: x"});
    EXPECT_EQ(mail.subject, "body: x");
    EXPECT_TRUE(mail.body.isEmpty());
    mail = Extracted({"xxxxxx body: late", "123456789subject: late"});
    EXPECT_TRUE(mail.body.isEmpty());
    EXPECT_TRUE(mail.subject.isEmpty());
}

TEST(Extractors, AttachmentsKeepOrderAndStopAtCapacity)
{
    auto mail =
        Extracted({"nofile:", "file: /w/a.txt", "File:/w/B.PDF ", "body: see file: /w/x", "xnofile: /w/y"});
    ASSERT_EQ(mail.attachmentCount, 2);
    EXPECT_EQ(mail.attachments[0], "/w/a.txt");
    EXPECT_EQ(mail.attachments[1], "/w/B.PDF");
    EXPECT_TRUE(mail.attachments[2].isEmpty());

    mail = ReceivedMail{};
    for (int i = 0; i < 130; ++i)
        lw::mail::ExtractAll(QStringLiteral("file: /w/%1.bin").arg(i), mail);
    EXPECT_EQ(mail.attachmentCount, lw::mail::kMaxAttachments);
    EXPECT_EQ(mail.attachments[0], "/w/0.bin");
    EXPECT_EQ(mail.attachments[99], "/w/99.bin");
    // The fields around the array are untouched by the dropped parts.
    EXPECT_TRUE(mail.body.isEmpty());
}

TEST(Extractors, ReturnedMailAndBaseName)
{
    ReceivedMail mail;
    EXPECT_TRUE(lw::mail::MayProcess(mail));
    mail.subject = "Fwd: RETURNED MAIL: user unknown";
    EXPECT_FALSE(lw::mail::MayProcess(mail));
    mail.subject = "Returned  mail";
    EXPECT_TRUE(lw::mail::MayProcess(mail));

    EXPECT_EQ(lw::mail::BaseName("/home/lw/save/work/abc_123.eml"), "abc_123.eml");
    EXPECT_EQ(lw::mail::BaseName("abc.eml"), "abc.eml");
    EXPECT_EQ(lw::mail::BaseName("/home/lw/"), "");
    EXPECT_EQ(lw::mail::BaseName(QDir::toNativeSeparators("/a/b/c.eml")), "c.eml");
}
