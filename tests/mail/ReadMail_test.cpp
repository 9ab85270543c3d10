// ReadMail on one-quirk fixtures (tests/data/mime) and non-messages; the extractors on single parts.

#include "mail/ReceivedMail.h"
#include "mail/Transport.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using lw::mail::MessagePart;
using lw::mail::MessageParts;
using lw::mail::PartKind;
using lw::mail::ReceivedMail;

constexpr const char* kCycleParts = "subject:from:to:date:nofile:";

const std::string kMime = TEST_DATA_DIR "/mime/";

ReceivedMail Extract(const std::vector<MessagePart>& parts, const std::string& folder = {})
{
    ReceivedMail mail;
    lw::mail::ExtractParts(MessageParts{parts, folder}, mail);
    return mail;
}

bool HasPart(const MessageParts& parts, PartKind kind)
{
    return std::ranges::find(parts.parts, kind, &MessagePart::kind) != parts.parts.end();
}

class ReadMailTest : public ::testing::Test {
  protected:
    std::optional<MessageParts> Parts(const std::string& file, const char* partList = kCycleParts)
    {
        return lw::mail::ReadMail(file, partList, folder);
    }
    // All fields empty when the fixture is no message.
    ReceivedMail Read(const char* fixture)
    {
        const MessageParts read = Parts(kMime + fixture).value_or(MessageParts{});
        return Extract(read.parts, read.attachmentFolder);
    }
    std::string WriteFile(const char* name, const QByteArray& data)
    {
        return lw::test::WriteFile(m_folder.path(), QLatin1String(name), data).toStdString();
    }
    QTemporaryDir m_folder;
    const std::string folder = m_folder.path().toStdString();
};

} // namespace

TEST_F(ReadMailTest, JapaneseHeadersOddAddressesAndDatesReadAsOnWindowsOnAnyThread)
{
    const auto utc = [](int d, int h) { return QDateTime(QDate(2024, 1, d), QTime(h, 0), Qt::UTC); };
    const struct {
        const char* fixture;
        QString subject, fromName, fromAddress, toName, toAddress, body;
        QDateTime received;
    } cases[] = {
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
        // The HTML part is the body when there is no plain one.
        {"forward-marks-html-alternative.eml", "marked", "", "a@example.jp", "", "b@example.jp",
         u"<b>転送</b>"_qs, utc(3, 15)},
        // A header of one field is a header: the missing fields are empty, the body is read.
        {"single-field-header.eml", "", "", "", "", "", u"ヘッダーは一行だけ。"_qs, QDateTime()},
        // A continuation line before the first field costs no field.
        {"stray-continuation-first-line.eml", u"本当の件名"_qs, "Gateway User", "user@example.jp", "",
         "office@example.jp", u"本文は無事。"_qs, utc(1, 9)},
        // Quotes decoded from encoded-words stay in the name (full-width, as the brackets, so the
        // fixed cuts still find it); adjacent words join without the blank between them.
        {"quotes-inside-encoded-words.eml", "quotes in encoded words", u"＂Suzuki＂ 花子"_qs,
         "hanako@example.jp", u"Desk ＂A＂ ＜main＞"_qs, "desk@example.jp",
         "the quotes are part of the names", utc(3, 15)},
        // Raw Latin header bytes read in the charsets the message declares: ISO-8859-1 (an
        // encoded-word in From) for To, windows-1252 (the body) where ISO-8859-1 gives controls.
        {"raw-latin-headers-declared-charsets.eml", u"Résumé “draft” € 5"_qs, u"André Martin"_qs,
         "andre@example.fr", u"Jürgen Müller"_qs, "juergen@example.de", u"Café crème"_qs, utc(4, 9)},
    };
    std::vector<std::pair<std::string, MessageParts>> reference; // for the readers on threads below
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        reference.emplace_back(kMime + c.fixture, Parts(kMime + c.fixture).value_or(MessageParts{}));
        const ReceivedMail mail = Read(c.fixture);
        EXPECT_EQ(QStringList({mail.subject, mail.fromName, mail.fromAddress, mail.toName, mail.toAddress,
                               mail.body}),
                  QStringList({c.subject, c.fromName, c.fromAddress, c.toName, c.toAddress, c.body}));
        EXPECT_EQ(mail.received, c.received) << mail.received.toString(Qt::ISODate).toStdString();
    }
    EXPECT_TRUE(QDir(m_folder.path()).isEmpty()) << "no attachment was written for any of them";
    EXPECT_EQ(lw::mail::ForwardMarks(kMime + "forward-marks-html-alternative.eml"),
              (std::vector<std::string>{"first@example.jp", "second@example.jp"}));
    EXPECT_TRUE(lw::mail::ForwardMarks(kMime + "sjis-q-encoded-subject.eml").empty());

    // Readers on several threads agree with one reader; a failed read mismatches its empty reference.
    std::atomic<int> mismatches = 0;
    {
        std::vector<std::jthread> threads; // joined at the end of the block
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int round = 0; round < 50; ++round)
                    for (const auto& [file, parts] : reference)
                        mismatches += lw::mail::ReadMail(file, kCycleParts, folder) != parts;
            });
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(ReadMailTest, AttachmentsBeyondCapacityAreWrittenApartAndCapped)
{
    const auto parts = Parts(kMime + "many-attachments-120.eml");
    ASSERT_TRUE(parts);
    // Parts past the capacity are dropped without touching the fields around the array.
    const ReceivedMail mail = Extract(parts->parts);
    EXPECT_EQ(mail.attachmentCount, lw::mail::kMaxAttachments);
    EXPECT_EQ(mail.body, "see the files");
    EXPECT_EQ(lw::test::ReadFile(mail.attachments[99]), "attachment 99\n");

    // Reading again into the same folder reuses its files unchanged, never overwriting one changed since.
    ASSERT_TRUE(lw::test::WriteFile(mail.attachments[0], "edited"));
    const ReceivedMail again = Read("many-attachments-120.eml");
    EXPECT_EQ(QFileInfo(again.attachments[0]).fileName(), "file000 (2).bin");
    EXPECT_EQ(again.attachments[99], mail.attachments[99]);
    EXPECT_EQ(QDir(m_folder.path()).entryList(QDir::Files).size(), 121);
}

