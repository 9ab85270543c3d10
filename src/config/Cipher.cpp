#include "config/Cipher.h"

#include <bit>
#include <cmath>

namespace lw::config {

namespace {

constexpr std::uint32_t kMask = 0xFFFFFFu;  // 24 bits: every state maps exactly onto a float
constexpr int kFirst = 59;                   // ';'
constexpr int kLast = kFirst + 63;           // 'z'

} // namespace

std::uint32_t KeyStream::StateFrom(float x)
{
    // Fold all 32 bits of the value into the 24-bit state, so nearby seeds land far apart.
    std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    bits ^= bits >> 16;
    bits *= 0x7FEB352Du;
    bits ^= bits >> 15;
    return bits & kMask;
}

float KeyStream::Advance()
{
    m_state = (m_state * 0xFD43FDu + 0xC39EC3u) & kMask;
    m_last = static_cast<float>(m_state) / static_cast<float>(kMask + 1u);
    return m_last;
}

float KeyStream::NextValue(float x)
{
    if (x < 0.0f) {
        m_state = StateFrom(x);
        return Advance();
    }
    if (x == 0.0f) return m_last;
    return Advance();
}

void KeyStream::Reseed(float x)
{
    m_state = StateFrom(x) ^ 0x5A5A5Au;
}

void Cipher::KeyString(const QByteArray& key)
{
    float v = m_stream.NextValue(-1.0f);
    m_stream.Reseed(v);
    for (const char ch : key) {
        const auto c = static_cast<float>(static_cast<unsigned char>(ch));
        const float r = m_stream.NextValue();
        const float s = -r * c;
        v = m_stream.NextValue(s);
        m_stream.Reseed(v);
    }
}

void Cipher::DoXor()
{
    const qsizetype n = m_text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const auto r = static_cast<unsigned>(std::floor(m_stream.NextValue() * 128.0f)) & 127u;
        m_text[i] = static_cast<char>(static_cast<unsigned char>(m_text[i]) ^ r);
    }
}

void Cipher::Stretch()
{
    QByteArray out;
    const qsizetype n = m_text.size();
    out.reserve(n + (n + 2) / 3);
    int high = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const int c = static_cast<unsigned char>(m_text[i]);
        out.append(static_cast<char>((c & 63) + kFirst));
        high += (c / 64) << (4 - 2 * (i % 3));
        if (i % 3 == 2 || i == n - 1) {
            out.append(static_cast<char>(high + kFirst));
            high = 0;
        }
    }
    m_text = out;
}

void Cipher::Shrink()
{
    const qsizetype m = m_text.size();
    // Stretch yields 2 or 3 characters for a final group and 4 per full group: never 4g+1.
    if (m < 2 || m % 4 == 1) {
        m_text.clear();
        return;
    }
    for (const char ch : m_text) {
        const int code = static_cast<unsigned char>(ch);
        if (code < kFirst || code > kLast) {
            m_text.clear();
            return;
        }
    }
    const qsizetype count = (m - 1) - (m - 1) / 4;
    QByteArray out(count, '\0');
    qsizetype j = 0;
    qsizetype k = 0;
    int h = 0;
    for (qsizetype i = 1; i <= count; ++i) {
        ++j;
        const int v = static_cast<unsigned char>(m_text[j - 1]) - kFirst;
        int top = 0;
        switch (i % 3) {
        case 1:
            k = std::min(k + 4, m);
            h = static_cast<unsigned char>(m_text[k - 1]) - kFirst;
            top = (h / 16) & 3;
            break;
        case 2:
            top = (h / 4) & 3;
            break;
        default:
            top = h & 3;
            ++j;
            break;
        }
        out[i - 1] = static_cast<char>(top * 64 + v);
    }
    m_text = out;
}

QByteArray Scramble(const QByteArray& text, const QByteArray& key)
{
    if (text.isEmpty() || key.isEmpty()) return {};
    Cipher cipher;
    cipher.KeyString(key);
    cipher.Text(text);
    cipher.DoXor();
    cipher.Stretch();
    return cipher.Text();
}

QByteArray Unscramble(const QByteArray& scrambled, const QByteArray& key)
{
    if (scrambled.isEmpty() || key.isEmpty()) return {};
    Cipher cipher;
    cipher.Text(scrambled);
    cipher.KeyString(key);
    cipher.Shrink();
    cipher.DoXor();
    return cipher.Text();
}

} // namespace lw::config
