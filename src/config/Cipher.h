#pragma once

#include <QByteArray>

#include <cstdint>

namespace lw::config {

// A small seeded generator of single-precision values in [0, 1). The same seeds always give the
// same sequence, on every machine and in every run, so scrambled values stay readable.
class KeyStream {
public:
    // x < 0: reseed from x and return the value of that seed; x == 0: the last value again;
    // x > 0: the next value of the sequence.
    float NextValue(float x);
    // The next value of the sequence.
    float NextValue() { return NextValue(1.0f); }
    // Sets the state from x alone.
    void Reseed(float x);

private:
    static std::uint32_t StateFrom(float x);
    float Advance();

    std::uint32_t m_state = 0x50000Bu;
    float m_last = 0.0f;
};

// The reversible password scrambler: XOR with a key stream, then packing into printable
// characters ';' to 'z'. Texts are byte strings (codes 0 to 255).
class Cipher {
public:
    // Stores the key and reseeds the stream from it, so the stream depends on the key alone.
    void KeyString(const QByteArray& key);
    // Stores the working text; the stream is left alone.
    void Text(const QByteArray& text) { m_text = text; }
    // The working text.
    const QByteArray& Text() const { return m_text; }
    // XORs every byte of the working text with the next 7-bit stream value.
    void DoXor();
    // Packs every three bytes into four characters ';' to 'z' (low six bits each, then the top bits).
    void Stretch();
    // Unpacks what Stretch produced; text that Stretch cannot have produced becomes empty.
    void Shrink();

private:
    KeyStream m_stream;
    QByteArray m_text;
};

// Scrambled form of text under key; empty when either is empty.
QByteArray Scramble(const QByteArray& text, const QByteArray& key);
// The text that Scramble turned into scrambled under key; empty when either is empty.
QByteArray Unscramble(const QByteArray& scrambled, const QByteArray& key);

} // namespace lw::config
