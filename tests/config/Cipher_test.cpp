#include "config/Cipher.h"

#include <gtest/gtest.h>

#include <QString>

#include <random>

using lw::config::Cipher;
using lw::config::Scramble;
using lw::config::Unscramble;

namespace {

QByteArray Bytes(std::initializer_list<int> codes)
{
    QByteArray out;
    for (int c : codes) out.append(static_cast<char>(c));
    return out;
}

QByteArray RandomBytes(std::mt19937& rng, int length)
{
    QByteArray out;
    for (int i = 0; i < length; ++i) out.append(static_cast<char>(rng() % 256));
    return out;
}

QByteArray Shrunk(const QByteArray& text)
{
    Cipher cipher;
    cipher.Text(text);
    cipher.Shrink();
    return cipher.Text();
}

} // namespace

TEST(Cipher, PackingWorkedExampleAndPartialGroups)
{
    Cipher cipher;
    cipher.Text(Bytes({65, 200, 10}));
    cipher.Stretch();
    EXPECT_EQ(cipher.Text(), Bytes({60, 67, 69, 87}));
    // A final group of one or two codes carries its top bits in the last character.
    cipher.Text(Bytes({255}));
    cipher.Stretch();
    EXPECT_EQ(cipher.Text(), Bytes({63 + 59, 3 * 16 + 59}));
    cipher.Text(Bytes({1, 2, 3, 130, 64}));
    cipher.Stretch();
    EXPECT_EQ(cipher.Text(), Bytes({60, 61, 62, 59, 2 + 59, 0 + 59, 2 * 16 + 1 * 4 + 59}));
    cipher.Shrink();
    EXPECT_EQ(cipher.Text(), Bytes({1, 2, 3, 130, 64}));
}

TEST(Cipher, LengthRangeAndRoundTripOverRandomBytes)
{
    std::mt19937 rng(20240611);
    std::vector<QByteArray> texts{QByteArray(), QStringLiteral("ﾊﾟｽﾜｰﾄﾞ日本").toUtf8()};
    for (int c = 0; c < 256; ++c) texts[0].append(static_cast<char>(c));
    for (int i = 0; i < 240; ++i) texts.push_back(RandomBytes(rng, 1 + i % 41));

    for (const QByteArray& text : texts) {
        const QByteArray key = RandomBytes(rng, 1 + static_cast<int>(rng() % 8));
        const QByteArray scrambled = Scramble(text, key);
        const qsizetype n = text.size();
        ASSERT_EQ(scrambled.size(), n + (n + 2) / 3) << text.toHex().constData();
        for (const char ch : scrambled) ASSERT_TRUE(ch >= ';' && ch <= 'z') << text.toHex().constData();
        ASSERT_EQ(Unscramble(scrambled, key), text) << text.toHex().constData();
        ASSERT_EQ(Scramble(text, key), scrambled) << "same text and key, other result";
    }
    const QByteArray key = QStringLiteral("鍵").toUtf8();
    EXPECT_EQ(Unscramble(Scramble("wvw", key), key), QByteArray("wvw"));
}

TEST(Cipher, XorDependsOnKeyAndKeepsTheHighBit)
{
    const QByteArray text = Bytes({0, 1, 127, 128, 200, 255, 'p', 'q', 'v'});
    Cipher a;
    a.KeyString("Vrolk");
    a.Text(text);
    a.DoXor();
    for (qsizetype i = 0; i < text.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(a.Text()[i]) & 0x80, static_cast<unsigned char>(text[i]) & 0x80);
    EXPECT_NE(a.Text(), text);
    a.KeyString("Vrolk");
    a.DoXor();
    EXPECT_EQ(a.Text(), text) << "a fresh key schedule must restart the same stream";

    EXPECT_NE(Scramble("password", "Vrolk"), Scramble("password", "Vrolj"));
    EXPECT_NE(Scramble("password", "Vrolk"), Scramble("password", "Vrolkk"));
    EXPECT_NE(Unscramble(Scramble("password", "Vrolk"), "other"), QByteArray("password"));
}

TEST(Cipher, EmptyInputsAndForeignTextGiveEmptyText)
{
    EXPECT_TRUE(Scramble("", "Vrolk").isEmpty());
    EXPECT_TRUE(Scramble("pqvex", "").isEmpty());
    EXPECT_TRUE(Unscramble("<<", "").isEmpty());
    for (const QByteArray& foreign : {QByteArray("z"), QByteArray("ab:d"), QByteArray("abc{"),
                                      Bytes({'a', 'b', 0, 'd'}), QByteArray("abcde")})
        EXPECT_TRUE(Shrunk(foreign).isEmpty()) << foreign.toHex().constData();
    // Any other in-range text of a possible length unpacks to the length the formula gives.
    EXPECT_EQ(Shrunk("zzzzzzz").size(), 5);
    EXPECT_EQ(Shrunk(";;").size(), 1);
}

TEST(Cipher, PinnedResultsStayReadable)
{
    // Passwords stored by earlier versions must stay readable after any change here.
    EXPECT_EQ(Scramble("pqvex", "Vrolk"), QByteArray("QAF<s`?"));
    EXPECT_EQ(Scramble("wvw", "Vrolk"), QByteArray("L<E<"));
    EXPECT_EQ(Unscramble("QAF<s`?", "Vrolk"), QByteArray("pqvex"));
}
