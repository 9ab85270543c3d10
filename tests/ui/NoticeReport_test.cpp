// The mail notice as PDF, read back with poppler's command-line tools.
#include "ui/NoticeReport.h"

#include "support/TempHome.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using lw::ui::NoticePrinterFactoryQt;

QString Run(const QString& tool, const QStringList& args)
{
    QProcess process;
    process.start(tool, args);
    return process.waitForFinished(30000) ? QString::fromUtf8(process.readAllStandardOutput()) : QString();
}

// NFKC-normalised: the CJK font maps some kanji to Kangxi radicals.
QString PdfText(const QString& path)
{
    return Run("pdftotext", {"-enc", "UTF-8", path, "-"}).normalized(QString::NormalizationForm_KC);
}

QString PdfInfo(const QString& path, const char* field)
{
    return QRegularExpression(QStringLiteral("%1:\\s+([^\\n]+)").arg(field)).match(Run("pdfinfo", {path})).captured(1);
}

QString Squeeze(QString text) { return text.remove(QRegularExpression(QStringLiteral("\\s"))); }

TEST(NoticeReport, NoticesOfOneCycleAreSeparateA4PdfsAndLongTextsRunOverNumberedPages)
{
    lw::test::TempHome home;
    const QString folder = home.File("notices"); // missing: the printer creates it
    auto printer = NoticePrinterFactoryQt(folder, {}).Create();
    const QString first = QStringLiteral("subject: 会議室の予約について\r\nfrom: \"山田 太郎\" <yamada@example.jp>\r\n"
                                         "body: 明日の会議は第二会議室で行います。\r\nよろしくお願いします。\r\nnofile:\r\n");
    QString longText = QStringLiteral("subject: 長文テスト\r\nbody: ");
    for (int line = 1; line <= 300; ++line) longText += QStringLiteral("行%1 です\r\n").arg(line, 3, 10, QLatin1Char('0'));
    // One line far wider than the page, without any blank to break at.
    const QString wide = QStringLiteral("W").repeated(150) + QStringLiteral("漢").repeated(80) + "END";
    longText += wide + "\r\n\tTAB\r\n";
    QString error;
    ASSERT_TRUE(printer->Print(first, "first.eml", error)) << error.toStdString();
    ASSERT_TRUE(printer->Print("subject: Invoice 4711\r\nfrom: billing@example.com\r\n", "second.eml", error));
    ASSERT_TRUE(printer->Print(longText, "long", error));

    const QString a = PdfText(folder + "/first.eml.pdf");
    for (const QString& part : {QStringLiteral("メール通知書"), QStringLiteral("subject: 会議室の予約について"),
                                QStringLiteral("from: \"山田 太郎\" <yamada@example.jp>"),
                                QStringLiteral("明日の会議は第二会議室で行います。"), QStringLiteral("nofile:")})
        EXPECT_TRUE(a.contains(part)) << part.toStdString() << "\n" << a.toStdString();
    EXPECT_TRUE(Squeeze(a).contains("1/1")); // the footer
    EXPECT_LT(a.indexOf("subject:"), a.indexOf("from:"));
    EXPECT_LT(a.indexOf(QStringLiteral("よろしくお願いします。")), a.indexOf("nofile:"));
    // The reused report holds only the message of each print.
    const QString b = PdfText(folder + "/second.eml.pdf");
    EXPECT_FALSE(a.contains("Invoice"));
    EXPECT_TRUE(b.contains("subject: Invoice 4711")) << b.toStdString();
    EXPECT_FALSE(b.contains(QStringLiteral("会議")));
    for (const char* pdf : {"/first.eml.pdf", "/second.eml.pdf"}) {
        EXPECT_EQ(PdfInfo(folder + pdf, "Pages"), "1");
        EXPECT_TRUE(PdfInfo(folder + pdf, "Page size").contains("(A4)"));
        EXPECT_TRUE(PdfInfo(folder + pdf, "Page size").startsWith("595")) << "not portrait";
    }

    const int pages = PdfInfo(folder + "/long.pdf", "Pages").toInt();
    EXPECT_GE(pages, 4);
    const QString text = PdfText(folder + "/long.pdf");
    for (const char* line : {"行001です", "行150です", "行300です"})
        EXPECT_TRUE(Squeeze(text).contains(QString::fromUtf8(line))) << line;
    EXPECT_TRUE(Squeeze(text).contains(wide)) << "the wide line lost characters";
    EXPECT_TRUE(Squeeze(text).contains(QStringLiteral("%1/%1").arg(pages)));
    EXPECT_EQ(text.count(QStringLiteral("メール通知書")), 1) << "the title is on the first page only";
}

TEST(NoticeReport, FailuresAreReportedNeverSilent)
{
    lw::test::TempHome home;
    QFile blocker(home.File("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ASSERT_TRUE(QDir().mkpath(home.File("pdf/m2.pdf")));
    // A folder that cannot be created (a file is in the way); a PDF with a folder in its place.
    for (const auto& [folder, id] : {std::pair{home.File("blocker/sub"), "m1"}, std::pair{home.File("pdf"), "m2"}}) {
        QString error;
        EXPECT_FALSE(lw::ui::CycleNoticePrinter(folder).Print("body: x\r\n", id, error)) << id;
        EXPECT_FALSE(error.isEmpty()) << id;
    }

    // Without a printer and without a folder to fall back on, nothing pretends to print.
    if (!lw::ui::HasDefaultPrinter()) {
        QString error;
        EXPECT_FALSE(NoticePrinterFactoryQt(QString(), [] { return QString(); }).Create()->Print("body: x\r\n", "m3", error));
        EXPECT_FALSE(error.isEmpty());

        const QString fallback = home.File("mail/print");
        auto pdfPrinter = NoticePrinterFactoryQt(QString(), [&] { return fallback; }).Create();
        ASSERT_TRUE(pdfPrinter->Print(QStringLiteral("body: 印刷\r\n"), "m4", error));
        EXPECT_TRUE(PdfText(fallback + "/m4.pdf").contains(QStringLiteral("body: 印刷")));
    }
}

} // namespace
