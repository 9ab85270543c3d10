// ReadMail on messages made for one quirk each (tests/data/mime), and on files that are no message.

#include "engine/mail/ReceivedMail.h"
#include "engine/mail/Transport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
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

QString Utc(const ReceivedMail& mail)
{
    return mail.received.toUTC().toString(u"yyyy/MM/dd HH:mm:ss"_qs);
}

bool HasPart(const PartList& parts, const std::string& prefix)
{
    return std::any_of(parts.begin(), parts.end(),
                       [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
}

class ReadMailTest : public ::testing::Test {
  protected:
    std::optional<ReceivedMail> Read(const char* fixture, PartList* parts = nullptr)
    {
        const auto read = lw::mail::ReadMail(Fixture(fixture), kCycleParts, m_folder.path().toStdString());
        if (!read) return std::nullopt;
        if (parts != nullptr) *parts = *read;
        return Extract(*read);
    }
    QTemporaryDir m_folder;
};

} // namespace

void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

TEST_F(ReadMailTest, JapaneseEncodedWordsReadAsOnWindows)
{
    // Shift_JIS Q-words with CP932-only characters, split over two words.
    auto mail = Read("sjis-q-encoded-subject.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->subject, u"①会議の件 髙橋"_qs);
    EXPECT_EQ(mail->fromName, u"髙橋 一郎"_qs);
    EXPECT_EQ(mail->fromAddress, "takahashi@example.jp");
    EXPECT_EQ(mail->toName, u"総務部"_qs);
    EXPECT_EQ(mail->body, u"本文です。㈱～①"_qs);
    EXPECT_EQ(Utc(*mail), "2024/01/01 00:00:00");

    // ISO-2022-JP: a padded B-word followed by more words, a Q-word cut inside a character,
    // NEC row 13 and half-width kana in the body, and a JST zone.
    mail = Read("iso2022jp-split-encoded-words.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->subject, u"テスト件名会議"_qs);
    EXPECT_EQ(mail->fromName, u"山田"_qs);
    EXPECT_EQ(mail->body, u"①② ｱｳ 本文"_qs);
    EXPECT_EQ(Utc(*mail), "2024/01/01 00:00:00");
}

TEST_F(ReadMailTest, RawHeaderTextAndOddAddresses)
{
    // CP932 bytes with no charset anywhere; "表" carries a backslash byte inside a quoted name.
    auto mail = Read("undeclared-8bit-cp932-headers.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->subject, u"見積書の送付（表）"_qs);
    EXPECT_EQ(mail->fromName, u"表計算 担当"_qs);
    EXPECT_EQ(mail->fromAddress, "hyou@example.jp");
    EXPECT_EQ(mail->toName, u"営業部①"_qs);
    EXPECT_EQ(mail->toAddress, "eigyo@example.jp");
    EXPECT_EQ(mail->body, u"見積書を送付します。"_qs);
    // A Date written in the local form is passed on and still read.
    EXPECT_EQ(mail->received, QDateTime(QDate(2024, 1, 5), QTime(10, 11, 12), Qt::LocalTime));

    // Raw ISO-2022-JP before an old carrier address; a "+09:00" zone.
    mail = Read("raw-iso2022jp-headers-carrier-address.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->fromAddress, "taro..x.@docomo.ne.jp");
    EXPECT_EQ(mail->fromName, u"山田"_qs);
    EXPECT_EQ(mail->toAddress, "hanako.@ezweb.ne.jp");
    EXPECT_TRUE(mail->toName.isEmpty());
    EXPECT_EQ(mail->subject, u"件名 test"_qs);
    EXPECT_EQ(Utc(*mail), "2024/01/01 00:00:00");

    // A comment is no display name; an empty group is skipped; no zone means local time.
    mail = Read("comment-name-group-recipient.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->fromAddress, "MAILER-DAEMON@example.jp");
    EXPECT_TRUE(mail->fromName.isEmpty());
    EXPECT_EQ(mail->toAddress, "jiro..@docomo.ne.jp");
    EXPECT_EQ(mail->received, QDateTime(QDate(2024, 1, 1), QTime(9, 0), Qt::LocalTime));
    EXPECT_FALSE(lw::mail::MayProcess(*mail));
}

TEST_F(ReadMailTest, AttachmentsBeyondCapacityAreWrittenApartAndCapped)
{
    PartList parts;
    auto mail = Read("many-attachments-120.eml", &parts);
    ASSERT_TRUE(mail);
    const auto files = std::count_if(parts.begin(), parts.end(),
                                     [](const std::string& p) { return p.rfind("file:", 0) == 0; });
    EXPECT_EQ(files, 120);
    EXPECT_FALSE(HasPart(parts, "nofile:"));
    EXPECT_EQ(mail->attachmentCount, lw::mail::kMaxAttachments);
    EXPECT_EQ(mail->body, "see the files");
    QFile last(mail->attachments[99]);
    ASSERT_TRUE(last.open(QIODevice::ReadOnly));
    EXPECT_EQ(last.readAll(), "attachment 99\n");
    EXPECT_EQ(QFileInfo(mail->attachments[99]).absolutePath(), QFileInfo(m_folder.path()).absoluteFilePath());

    // Reading again into the same folder never overwrites the first copies.
    auto again = Read("many-attachments-120.eml");
    ASSERT_TRUE(again);
    EXPECT_EQ(QFileInfo(again->attachments[0]).fileName(), "file000 (2).bin");
    EXPECT_EQ(QDir(m_folder.path()).entryList(QDir::Files).size(), 240);
}

TEST_F(ReadMailTest, BrokenMimeStillGivesWhatCanBeRead)
{
    auto mail = Read("broken-mime-unclosed-boundary.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->subject, u"壊れた MIME"_qs);
    EXPECT_EQ(mail->fromName, "Broken Sender");
    EXPECT_TRUE(mail->body.contains(u"壊れた本文"_qs)) << mail->body.toStdString();
    // A name with folders and reserved characters stays inside the folder, made harmless.
    ASSERT_EQ(mail->attachmentCount, 1);
    const QFileInfo written(mail->attachments[0]);
    EXPECT_EQ(written.absolutePath(), QFileInfo(m_folder.path()).absoluteFilePath());
    EXPECT_EQ(written.fileName(), "pass_wd_.pdf");
    EXPECT_EQ(written.size(), 9);

    // Blank lines before the header, as some tools store messages.
    const QString padded = m_folder.filePath("padded.eml");
    QFile file(padded);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\r\n\nFrom: a@example.jp\nSubject: padded\n\nbody\n");
    file.close();
    const auto parts = lw::mail::ReadMail(padded.toStdString(), kCycleParts, m_folder.path().toStdString());
    ASSERT_TRUE(parts);
    EXPECT_EQ(Extract(*parts).subject, "padded");
}

TEST_F(ReadMailTest, FilesThatAreNoMessageGiveNothing)
{
    const std::string folder = m_folder.path().toStdString();
    EXPECT_FALSE(lw::mail::ReadMail(Fixture("does-not-exist.eml"), kCycleParts, folder));
    EXPECT_FALSE(lw::mail::ReadMail(Fixture("no-header-not-a-message.txt"), kCycleParts, folder));
    EXPECT_FALSE(lw::mail::ReadMail(TEST_DATA_DIR "/mime", kCycleParts, folder));
    EXPECT_FALSE(lw::mail::ReadMail("", kCycleParts, folder));
    const QString empty = m_folder.filePath("empty.eml");
    QFile file(empty);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_FALSE(lw::mail::ReadMail(empty.toStdString(), kCycleParts, folder));
    EXPECT_TRUE(lw::mail::ForwardMarks(Fixture("does-not-exist.eml")).empty());
}

TEST_F(ReadMailTest, PartListNamesTheHeaderPartsBodyAlwaysComes)
{
    const std::string folder = m_folder.path().toStdString();
    const auto report =
        lw::mail::ReadMail(Fixture("sjis-q-encoded-subject.eml"), "subject:from:date:nofile:", folder);
    ASSERT_TRUE(report);
    EXPECT_FALSE(HasPart(*report, "to:"));
    EXPECT_TRUE(HasPart(*report, "subject:"));
    EXPECT_TRUE(HasPart(*report, "body:"));
    EXPECT_TRUE(HasPart(*report, "nofile:"));

    const auto noMarker =
        lw::mail::ReadMail(Fixture("sjis-q-encoded-subject.eml"), "SUBJECT:From:to:date:", folder);
    ASSERT_TRUE(noMarker);
    EXPECT_TRUE(HasPart(*noMarker, "to:"));
    EXPECT_TRUE(HasPart(*noMarker, "from:"));
    EXPECT_FALSE(HasPart(*noMarker, "nofile:"));
    EXPECT_EQ(noMarker->front().rfind("subject:", 0), 0u);

    // A folder that cannot take files: no "file:" part, and no "nofile:" hiding the attachment.
    const QString blocker = m_folder.filePath("blocker");
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    const auto unwritable = lw::mail::ReadMail(Fixture("broken-mime-unclosed-boundary.eml"), kCycleParts,
                                               (blocker + "/sub").toStdString());
    ASSERT_TRUE(unwritable);
    EXPECT_FALSE(HasPart(*unwritable, "file:"));
    EXPECT_FALSE(HasPart(*unwritable, "nofile:"));
    EXPECT_TRUE(HasPart(*unwritable, "body:"));
}

TEST_F(ReadMailTest, ForwardMarksAndHtmlOnlyBody)
{
    const auto marks = lw::mail::ForwardMarks(Fixture("forward-marks-html-alternative.eml"));
    EXPECT_EQ(marks, (std::vector<std::string>{"first@example.jp", "second@example.jp"}));
    EXPECT_TRUE(lw::mail::ForwardMarks(Fixture("sjis-q-encoded-subject.eml")).empty());

    auto mail = Read("forward-marks-html-alternative.eml");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->body, u"<b>転送</b>"_qs);
    EXPECT_EQ(Utc(*mail), "2024/01/03 15:00:00");
}

TEST_F(ReadMailTest, ConcurrentReadersAgreeWithOneReader)
{
    const std::vector<const char*> fixtures = {
        "sjis-q-encoded-subject.eml", "iso2022jp-split-encoded-words.eml",
        "undeclared-8bit-cp932-headers.eml", "raw-iso2022jp-headers-carrier-address.eml"};
    std::vector<PartList> reference;
    for (const char* fixture : fixtures) {
        auto parts = lw::mail::ReadMail(Fixture(fixture), kCycleParts, m_folder.path().toStdString());
        ASSERT_TRUE(parts);
        reference.push_back(*parts);
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                for (std::size_t i = 0; i < fixtures.size(); ++i) {
                    const auto parts =
                        lw::mail::ReadMail(Fixture(fixtures[i]), kCycleParts, m_folder.path().toStdString());
                    if (!parts || *parts != reference[i]) ++mismatches[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}
