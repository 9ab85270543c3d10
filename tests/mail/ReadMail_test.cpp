// ReadMail on messages made for one quirk each (tests/data/mime) and on files that are no message; the
// field extractors on single parts.

#include "engine/mail/ReceivedMail.h"
#include "engine/mail/Transport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using lw::mail::PartList;
using lw::mail::ReceivedMail;

constexpr const char* kCycleParts = "subject:from:to:date:nofile:";

std::string Fixture(const char* name)
{
    return std::string(TEST_DATA_DIR "/mime/") + name;
}

ReceivedMail Extract(const PartList& parts)
{
    ReceivedMail mail;
    for (const auto& part : parts)
        lw::mail::ExtractAll(QString::fromStdString(part), mail);
    return mail;
}

bool HasPart(const PartList& parts, const std::string& prefix)
{
    return std::any_of(parts.begin(), parts.end(),
                       [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
}

class ReadMailTest : public ::testing::Test {
  protected:
    std::optional<PartList> Parts(const std::string& file, const char* partList = kCycleParts)
    {
        return lw::mail::ReadMail(file, partList, folder);
    }
    std::optional<ReceivedMail> Read(const char* fixture)
    {
        const auto read = Parts(Fixture(fixture));
        return read ? std::optional(Extract(*read)) : std::nullopt;
    }
    QString WriteFile(const char* name, const QByteArray& data)
    {
        QFile file(m_folder.filePath(QLatin1String(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
        return file.fileName();
    }
    QTemporaryDir m_folder;
    const std::string folder = m_folder.path().toStdString();
};

} // namespace

void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

TEST_F(ReadMailTest, JapaneseHeadersOddAddressesAndDatesReadAsOnWindowsOnAnyThread)
{
    const auto utc = [](int d, int h) { return QDateTime(QDate(2024, 1, d), QTime(h, 0), Qt::UTC); };
    const struct {
        const char* fixture;
        QString subject, fromName, fromAddress, toName, toAddress, body;
        QDateTime received;
    } cases[] = {
        // Shift_JIS Q-words with CP932-only characters, split over two words.
        {"sjis-q-encoded-subject.eml", u"①会議の件 髙橋"_qs, u"髙橋 一郎"_qs, "takahashi@example.jp",
         u"総務部"_qs, "soumu@example.jp", u"本文です。㈱～①"_qs, utc(1, 0)},
        // ISO-2022-JP: a padded B-word followed by more words, a Q-word cut inside a character,
        // NEC row 13 and half-width kana in the body, and a JST zone.
        {"iso2022jp-split-encoded-words.eml", u"テスト件名会議"_qs, u"山田"_qs, "yamada@example.jp", "",
         "hanako@example.jp", u"①② ｱｳ 本文"_qs, utc(1, 0)},
        // CP932 bytes with no charset anywhere ("表" carries a backslash byte inside a quoted
        // name); a Date in the local form is passed on and still read.
        {"undeclared-8bit-cp932-headers.eml", u"見積書の送付（表）"_qs, u"表計算 担当"_qs, "hyou@example.jp",
         u"営業部①"_qs, "eigyo@example.jp", u"見積書を送付します。"_qs,
         QDateTime(QDate(2024, 1, 5), QTime(10, 11, 12), Qt::LocalTime)},
        // Raw ISO-2022-JP before an old carrier address; a comment is no name; a "+09:00" zone.
        {"raw-iso2022jp-headers-carrier-address.eml", u"件名 test"_qs, u"山田"_qs, "taro..x.@docomo.ne.jp",
         "", "hanako.@ezweb.ne.jp", "hello", utc(1, 0)},
        // An empty group is skipped; no zone means local time.
        {"comment-name-group-recipient.eml", "Returned mail: see transcript", "", "MAILER-DAEMON@example.jp",
         "", "jiro..@docomo.ne.jp", "bounce", QDateTime(QDate(2024, 1, 1), QTime(9, 0), Qt::LocalTime)},
        // The HTML part is the body when there is no plain one.
        {"forward-marks-html-alternative.eml", "marked", "", "a@example.jp", "", "b@example.jp",
         u"<b>転送</b>"_qs, utc(3, 15)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        const auto mail = Read(c.fixture);
        ASSERT_TRUE(mail);
        EXPECT_EQ(QStringList({mail->subject, mail->fromName, mail->fromAddress, mail->toName,
                               mail->toAddress, mail->body}),
                  QStringList({c.subject, c.fromName, c.fromAddress, c.toName, c.toAddress, c.body}));
        EXPECT_EQ(mail->received, c.received) << mail->received.toString(Qt::ISODate).toStdString();
    }
    EXPECT_EQ(lw::mail::ForwardMarks(Fixture("forward-marks-html-alternative.eml")),
              (std::vector<std::string>{"first@example.jp", "second@example.jp"}));
    EXPECT_TRUE(lw::mail::ForwardMarks(Fixture("sjis-q-encoded-subject.eml")).empty());

    // Readers on four threads at once agree with one reader (the first four fixtures: no attachments).
    std::vector<PartList> reference; // a failed read stays empty and so counts as a mismatch below
    for (int i = 0; i < 4; ++i)
        reference.push_back(Parts(Fixture(cases[i].fixture)).value_or(PartList{}));
    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round)
                for (int i = 0; i < 4; ++i)
                    mismatches +=
                        lw::mail::ReadMail(Fixture(cases[i].fixture), kCycleParts, folder) != reference[i];
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}

TEST_F(ReadMailTest, AttachmentsBeyondCapacityAreWrittenApartAndCapped)
{
    const auto parts = Parts(Fixture("many-attachments-120.eml"));
    ASSERT_TRUE(parts);
    EXPECT_EQ(
        std::count_if(parts->begin(), parts->end(), [](const auto& p) { return p.starts_with("file:"); }),
        120);
    EXPECT_FALSE(HasPart(*parts, "nofile:"));
    // Parts past the capacity are dropped without touching the fields around the array.
    const ReceivedMail mail = Extract(*parts);
    EXPECT_EQ(mail.attachmentCount, lw::mail::kMaxAttachments);
    EXPECT_EQ(mail.body, "see the files");
    QFile last(mail.attachments[99]);
    ASSERT_TRUE(last.open(QIODevice::ReadOnly));
    EXPECT_EQ(last.readAll(), "attachment 99\n");

    // Reading again into the same folder never overwrites the first copies.
    const auto again = Read("many-attachments-120.eml");
    ASSERT_TRUE(again);
    EXPECT_EQ(QFileInfo(again->attachments[0]).fileName(), "file000 (2).bin");
    EXPECT_EQ(QDir(m_folder.path()).entryList(QDir::Files).size(), 240);
}

TEST_F(ReadMailTest, BrokenMimeNonMessagesAndPartLists)
{
    auto mail = Read("broken-mime-unclosed-boundary.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->subject + "|" + mail->fromName, u"壊れた MIME|Broken Sender"_qs);
    EXPECT_TRUE(mail->body.contains(u"壊れた本文"_qs)) << mail->body.toStdString();
    // A name with folders and reserved characters stays inside the folder, made harmless.
    ASSERT_EQ(mail->attachmentCount, 1);
    const QFileInfo written(mail->attachments[0]);
    EXPECT_EQ(written.absoluteFilePath(), QFileInfo(m_folder.path()).absoluteFilePath() + "/pass_wd_.pdf");
    EXPECT_EQ(written.size(), 9);

    // Blank lines before the header, as some tools store messages.
    const auto padded =
        Parts(WriteFile("padded.eml", "\r\n\nFrom: a@example.jp\nSubject: padded\n\nbody\n").toStdString());
    ASSERT_TRUE(padded);
    EXPECT_EQ(Extract(*padded).subject, "padded");

    // Files that are no message give nothing.
    for (const std::string& file :
         {Fixture("does-not-exist.eml"), Fixture("no-header-not-a-message.txt"),
          std::string(TEST_DATA_DIR "/mime"), std::string(), WriteFile("empty.eml", {}).toStdString()})
        EXPECT_FALSE(Parts(file)) << file;
    EXPECT_TRUE(lw::mail::ForwardMarks(Fixture("does-not-exist.eml")).empty());

    // Only the header parts named come; the body always does.
    const auto report = Parts(Fixture("sjis-q-encoded-subject.eml"), "subject:from:date:nofile:");
    ASSERT_TRUE(report);
    EXPECT_TRUE(!HasPart(*report, "to:") && HasPart(*report, "body:") && HasPart(*report, "nofile:"));

    // A folder that cannot take files: no "file:" part, and no "nofile:" hiding the attachment.
    const QString blocker = WriteFile("blocker", {});
    const auto unwritable = lw::mail::ReadMail(Fixture("broken-mime-unclosed-boundary.eml"), kCycleParts,
                                               (blocker + "/sub").toStdString());
    ASSERT_TRUE(unwritable);
    EXPECT_TRUE(!HasPart(*unwritable, "file:") && !HasPart(*unwritable, "nofile:") &&
                HasPart(*unwritable, "body:"));
}

TEST(Extractors, FromAndToPartsAreCutAtFixedPlaces)
{
    const struct {
        const char* part;
        const char *fromAddress, *fromName, *toAddress, *toName;
    } cases[] = {
        {"from: \"山田 太郎\" <Taro.Y@Example.JP>", "Taro.Y@Example.JP", "山田 太郎", "", ""},
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
        // "to:" inside a subject is no recipient.
        {"subject: Reply to: Boss <boss@example.jp>", "", "", "", ""},
        {"1234to: x@example.jp", "", "", "", ""},
        {"123to: x@example.jp", "", "", "to: x@example.jp", ""},
    };
    for (const auto& c : cases) {
        const auto mail = Extract({c.part});
        EXPECT_EQ(QStringList({mail.fromAddress, mail.fromName, mail.toAddress, mail.toName}),
                  QStringList({c.fromAddress, c.fromName, c.toAddress, c.toName}))
            << c.part;
    }

    // The first usable address wins, the last subject wins; a from part without a usable
    // address does not block a later one.
    auto mail = Extract({"subject: first", "from: \"Broken\" <broken", "from: \"A\" <a@example.jp>",
                         "from: \"B\" <b@example.jp>", "to: c@example.jp", "to: \"D\" <d@example.jp>",
                         "subject: second"});
    EXPECT_EQ(mail.fromAddress + "|" + mail.fromName + "|" + mail.toAddress + "|" + mail.toName + "|" +
                  mail.subject,
              "a@example.jp|A|c@example.jp||second");
}

TEST(Extractors, SubjectDateBodyAttachmentsAndReturnedMail)
{
    auto mail = Extract({"Subject:  件名  ", "body:\n本文\r\n"});
    EXPECT_EQ(mail.subject + "|" + mail.body, QString::fromUtf8("件名|本文"));

    // Local forms; fractions of a second are dropped.
    const auto local = [](int month, int day, int h, int m, int s) {
        return QDateTime(QDate(2024, month, day), QTime(h, m, s), Qt::LocalTime);
    };
    for (const auto& [part, expected] : std::vector<std::pair<const char*, QDateTime>>{
             {"date: 2024/02/29 23:59:58", local(2, 29, 23, 59, 58)},
             {"date: 2024-1-5 7:08", local(1, 5, 7, 8, 0)},
             {"date: 2024/01/05", local(1, 5, 0, 0, 0)},
             {"date: 2024-01-05T10:11:12.345", local(1, 5, 10, 11, 12)}})
        EXPECT_EQ(Extract({part}).received, expected) << part;

    // Unreadable dates leave the earlier value.
    mail = Extract({"date: 2024/01/05 10:11:12", "date: Wed, 28 May 2014 17:18:19 +0900",
                    "date: 2023/02/30 10:00:00", "date: 2023/01/01 25:00:00", "date:"});
    EXPECT_EQ(mail.received, local(1, 5, 10, 11, 12));
    EXPECT_FALSE(Extract({"date: yesterday"}).received.isValid());

    // Only the first matching keyword applies, and only near the start.
    mail = Extract({"subject: body: x", "xxxxxx body: late", "123456789subject: late"});
    EXPECT_EQ(mail.subject + "|" + mail.body, "body: x|");

    mail = Extract({"nofile:", "file: /w/a.txt", "File:/w/B.PDF ", "body: see file: /w/x", "xnofile: /w/y"});
    ASSERT_EQ(mail.attachmentCount, 2);
    EXPECT_EQ(mail.attachments[0] + "|" + mail.attachments[1], "/w/a.txt|/w/B.PDF");

    for (const auto& [subject, may] :
         {std::pair{"", true}, {"Fwd: RETURNED MAIL: user unknown", false}, {"Returned  mail", true}})
        EXPECT_EQ(lw::mail::MayProcess(Extract({std::string("subject: ") + subject})), may) << subject;
}
