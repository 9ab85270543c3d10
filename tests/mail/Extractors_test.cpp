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

TEST(Extractors, FromAndToPartsAreCutAtFixedPlaces)
{
    const struct {
        const char* part;
        const char *fromAddress, *fromName, *toAddress, *toName;
    } cases[] = {
        {"from: \"Taro Yamada\" <Taro.Y@Example.JP>", "Taro.Y@Example.JP", "Taro Yamada", "", ""},
        {"from: 山田 太郎 <taro@example.jp>", "taro@example.jp", "山田 太郎", "", ""},
        // Without the blank after the colon the fixed start cuts the name's first character.
        {"from:Taro <taro@example.jp>", "taro@example.jp", "aro", "", ""},
        {"FROM:   taro@example.jp  ", "taro@example.jp", "", "", ""},
        // "<" without a later ">" leaves the address empty; an unclosed quote leaves the name empty.
        {"from: \"Taro <taro@example.jp", "", "", "", ""},
        {"from: x> Taro <taro@example.jp", "", "x> Taro", "", ""},
        // The keyword counts only near the start; a bare address is cut from the fixed 6th character.
        {"  x   from: taro@example.jp", "", "", "", ""},
        {" from: taro@example.jp", ": taro@example.jp", "", "", ""},
        {"to: 花子 <Hanako@example.jp>", "", "", "Hanako@example.jp", "花子"},
        {"to:hanako@example.jp", "", "", "hanako@example.jp", ""},
        // "to:" inside a subject is no recipient.
        {"subject: Reply to: Boss <boss@example.jp>", "", "", "", ""},
        {"1234to: x@example.jp", "", "", "", ""},
        {"123to: x@example.jp", "", "", "to: x@example.jp", ""},
    };
    for (const auto& c : cases) {
        const auto mail = Extracted({c.part});
        EXPECT_EQ(mail.fromAddress, QString::fromUtf8(c.fromAddress)) << c.part;
        EXPECT_EQ(mail.fromName, QString::fromUtf8(c.fromName)) << c.part;
        EXPECT_EQ(mail.toAddress, QString::fromUtf8(c.toAddress)) << c.part;
        EXPECT_EQ(mail.toName, QString::fromUtf8(c.toName)) << c.part;
    }

    // The first usable address wins, the last subject wins; a from part without a usable
    // address does not block a later one.
    auto mail = Extracted({"subject: first", "from: a@example.jp", "from: \"B\" <b@example.jp>",
                           "to: c@example.jp", "to: \"D\" <d@example.jp>", "subject: second"});
    EXPECT_EQ(mail.fromAddress + "|" + mail.fromName + "|" + mail.toAddress + "|" + mail.toName,
              "a@example.jp||c@example.jp|");
    EXPECT_EQ(mail.subject, "second");
    mail = Extracted({"from: \"Broken\" <broken", "from: \"Good\" <good@example.jp>"});
    EXPECT_EQ(mail.fromAddress + "|" + mail.fromName, "good@example.jp|Good");
    EXPECT_EQ(Extracted({"subject: Reply to: Boss <boss@example.jp>"}).subject,
              "Reply to: Boss <boss@example.jp>");
}

TEST(Extractors, SubjectDateBody)
{
    auto mail = Extracted({"Subject:  件名  ", "body:\n本文\r\n"});
    EXPECT_EQ(mail.subject, QString::fromUtf8("件名"));
    EXPECT_EQ(mail.body, QString::fromUtf8("本文"));

    // Local forms; fractions of a second are dropped.
    const auto local = [](int month, int day, int h, int m, int s) {
        return QDateTime(QDate(2024, month, day), QTime(h, m, s), Qt::LocalTime);
    };
    for (const auto& [part, expected] : std::vector<std::pair<const char*, QDateTime>>{
             {"date: 2024/02/29 23:59:58", local(2, 29, 23, 59, 58)},
             {"date: 2024-1-5 7:08", local(1, 5, 7, 8, 0)},
             {"date: 2024/01/05", local(1, 5, 0, 0, 0)},
             {"date: 2024-01-05T10:11:12.345", local(1, 5, 10, 11, 12)}})
        EXPECT_EQ(Extracted({part}).received, expected) << part;

    // Unreadable dates leave the earlier value.
    mail = Extracted({"date: 2024/01/05 10:11:12", "date: Wed, 28 May 2014 17:18:19 +0900",
                      "date: 2023/02/30 10:00:00", "date: 2023/01/01 25:00:00", "date:"});
    EXPECT_EQ(mail.received, local(1, 5, 10, 11, 12));
    EXPECT_FALSE(Extracted({"date: yesterday"}).received.isValid());

    // Only the first matching keyword applies: a subject mentioning "body:" is a subject.
    mail = Extracted({"subject: body: x"});
    EXPECT_EQ(mail.subject, "body: x");
    EXPECT_TRUE(mail.body.isEmpty());
    mail = Extracted({"xxxxxx body: late", "123456789subject: late"});
    EXPECT_TRUE(mail.body.isEmpty() && mail.subject.isEmpty());
}

TEST(Extractors, AttachmentsStopAtCapacityReturnedMailAndBaseName)
{
    auto mail =
        Extracted({"nofile:", "file: /w/a.txt", "File:/w/B.PDF ", "body: see file: /w/x", "xnofile: /w/y"});
    ASSERT_EQ(mail.attachmentCount, 2);
    EXPECT_EQ(mail.attachments[0], "/w/a.txt");
    EXPECT_EQ(mail.attachments[1], "/w/B.PDF");

    mail = ReceivedMail{};
    for (int i = 0; i < 130; ++i)
        lw::mail::ExtractAll(QStringLiteral("file: /w/%1.bin").arg(i), mail);
    EXPECT_EQ(mail.attachmentCount, lw::mail::kMaxAttachments);
    EXPECT_EQ(mail.attachments[99], "/w/99.bin");
    EXPECT_TRUE(mail.body.isEmpty()) << "the fields around the array are untouched by the dropped parts";

    mail = ReceivedMail{};
    EXPECT_TRUE(lw::mail::MayProcess(mail));
    mail.subject = "Fwd: RETURNED MAIL: user unknown";
    EXPECT_FALSE(lw::mail::MayProcess(mail));
    mail.subject = "Returned  mail";
    EXPECT_TRUE(lw::mail::MayProcess(mail));

    EXPECT_EQ(lw::mail::BaseName("/home/lw/save/work/abc_123.eml"), "abc_123.eml");
    EXPECT_EQ(lw::mail::BaseName("abc.eml"), "abc.eml");
    EXPECT_EQ(lw::mail::BaseName("/home/lw/"), "");
}
