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
    return QByteArray(std::vector<char>(codes.begin(), codes.end()).data(), qsizetype(codes.size()));
}

QByteArray Packed(const QByteArray& text, bool stretch)
{
    Cipher cipher;
    cipher.Text(text);
    stretch ? cipher.Stretch() : cipher.Shrink();
    return cipher.Text();
}

} // namespace

TEST(Cipher, PinnedResultsForeignTextAndLengthRangeAndRoundTripOverRandomBytes)
{
    EXPECT_EQ(Packed(Bytes({65, 200, 10}), true), Bytes({60, 67, 69, 87}));
    // A final group of one or two codes carries its top bits in the last character.
    EXPECT_EQ(Packed(Bytes({255}), true), Bytes({63 + 59, 3 * 16 + 59}));
    const QByteArray five = Bytes({1, 2, 3, 130, 64});
    EXPECT_EQ(Packed(five, true), Bytes({60, 61, 62, 59, 2 + 59, 0 + 59, 2 * 16 + 1 * 4 + 59}));
    // Passwords stored by earlier versions must stay readable after any change here.
    EXPECT_EQ(Scramble("pqvex", "Vrolk"), QByteArray("QAF<s`?"));
    EXPECT_EQ(Scramble("wvw", "Vrolk"), QByteArray("L<E<"));
    // Empty text or an empty key give empty text.
    EXPECT_TRUE(Scramble("", "Vrolk").isEmpty() && Scramble("pqvex", "").isEmpty() && Unscramble("<<", "").isEmpty());

    // Text that packing cannot have produced unpacks to nothing; other in-range text to n*3/4.
    for (const QByteArray& foreign : {QByteArray("z"), QByteArray("ab:d"), QByteArray("abc{"),
                                      Bytes({'a', 'b', 0, 'd'}), QByteArray("abcde")})
        EXPECT_TRUE(Packed(foreign, false).isEmpty()) << foreign.toHex().constData();
    EXPECT_EQ(Packed("zzzzzzz", false).size(), 5);
    EXPECT_EQ(Packed(";;", false).size(), 1);

    std::mt19937 rng(20240611);
    const auto random = [&rng](int length) {
        QByteArray out;
        for (int i = 0; i < length; ++i) out.append(static_cast<char>(rng() % 256));
        return out;
    };
    std::vector<QByteArray> texts{QByteArray(), QStringLiteral("ﾊﾟｽﾜｰﾄﾞ日本").toUtf8()};
    for (int c = 0; c < 256; ++c) texts[0].append(static_cast<char>(c));
    for (int i = 0; i < 240; ++i) texts.push_back(random(1 + i % 41));
    for (const QByteArray& text : texts) {
        const QByteArray key = random(1 + static_cast<int>(rng() % 8));
        const QByteArray scrambled = Scramble(text, key);
        const qsizetype n = text.size();
        ASSERT_EQ(scrambled.size(), n + (n + 2) / 3) << text.toHex().constData();
        for (const char ch : scrambled) ASSERT_TRUE(ch >= ';' && ch <= 'z') << text.toHex().constData();
        ASSERT_EQ(Unscramble(scrambled, key), text) << text.toHex().constData();
        ASSERT_EQ(Scramble(text, key), scrambled) << "same text and key, other result";
    }
}