TEST_F(ReadMailTest, BrokenMimeNonMessagesAndPartLists)
{
    // An unclosed boundary: the header, the text and the attachment are still read.
    const ReceivedMail broken = Read("broken-mime-unclosed-boundary.eml");
    EXPECT_EQ(broken.subject, u"壊れた MIME"_qs);
    EXPECT_EQ(broken.fromName, "Broken Sender");
    EXPECT_TRUE(broken.body.contains(u"壊れた本文"_qs)) << broken.body.toStdString();
    // A name with folders and reserved characters stays inside the folder, made harmless.
    ASSERT_EQ(broken.attachmentCount, 1);
    const QFileInfo written(broken.attachments[0]);
    EXPECT_EQ(written.absoluteFilePath(), QFileInfo(m_folder.path()).absoluteFilePath() + "/pass_wd_.pdf");
    EXPECT_EQ(written.size(), 9);

    // Blank lines before the header, as some tools store messages.
    const auto padded = Parts(WriteFile("padded.eml", "\r\n\nFrom: a@example.jp\nSubject: padded\n\nbody\n"));
    EXPECT_EQ(Extract(padded.value_or(MessageParts{}).parts).subject, "padded");

    // Files that are no message give nothing.
    for (const std::string& file :
         {kMime + "does-not-exist.eml", kMime + "no-header-not-a-message.txt",
          std::string(TEST_DATA_DIR "/mime"), std::string(), WriteFile("empty.eml", {})})
        EXPECT_FALSE(Parts(file)) << file;
    EXPECT_TRUE(lw::mail::ForwardMarks(kMime + "does-not-exist.eml").empty());

    // Only the header parts named come; the body always does.
    const auto report = Parts(kMime + "sjis-q-encoded-subject.eml", "subject:from:date:nofile:");
    ASSERT_TRUE(report);
    EXPECT_TRUE(!HasPart(*report, PartKind::To) && HasPart(*report, PartKind::Body) &&
                HasPart(*report, PartKind::NoAttachment));

    // A folder that cannot take files: no "file:" part, and no "nofile:" hiding the attachment.
    const auto unwritable = lw::mail::ReadMail(kMime + "broken-mime-unclosed-boundary.eml", kCycleParts,
                                               WriteFile("blocker", {}) + "/sub");
    ASSERT_TRUE(unwritable);
    EXPECT_TRUE(!HasPart(*unwritable, PartKind::Attachment) &&
                !HasPart(*unwritable, PartKind::NoAttachment) && HasPart(*unwritable, PartKind::Body));
}

