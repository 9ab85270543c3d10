// Every real message of the shared sample set, read and extracted, against its reviewed values.

#include "engine/mail/ReceivedMail.h"
#include "engine/mail/Transport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <iostream>

namespace {

using lw::mail::ReceivedMail;

QString SamplePath(const QString& name)
{
    return QStringLiteral(MAIL_SAMPLES_DIR "/") + name;
}

QJsonArray Messages()
{
    QFile file(SamplePath(QStringLiteral("expected.json")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("messages")).toArray();
}

QString Text(const QJsonValue& value)
{
    return value.isString() ? value.toString() : QString();
}

// A written attachment's name without the " (n)" that keeps names apart in one folder.
QString WithoutCollisionSuffix(const QString& name)
{
    static const QRegularExpression suffix(QStringLiteral(" \\(\\d+\\)(?=\\.[^.]*$|$)"));
    QString plain = name;
    return plain.remove(suffix);
}

struct Tally {
    int checks = 0;
    int failures = 0;
    void Check(bool ok, const QString& file, const char* field, const QString& got, const QString& want)
    {
        ++checks;
        if (ok) return;
        ++failures;
        ADD_FAILURE() << file.toStdString() << " " << field << "\n  got:  " << got.left(300).toStdString()
                      << "\n  want: " << want.left(300).toStdString();
    }
};

// The value a field must have: the hand review's where it differs, else the reference reading.
struct Wanted {
    QJsonObject expected;
    QJsonObject expect; // hand review values
    QString verdict;
    QStringList checked;
    QJsonObject alternative;

    bool Uncertain(const QString& field) const
    {
        return verdict == u"uncertain" && (checked.contains(field) || checked.contains(u"all"));
    }
};

} // namespace

TEST(MailSamples, EveryMessageReadsAsReviewed)
{
    const QJsonArray messages = Messages();
    ASSERT_GE(messages.size(), 30) << "sample set not found at " MAIL_SAMPLES_DIR;
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());

