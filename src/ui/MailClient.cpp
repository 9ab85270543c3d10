#include "ui/MailClient.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>

namespace lw::ui {

namespace {

const QString kFrameOpen = QStringLiteral("---------------- Original Message ----------------");
const QString kFrameClose = QStringLiteral("-------------- Original Message End --------------");
const QString kCrLf = QStringLiteral("\r\n");

// Everything but the unreserved characters is escaped, so no client reads '+' as a blank
// or '&' as the start of another field.
QString Encode(const QString& text, const QByteArray& keep = {})
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text, keep));
}

QString Body(const QString& body, bool shortened)
{
    QString text = kFrameOpen + kCrLf + body + kCrLf;
    if (shortened) text += ShortenedNotice() + kCrLf;
    return text + kFrameClose;
}

QString Url(const QString& address, const QString& subject, const QString& body)
{
    return QStringLiteral("mailto:") + Encode(address, "@") + QStringLiteral("?subject=") + Encode(subject) +
           QStringLiteral("&body=") + Encode(body);
}

// Cut at n characters without splitting a surrogate pair or a CR LF.
QString Prefix(const QString& text, qsizetype n)
{
    if (n > 0 && n < text.size() && (text.at(n - 1).isHighSurrogate() ||
                                     (text.at(n - 1) == QLatin1Char('\r') && text.at(n) == QLatin1Char('\n'))))
        --n;
    return text.left(n);
}

// The longest prefix length of text for which fits(prefix) holds (fits is monotone).
template <typename Fits>
qsizetype LongestPrefix(const QString& text, Fits fits)
{
    qsizetype low = 0;
    qsizetype high = text.size();
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (fits(Prefix(text, mid))) low = mid;
        else high = mid - 1;
    }
    return low;
}

} // namespace

QString ShortenedNotice()
{
    return QStringLiteral("（本文が長いため、ここから先は省略されています）");
}

QUrl ReplyUrl(const mail::ReceivedMail& mail, int maxLength)
{
    const QString address = mail.fromAddress;
    QString subject = QStringLiteral("Re: ") + mail.subject;
    QString url = Url(address, subject, Body(mail.body, false));
    if (url.size() > maxLength) {
        const auto fits = [&](const QString& prefix) {
            return Url(address, subject, Body(prefix, true)).size() <= maxLength;
        };
        if (!fits(QString())) {
            // Even an empty quote does not fit: the subject itself is cut.
            const qsizetype n = LongestPrefix(subject, [&](const QString& s) {
                return Url(address, s, Body(QString(), true)).size() <= maxLength;
            });
            subject = Prefix(subject, n);
        }
        url = Url(address, subject, Body(Prefix(mail.body, LongestPrefix(mail.body, fits)), true));
    }
    return QUrl::fromEncoded(url.toLatin1(), QUrl::StrictMode);
}

bool DesktopMailClient::Compose(const QUrl& mailto, QString& error)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // xdg-open accepts a mailto: URL even when nothing handles it, so ask for the handler first.
    QProcess query;
    query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"),
                                             QStringLiteral("x-scheme-handler/mailto")});
    const bool answered = query.waitForFinished(5000) && query.exitStatus() == QProcess::NormalExit;
    if (!answered || QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed().isEmpty()) {
        error = QStringLiteral("メールソフトが登録されていないため、返信できません。") + kCrLf +
                QStringLiteral("既定のメールソフトを設定してください。");
        return false;
    }
#endif
    if (!QDesktopServices::openUrl(mailto)) {
        error = QStringLiteral("メールソフトを起動できませんでした。");
        return false;
    }
    return true;
}

} // namespace lw::ui