TEST(Extractors, FromAndToPartsAreCutAtFixedPlaces)
{
    const struct {
        PartKind kind;
        const char* value;
        const char *fromAddress, *fromName, *toAddress, *toName;
    } cases[] = {
        {PartKind::From, " \"山田 太郎\" <Taro.Y@Example.JP>", "Taro.Y@Example.JP", "山田 太郎", "", ""},
        // Without the blank after the colon the fixed start cuts the name's first character.
        {PartKind::From, "Taro <taro@example.jp>", "taro@example.jp", "aro", "", ""},
        {PartKind::From, "   taro@example.jp  ", "taro@example.jp", "", "", ""},
        // "<" without a later ">" leaves the address empty; an unclosed quote leaves the name empty.
        {PartKind::From, " \"Taro <taro@example.jp", "", "", "", ""},
        {PartKind::From, " x> Taro <taro@example.jp", "", "x> Taro", "", ""},
        {PartKind::To, " 花子 <Hanako@example.jp>", "", "", "Hanako@example.jp", "花子"},
        {PartKind::To, "x@example.jp", "", "", "x@example.jp", ""},
        // An address written in another part is no sender or recipient.
        {PartKind::Subject, " Reply to: Boss <boss@example.jp>", "", "", "", ""},
        {PartKind::Body, "from: \"Boss\" <boss@example.jp>\nto: x@example.jp", "", "", "", ""},
        {PartKind::Date, "to: x@example.jp", "", "", "", ""},
        {PartKind::To, "\"from: Boss\" <boss@example.jp>", "", "", "boss@example.jp", "from: Boss"},
    };
    for (const auto& c : cases) {
        const auto mail = Extract({{c.kind, c.value}});
        EXPECT_EQ(QStringList({mail.fromAddress, mail.fromName, mail.toAddress, mail.toName}),
                  QStringList({c.fromAddress, c.fromName, c.toAddress, c.toName}))
            << c.value;
    }

    // The first usable address wins (a from part without one blocks nothing); the last subject wins.
    auto mail = Extract({{PartKind::Subject, "first"},
                         {PartKind::From, "\"Broken\" <broken"},
                         {PartKind::From, "\"A\" <a@example.jp>"},
                         {PartKind::From, "\"B\" <b@example.jp>"},
                         {PartKind::To, "c@example.jp"},
                         {PartKind::To, "\"D\" <d@example.jp>"},
                         {PartKind::Subject, "second"}});
    EXPECT_EQ(QStringList({mail.fromAddress, mail.fromName, mail.toAddress, mail.toName, mail.subject}),
              QStringList({"a@example.jp", "A", "c@example.jp", "", "second"}));
}