    Tally tally;
    for (const QJsonValue& entry : messages) {
        const QJsonObject message = entry.toObject();
        const QString name = message.value(u"file").toString();
        SCOPED_TRACE(name.toStdString());
        Wanted wanted;
        wanted.expected = message.value(u"expected").toObject();
        const QJsonObject hand = message.value(u"hand_check").toObject();
        wanted.verdict = hand.value(u"verdict").toString();
        wanted.expect = hand.value(u"expect").toObject();
        for (const QJsonValue& field : hand.value(u"checked").toArray())
            wanted.checked << field.toString();
        wanted.alternative = message.value(u"alt_cp932_reading").toObject();

        const QString folder = work.filePath(QFileInfo(name).completeBaseName());
        const auto parts = lw::mail::ReadMail(SamplePath(name).toStdString(),
                                              "subject:from:to:date:nofile:", folder.toStdString());
        ASSERT_TRUE(parts.has_value()) << name.toStdString();
        ReceivedMail mail;
        mail.file = SamplePath(name);
        for (const auto& part : *parts)
            lw::mail::ExtractAll(QString::fromStdString(part), mail);

        const auto wantText = [&](const char* handKey, const char* key) {
            if (wanted.expect.contains(QLatin1String(handKey)))
                return Text(wanted.expect.value(QLatin1String(handKey)));
            return Text(wanted.expected.value(QLatin1String(key)));
        };

        // Addresses and names.
        const struct {
            const char* field;
            const char* writtenKey;
            const QString& got;
        } addressFields[] = {
            {"from_address", "from_address_as_written", mail.fromAddress},
            {"from_name", "from_name", mail.fromName},
            {"to_address", "to_address_as_written", mail.toAddress},
            {"to_name", "to_name", mail.toName},
        };
        for (const auto& field : addressFields) {
            const QString want = wantText(field.field, field.writtenKey);
            if (wanted.Uncertain(QLatin1String(field.field)))
                tally.Check(want.isEmpty() || !field.got.isEmpty(), name, field.field, field.got, want);
            else
                tally.Check(field.got == want, name, field.field, field.got, want);
        }

        // Subject: blanks left by unfolding do not count.
        {
            const QString want = wantText("subject", "subject");
            if (wanted.expect.contains(u"subject_prefix"))
                tally.Check(mail.subject.startsWith(Text(wanted.expect.value(u"subject_prefix"))) &&
                                mail.subject.size() > Text(wanted.expect.value(u"subject_prefix")).size(),
                            name, "subject", mail.subject,
                            Text(wanted.expect.value(u"subject_prefix")) + "…");
            else if (wanted.Uncertain(u"subject"_qs))
                tally.Check(want.isEmpty() || !mail.subject.isEmpty(), name, "subject", mail.subject, want);
            else
                tally.Check(mail.subject.simplified() == want.simplified(), name, "subject", mail.subject,
                            want);
        }

        // Date, compared as a moment (UTC) so the machine's zone does not matter.
        {
            QString want;
            if (wanted.expect.contains(u"date_local")) {
                const QString offset = Text(wanted.expect.value(u"utc_offset"));
                QDateTime local = QDateTime::fromString(Text(wanted.expect.value(u"date_local")),
                                                        u"yyyy/MM/dd HH:mm:ss"_qs);
                local.setTimeSpec(Qt::UTC);
                const int seconds = (offset.mid(1, 2).toInt() * 3600 + offset.mid(3, 2).toInt() * 60) *
                                    (offset.startsWith(u'-') ? -1 : 1);
                want = local.addSecs(-seconds).toString(u"yyyy/MM/dd HH:mm:ss"_qs);
            } else if (wanted.expected.value(u"date").isObject()) {
                want = Text(wanted.expected.value(u"date").toObject().value(u"utc"));
            }
            const QString got = mail.received.isValid()
                                    ? mail.received.toUTC().toString(u"yyyy/MM/dd HH:mm:ss"_qs)
                                    : QString();
            if (wanted.Uncertain(u"date"_qs))
                tally.Check(want.isEmpty() || !got.isEmpty(), name, "date", got, want);
            else
                tally.Check(got == want, name, "date", got, want);
        }

        // Body: trimmed as the reference trims (Unicode blanks), line ends as LF.
        {
            const QString got = mail.body.trimmed();
            QString want = Text(wanted.expected.value(u"body").toObject().value(u"text_trimmed"));
            QString handWant = Text(wanted.expect.value(u"body_text_trimmed"));
            if (handWant.startsWith(u"see alt_cp932_reading"))
                handWant = Text(wanted.alternative.value(u"body_text_trimmed"));
            if (wanted.expect.contains(u"body_prefix")) {
                const QString prefix = Text(wanted.expect.value(u"body_prefix"));
                tally.Check(got.startsWith(prefix) && got.size() > prefix.size(), name, "body", got,
                            prefix + "…");
            } else if (wanted.expect.contains(u"body_text_trimmed_starts")) {
                const QString prefix = Text(wanted.expect.value(u"body_text_trimmed_starts"));
                tally.Check(got.startsWith(prefix), name, "body", got, prefix + "…");
            } else if (!handWant.isEmpty()) {
                tally.Check(got == handWant.trimmed(), name, "body", got, handWant);
            } else if (wanted.Uncertain(u"body"_qs)) {
                // Either reading passes, as long as the text is somewhere.
                tally.Check(!got.isEmpty() || mail.attachmentCount > 0, name, "body", got, want);
            } else {
                tally.Check(got == want, name, "body", got, want);
            }
        }

        // Attachments: names (file-system safe, kept apart by a suffix) and decoded sizes.
        {
            const QJsonArray list = wanted.expect.contains(u"attachments")
                                        ? wanted.expect.value(u"attachments").toArray()
                                        : wanted.expected.value(u"attachments").toArray();
            QStringList gotNames;
            QStringList wantNames;
            bool sizesRight = true;
            for (int i = 0; i < mail.attachmentCount; ++i) {
                const QFileInfo info(mail.attachments[static_cast<std::size_t>(i)]);
                gotNames << WithoutCollisionSuffix(info.fileName());
                if (i < list.size()) {
                    const QJsonValue size = list.at(i).toObject().value(u"size");
                    if (size.isDouble() && info.size() != size.toInteger()) sizesRight = false;
                }
            }
            for (const QJsonValue& item : list)
                wantNames << Text(item.toObject().value(u"filename"));
            if (wanted.Uncertain(u"attachments"_qs))
                tally.Check(mail.attachmentCount > 0 || !mail.body.isEmpty(), name, "attachments",
                            gotNames.join(u", "), wantNames.join(u", "));
            else
                tally.Check(gotNames == wantNames && sizesRight, name, "attachments", gotNames.join(u", "),
                            wantNames.join(u", ") + (sizesRight ? "" : " (sizes differ)"));
        }

        // Returned-mail test.
        {
            const bool returned = wanted.expect.contains(u"returned_mail")
                                      ? wanted.expect.value(u"returned_mail").toBool()
                                      : wanted.expected.value(u"returned_mail").toBool();
            tally.Check(lw::mail::MayProcess(mail) == !returned, name, "returned_mail",
                        lw::mail::MayProcess(mail) ? "may process" : "returned",
                        returned ? "returned" : "may process");
        }
    }
    std::cout << "[ samples  ] " << (tally.checks - tally.failures) << " of " << tally.checks
              << " field checks right on " << messages.size() << " messages\n";
    EXPECT_EQ(tally.failures, 0);
}
