// Charset layer and header value decoding, case by case.

#include "mail/CarrierEmoji.h"
#include "mail/Charset.h"
#include "mail/HeaderDecode.h"

#include <gtest/gtest.h>

using namespace lw::mail;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string Utf8(const char8_t* text)
{
    return std::string(reinterpret_cast<const char*>(text));
}

} // namespace

TEST(Charset, JapaneseCharsetsReadAsOnWindowsWithOneReplacementPerBadByte)
{
    // ① (NEC row 13), 髙 (IBM extension), ～ (CP932 mapping of the wave dash), ㈱
    const std::string bytes = "\x87\x40\xFB\xFC\x81\x60\x87\x8A";
    for (const char* label : {"Shift_JIS", "x-sjis", "windows-31j", "\"SJIS\"", "cp932", "MS_Kanji"})
        EXPECT_EQ(DecodeCharset(bytes, label), Utf8(u8"①髙～㈱")) << label;
    // A lone lead byte at the end, an undefined pair, a lead byte before a line break.
    EXPECT_EQ(DecodeCp932("a\x82"), "a" + kFffd);
    EXPECT_EQ(DecodeCp932(std::string("\x85\x40") + "c"), kFffd + kFffd + "c");
    EXPECT_EQ(DecodeCp932(std::string("\x82\x0A") + "d"), kFffd + "\nd");

    // EUC-JP and ISO-2022-JP read the same Windows extensions.
    EXPECT_EQ(DecodeCharset("\xAD\xA1\xA4\xA2\x8E\xB1", "EUC-JP"), Utf8(u8"①あｱ"));

    // JIS X 0208 with NEC row 13, JIS X 0201 kana by escape and by SO/SI, then ASCII again.
    EXPECT_EQ(DecodeCharset("\x1b$B-!$\"\x1b(I12\x1b(Bok\x0e\x33\x0fx", "iso-2022-jp"), Utf8(u8"①あｱｲokｳx"));
    // Rows CP932 leaves empty (carrier emoji) go to the private-use area; a cut pair is replaced.
    EXPECT_EQ(DecodeIso2022Jp("\x1b$BvO\x1b(B"), "\xEE\x82\x8C");
    EXPECT_EQ(DecodeIso2022Jp("\x1b$B$\x1b(Bz"), kFffd + "z");
    // A forgotten return to ASCII ends at the line break.
    EXPECT_EQ(DecodeIso2022Jp("\x1b$B$\"\nab"), Utf8(u8"あ\nab"));
    // Labelled JIS but really UTF-8.
    EXPECT_EQ(DecodeCharset(Utf8(u8"送信"), "ISO-2022-JP"), Utf8(u8"送信"));

    // Undeclared eight-bit text is guessed.
    EXPECT_EQ(DecodeGuess(Utf8(u8"日本語")), Utf8(u8"日本語"));
    EXPECT_EQ(DecodeGuess("\xC6\xFC\xCB\xDC\xB8\xEC"), Utf8(u8"日本語"));           // EUC-JP
    EXPECT_EQ(DecodeGuess("\xA5\xB7\xA5\xB9\xA5\xC6\xA5\xE0"), Utf8(u8"システム")); // also valid CP932
    // A message's declared charsets: valid UTF-8 first, Japanese labels leave the guess alone,
    // then the first declared set where every byte reads (no C1 controls), else the guess.
    EXPECT_EQ(DecodeGuess(Utf8(u8"日本"), {"iso-8859-1"}), Utf8(u8"日本"));
    EXPECT_EQ(DecodeGuess("\x93\xFA\x96\x7B", {"ISO-2022-JP", "shift_jis", "utf-8"}), Utf8(u8"日本"));
    EXPECT_EQ(DecodeGuess("caf\xE9", {"us-ascii", "ISO-8859-1"}), Utf8(u8"café"));
    EXPECT_EQ(DecodeGuess("\x81\x40", {"windows-1252", "no-such-charset"}), Utf8(u8"\u3000"));
    EXPECT_EQ(DecodeUtf8(std::string("a\xE3\x81") + "b"), "a" + kFffd + kFffd + "b");
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF") || IsValidUtf8("\xED\xA0\x80")) << "overlong or surrogate";
}