TEST(Extractors, SubjectDateBodyAttachmentsAndReturnedMail)
{
    auto mail = Extract({{PartKind::Subject, "  件名  "}, {PartKind::Body, "\n本文\r\n"}});
    EXPECT_EQ(QStringList({mail.subject, mail.body}), QStringList({u"件名"_qs, u"本文"_qs}));

    // Local forms; fractions of a second are dropped.
    const auto local = [](int month, int day, int h, int m, int s) {
        return QDateTime(QDate(2024, month, day), QTime(h, m, s), Qt::LocalTime);
    };
    for (const auto& [value, expected] :
         std::vector<std::pair<const char*, QDateTime>>{{" 2024/02/29 23:59:58", local(2, 29, 23, 59, 58)},
                                                        {"2024-1-5 7:08", local(1, 5, 7, 8, 0)},
                                                        {" 2024/01/05", local(1, 5, 0, 0, 0)},
                                                        {"2024-01-05T10:11:12.345", local(1, 5, 10, 11, 12)}})
        EXPECT_EQ(Extract({{PartKind::Date, value}}).received, expected) << value;

    // Unreadable dates leave the earlier value.
    mail = Extract({{PartKind::Date, "2024/01/05 10:11:12"},
                    {PartKind::Date, "Wed, 28 May 2014 17:18:19 +0900"},
                    {PartKind::Date, "2023/02/30 10:00:00"},
                    {PartKind::Date, "2023/01/01 25:00:00"},
                    {PartKind::Date, ""}});
    EXPECT_EQ(mail.received, local(1, 5, 10, 11, 12));

    // Each kind has its one extractor: a part reading like another stays what it is; a body keeps line one.
    mail = Extract({{PartKind::Subject, "body: x"},
                    {PartKind::Body, "Subject: late\r\nDate: 2001/02/03 04:05:06\r\nfile:/etc/hostname"},
                    {PartKind::Date, "subject: late"},
                    {PartKind::To, "\"subject: late\" <x@example.jp>"},
                    {PartKind::Date, "file:/etc/passwd"}});
    EXPECT_EQ(QStringList({mail.subject, mail.body}),
              QStringList({"body: x", "Subject: late\r\nDate: 2001/02/03 04:05:06\r\nfile:/etc/hostname"}));
    EXPECT_FALSE(mail.received.isValid());
    EXPECT_EQ(mail.attachmentCount, 0);

    // Attachment parts add their paths in order; a "no file" part adds none.
    mail = Extract({{PartKind::NoAttachment, ""},
                    {PartKind::Attachment, " /w/a.txt"},
                    {PartKind::Attachment, "/w/B.PDF "},
                    {PartKind::Body, "see file: /w/x"}},
                   "/w");
    EXPECT_EQ(mail.attachmentCount, 2);
    EXPECT_EQ(QStringList({mail.attachments[0], mail.attachments[1], mail.attachmentFolder}),
              QStringList({"/w/a.txt", "/w/B.PDF", "/w"}));

    for (const auto& [subject, may] :
         {std::pair{"", true}, {"Fwd: RETURNED MAIL: user unknown", false}, {"Returned  mail", true}})
        EXPECT_EQ(lw::mail::MayProcess(Extract({{PartKind::Subject, subject}})), may) << subject;
}

TEST(Extractors, PartTextAndMailTextAreKeywordAndValueEachEndedByCrLf)
{
    const MessageParts parts{{{PartKind::Subject, "件名"},
                              {PartKind::From, "\"A\" <a@example.jp>"},
                              {PartKind::To, "b@example.jp"},
                              {PartKind::Date, "2024/01/05 10:11:12"},
                              {PartKind::Body, "本文\n二行目"},
                              {PartKind::Attachment, "/w/a.txt"},
                              {PartKind::NoAttachment, ""}},
                             "/w"};
    const QString expected =
        u"subject:件名\r\nfrom:\"A\" <a@example.jp>\r\nto:b@example.jp\r\n"
        u"date:2024/01/05 10:11:12\r\nbody:本文\n二行目\r\nfile:/w/a.txt\r\nnofile:\r\n"_qs;
    EXPECT_EQ(lw::mail::MailText(parts), expected);
    ReceivedMail fresh;
    QString mailText = "left over";
    lw::mail::ExtractParts(parts, fresh, &mailText);
    EXPECT_EQ(mailText, expected);
}

TEST(Extractors, AnAttachmentPathCountsOnlyAsAFileDirectlyInsideItsFolder)
{
    QTemporaryDir root;
    const QString folder = root.filePath("m.eml.files");
    ASSERT_FALSE(lw::test::WriteFile(folder, "a.txt", {}).isEmpty() ||
                 lw::test::WriteFile(folder + "/sub", "b.txt", {}).isEmpty() ||
                 lw::test::WriteFile(root.path(), "outside.txt", {}).isEmpty());
    ASSERT_TRUE(QFile::link(root.filePath("outside.txt"), folder + "/link.txt"));
    for (const auto& [path, inside] :
         std::vector<std::pair<QString, bool>>{{folder + "/a.txt", true},
                                               {folder + "/../m.eml.files/a.txt", true},
                                               {folder + "/sub/b.txt", false},
                                               {folder + "/../outside.txt", false},
                                               {folder + "/link.txt", false},
                                               {folder + "/missing.txt", false},
                                               {folder + "/sub", false},
                                               {"/etc/hostname", false}})
        EXPECT_EQ(lw::mail::IsFileInFolder(path, folder), inside) << path.toStdString();
    EXPECT_FALSE(lw::mail::IsFileInFolder(folder + "/a.txt", QString()));
}
