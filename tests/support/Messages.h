#pragma once

// Test messages, with the file and log helpers.

#include "support/Files.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <iconv.h>

namespace lw::test {

// Text in another character set (ISO-2022-JP, CP932), empty on a conversion failure.
inline QByteArray Encode(const QString& text, const char* charset)
{
    iconv_t cd = iconv_open(charset, "UTF-8");
    QByteArray in = text.toUtf8(), out(in.size() * 4 + 16, '\0');
    char *inPtr = in.data(), *outPtr = out.data();
    size_t inLeft = static_cast<size_t>(in.size()), outLeft = static_cast<size_t>(out.size());
    const bool opened = cd != reinterpret_cast<iconv_t>(-1);
    const bool ok = opened && iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) &&
                    iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != size_t(-1);
    if (opened) iconv_close(cd);
    return ok ? out.left(out.size() - static_cast<qsizetype>(outLeft)) : QByteArray();
}

// A message as a Japanese mail program writes it: ISO-2022-JP encoded words, 7-bit JIS body.
inline QByteArray JapaneseMessage(const QString& fromName, const QString& fromAddress, const QString& subject,
                                  const QString& body)
{
    auto word = [](const QString& t) {
        return "=?ISO-2022-JP?B?" + Encode(t, "ISO-2022-JP").toBase64() + "?=";
    };
    static int serial = 0;
    const QByteArray from = fromAddress.toUtf8();
    const QByteArray date = QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8();
    return "Return-Path: <" + from + ">\r\nDate: " + date +
           "\r\nFrom: " + (fromName.isEmpty() ? QByteArray() : word(fromName) + " ") + "<" + from +
           ">\r\nTo: " + word(QStringLiteral("監視窓口")) +
           " <watch@example.jp>\r\nSubject: " + word(subject) + "\r\nMessage-ID: <" +
           QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + "." + QByteArray::number(++serial) +
           "@mail.example.co.jp>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n"
           "Content-Transfer-Encoding: 7bit\r\nX-Mailer: Mailer 7.0\r\n\r\n" +
           Encode(body, "ISO-2022-JP").replace("\n", "\r\n") + "\r\n";
}

} // namespace lw::test
