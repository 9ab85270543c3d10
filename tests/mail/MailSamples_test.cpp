// Every real message of the shared sample set, read and extracted, against its reviewed values.

#include "mail/ReceivedMail.h"
#include "mail/Transport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <string_view>

TEST(MailSamples, EveryMessageReadsAsReviewed)
{
    if (std::string_view(MAIL_SAMPLES_DIR).empty())
        GTEST_SKIP() << "no sample folder configured: set the CMake cache variable LW_MAIL_SAMPLES_DIR";
    QFile index(QStringLiteral(MAIL_SAMPLES_DIR "/expected.json"));
    ASSERT_TRUE(index.open(QIODevice::ReadOnly)) << "sample set not found at " MAIL_SAMPLES_DIR;
    const QJsonArray messages = QJsonDocument::fromJson(index.readAll())[u"messages"].toArray();
    ASSERT_GE(messages.size(), 30);
    QTemporaryDir work;
    // The " (n)" that keeps the names of written attachments apart in one folder.
    const QRegularExpression collisionSuffix(QStringLiteral(" \\(\\d+\\)(?=\\.[^.]*$|$)"));

    for (const QJsonValue& entry : messages) {
        const QJsonObject message = entry.toObject();
        const QString name = message.value(u"file").toString();
        SCOPED_TRACE(name.toStdString());
        const QJsonObject hand = message.value(u"hand_check").toObject();
        const QJsonObject expected = message.value(u"expected").toObject();
        const QJsonObject expect = hand.value(u"expect").toObject();
        const QJsonArray checked = hand.value(u"checked").toArray();
        const auto uncertain = [&](const QString& field) {
            return hand.value(u"verdict").toString() == u"uncertain" &&
                   (checked.contains(field) || checked.contains(u"all"_qs));
        };
        // The value a field must have: the hand review's where it differs, else the reference reading.
        const auto reviewed = [&](const char* handKey, const char* key) {
            return expect.contains(QLatin1String(handKey)) ? expect.value(QLatin1String(handKey))
                                                           : expected.value(QLatin1String(key));
        };
        const QString path = QStringLiteral(MAIL_SAMPLES_DIR "/") + name;
        const QString folder = work.filePath(QFileInfo(name).completeBaseName());
        const auto parts =
            lw::mail::ReadMail(path.toStdString(), "subject:from:to:date:nofile:", folder.toStdString());
        ASSERT_TRUE(parts.has_value());
        lw::mail::ReceivedMail mail;
        mail.file = path;
        lw::mail::ExtractParts(*parts, mail);

        const auto check = [&](bool ok, const char* field, const QString& got, const QString& want) {
            EXPECT_TRUE(ok) << field << "\n  got:  " << got.left(300).toStdString()
                            << "\n  want: " << want.left(300).toStdString();
        };
        // Exact, or where the review is uncertain: present whenever a value is expected.
        const auto field = [&](const char* key, const QString& got, const QString& want, bool exact) {
            check(uncertain(QLatin1String(key)) ? want.isEmpty() || !got.isEmpty() : exact, key, got, want);
        };

        for (const auto& [key, writtenKey, got] :
             {std::tuple<const char*, const char*, const QString&>{"from_address", "from_address_as_written",
                                                                   mail.fromAddress},
              {"from_name", "from_name", mail.fromName},
              {"to_address", "to_address_as_written", mail.toAddress},
              {"to_name", "to_name", mail.toName}}) {
            const QString want = reviewed(key, writtenKey).toString();
            field(key, got, want, got == want);
        }

        // Subject: blanks left by unfolding do not count.
        if (expect.contains(u"subject_prefix")) {
            const QString prefix = expect.value(u"subject_prefix").toString();
            check(mail.subject.startsWith(prefix) && mail.subject.size() > prefix.size(), "subject",
                  mail.subject, prefix + "…");
        } else {
            const QString want = reviewed("subject", "subject").toString();
            field("subject", mail.subject, want, mail.subject.simplified() == want.simplified());
        }

        // Date, compared as a moment (UTC) so the machine's zone does not matter.
        QString wantDate = expected.value(u"date").toObject().value(u"utc").toString();
        if (expect.contains(u"date_local")) {
            const QString offset = expect.value(u"utc_offset").toString();
            QDateTime local =
                QDateTime::fromString(expect.value(u"date_local").toString(), u"yyyy/MM/dd HH:mm:ss"_qs);
            local.setTimeSpec(Qt::UTC);
            const int seconds = (offset.mid(1, 2).toInt() * 3600 + offset.mid(3, 2).toInt() * 60) *
                                (offset.startsWith(u'-') ? -1 : 1);
            wantDate = local.addSecs(-seconds).toString(u"yyyy/MM/dd HH:mm:ss"_qs);
        }
        const QString gotDate = mail.received.toUTC().toString(u"yyyy/MM/dd HH:mm:ss"); // empty when invalid
        field("date", gotDate, wantDate, gotDate == wantDate);

        // Body: trimmed as the reference trims (Unicode blanks), line ends as LF.
        const QString got = mail.body.trimmed();
        const QString want = expected.value(u"body").toObject().value(u"text_trimmed").toString();
        QString handWant = expect.value(u"body_text_trimmed").toString();
        if (handWant.startsWith(u"see alt_cp932_reading"))
            handWant = message.value(u"alt_cp932_reading").toObject().value(u"body_text_trimmed").toString();
        if (expect.contains(u"body_prefix")) {
            const QString prefix = expect.value(u"body_prefix").toString();
            check(got.startsWith(prefix) && got.size() > prefix.size(), "body", got, prefix + "…");
        } else if (expect.contains(u"body_text_trimmed_starts")) {
            const QString prefix = expect.value(u"body_text_trimmed_starts").toString();
            check(got.startsWith(prefix), "body", got, prefix + "…");
        } else if (!handWant.isEmpty()) {
            check(got == handWant.trimmed(), "body", got, handWant);
        } else if (uncertain(u"body"_qs)) {
            // Either reading passes, as long as the text is somewhere.
            check(!got.isEmpty() || mail.attachmentCount > 0, "body", got, want);
        } else {
            check(got == want, "body", got, want);
        }

        // Attachments: names (file-system safe) and decoded sizes of the files in the message's own folder.
        const QJsonArray list = reviewed("attachments", "attachments").toArray();
        QStringList gotNames, wantNames;
        bool sizesRight = true;
        for (int i = 0; i < mail.attachmentCount; ++i) {
            const QString& written = mail.attachments[static_cast<std::size_t>(i)];
            EXPECT_TRUE(lw::mail::IsFileInFolder(written, folder)) << written.toStdString();
            const QFileInfo info(written);
            gotNames << info.fileName().remove(collisionSuffix);
            const QJsonValue size = i < list.size() ? list.at(i).toObject().value(u"size") : QJsonValue();
            if (size.isDouble() && info.size() != size.toInteger()) sizesRight = false;
        }
        for (const QJsonValue& item : list)
            wantNames << item.toObject().value(u"filename").toString();
        // Where the review is uncertain, either reading passes as long as something was read.
        check(uncertain(u"attachments"_qs) ? mail.attachmentCount > 0 || !mail.body.isEmpty()
                                           : gotNames == wantNames && sizesRight,
              "attachments", gotNames.join(u", "),
              wantNames.join(u", ") + (sizesRight ? "" : " (sizes differ)"));

        const bool returned = reviewed("returned_mail", "returned_mail").toBool();
        check(lw::mail::MayProcess(mail) == !returned, "returned_mail",
              lw::mail::MayProcess(mail) ? "may process" : "returned", returned ? "returned" : "may process");
    }
}