TEST(HeaderDecode, EncodedWords)
{
    // Blanks between encoded-words go, blanks next to plain text stay.
    EXPECT_EQ(DecodeEncodedWords("=?UTF-8?B?5pel?= =?UTF-8?B?5pys?= x =?utf-8?q?a_b?="),
              Utf8(u8"日本 x a b"));
    // Words of different charsets next to each other.
    EXPECT_EQ(DecodeEncodedWords("=?Shift_JIS?B?k/o=?= =?EUC-JP?B?y9w=?="), Utf8(u8"日本"));
    // A stray "=" inside base64 costs only its own group.
    EXPECT_EQ(DecodeEncodedWords("=?us-ascii?B?YWJj=ZGVm?="), "abcdef");
    // Encoded-words glued to text and inside quotes are read; malformed ones stay as written.
    EXPECT_EQ(DecodeEncodedWords("Re:=?UTF-8?B?5pel?=!"), Utf8(u8"Re:日!"));
    EXPECT_EQ(DecodeEncodedWords("=?UTF-8?X?abc?= =?broken"), "=?UTF-8?X?abc?= =?broken");
    EXPECT_EQ(DecodeUnstructured(" =?UTF-8?B?5pel?=\r\n\t=?UTF-8?B?5pys?=\tend\r\n"), Utf8(u8"日本 end"));
}

TEST(HeaderDecode, FirstMailbox)
{
    const struct {
        const char *field, *name, *address;
    } cases[] = {
        {" \"Yamada \\\"Taro\\\"\" <taro@example.jp>, other@example.jp", "Yamada \"Taro\"",
         "taro@example.jp"},
        {"team: ; , ,  Hanako  Suzuki <hanako@example.jp (home)>", "Hanako Suzuki", "hanako@example.jp"},
        {"garbage words here taro@example.jp more", nullptr, "taro@example.jp"},
        {"Null Sender <>", "Null Sender", ""},
        // Comments are blanks between words of a name, nothing inside an address.
        {"Pete(his name)Sample <pete(his account)@silly(his host).test>", "Pete Sample", "pete@silly.test"},
        {" first.last (office) @ example.jp", "", "first.last@example.jp"},
        {"<\"john  doe\" @example.jp>", "", "\"john  doe\"@example.jp"},
    };
    for (const auto& c : cases) {
        const auto box = FirstMailbox(c.field);
        ASSERT_TRUE(box) << c.field;
        EXPECT_TRUE(box->address == c.address && (c.name == nullptr || box->name == c.name)) << c.field;
    }
    EXPECT_FALSE(FirstMailbox(" , ;") || FirstMailbox(""));
}

TEST(HeaderDecode, MailDates)
{
    const auto utc = [](const char* raw) {
        const auto moment = ParseMailDate(raw);
        return moment ? moment->toUTC().toString(u"yyyy/MM/dd HH:mm:ss"_qs).toStdString()
                      : std::string("none");
    };
    EXPECT_EQ(utc("Wed, 28 May 14 17:18 -0500"), "2014/05/28 22:18:00");
    EXPECT_EQ(utc("Sat, 20 Sep 2008 20:04:30 +0300 (\xC3\xB9\xC3\xB2 junk)"), "2008/09/20 17:04:30");
    EXPECT_EQ(utc("2014-05-28T17:18:19+09:00"), "2014/05/28 08:18:19");
    EXPECT_EQ(utc("2014/05/28 17:18:19 +0900"), "2014/05/28 08:18:19");
    EXPECT_EQ(utc("31 Feb 2014 10:00:00 +0000") + utc("next tuesday"), "nonenone");
    // No zone: the time is read as local time (the tests run in JST, so that the two differ).
    EXPECT_EQ(ParseMailDate("Mon, 01 Jan 2024 09:00:00").value_or(QDateTime()),
              QDateTime(QDate(2024, 1, 1), QTime(9, 0), Qt::LocalTime));
}

TEST(HeaderDecode, StructuredFieldParameters)
{
    const std::string disposition =
        "attachment;\r\n\tfilename*0*=utf-8''%E6%97%A5;\r\n\tfilename*1=\"x.txt\"; size=4";
    EXPECT_EQ(FieldToken(disposition), "attachment");
    EXPECT_EQ(FieldParameter(disposition, "filename"), Utf8(u8"日x.txt"));
    EXPECT_EQ(FieldParameter(disposition, "size"), "4");
    EXPECT_EQ(FieldParameter(disposition, "name"), "");

    EXPECT_EQ(FieldParameter("attachment; filename*=iso-2022-jp'ja'%1B%24B%24%22%1B%28B.txt", "filename"),
              Utf8(u8"あ.txt"));
    EXPECT_EQ(FieldParameter("text/plain; name=\"a;b \\\"c\\\" C:\\dir\\d.txt\"", "name"),
              "a;b \"c\" C:\\dir\\d.txt");
    EXPECT_EQ(FieldParameter("application/octet-stream; name=\x95\x5C.txt", "name"), Utf8(u8"表.txt"));
    EXPECT_EQ(FieldToken(" Text/HTML (comment); charset=utf-8"), "text/html");
}

TEST(CarrierEmoji, PrivateCodePointsShowAsStandardEmojiByTheSendersCarrier)
{
    // Carrier emoji as the charset layer leaves them: docomo's Shift_JIS through CP932.
    const QString heart = QString::fromStdString(DecodeCp932("\xF9\x91"));
    const struct {
        const char* sender;
        QString text, shown;
    } emoji[] = {
        {"taro@docomo.ne.jp", QString(QChar(0xE6E2)) + QChar(0xE6D1), u"1\uFE0F\u20E3[iモード]"_qs},
        {"taro@docomo.ne.jp", QString(QChar(0xE6A6)), u"〓"_qs}, // in docomo's range, no emoji there
        {"hanako@ezweb.ne.jp", QString(QChar(0xE488)) + QChar(0xEAF1), u"☀\uFE0F🌃"_qs},
        {"hanako@ezweb.ne.jp", QString(QChar(0xE234)), u"〓"_qs}, // KDDI's row F3 through CP932
        {"jiro@i.softbank.jp", QString(QChar(0xE04A)) + QChar(0xE415) + QChar(0xE50B), u"☀\uFE0F😄🇯🇵"_qs},
        // One code point, two carriers: SoftBank's Shift_JIS F941 through CP932, docomo's own.
        {"jiro@softbank.ne.jp", QString(QChar(0xE69D)), u"🚶"_qs},
        {"taro@docomo.ne.jp", QString(QChar(0xE69D)), u"🌔"_qs},
        // Any other sender: one carrier's own code points; shared ones and a company's own characters stay.
        {"office@example.jp", heart + QChar(0xE04A) + QChar(0xE488), u"❤\uFE0F☀\uFE0F☀\uFE0F"_qs},
        {"office@example.jp", QString(QChar(0xE6A6)) + QChar(0xE000), QString(QChar(0xE6A6)) + QChar(0xE000)},
        {"office@example.jp", u"絵文字なし"_qs, u"絵文字なし"_qs},
    };
    for (const auto& c : emoji)
        EXPECT_EQ(CarrierEmojiForDisplay(c.text, QString::fromLatin1(c.sender)), c.shown) << c.sender << " " << c.text.toStdString();
    EXPECT_EQ(CarrierOf("X@Biz.EZweb.ne.jp"), Carrier::Au);
    EXPECT_EQ(CarrierOf("x@notdocomo.ne.jp"), Carrier::Unknown);
}
