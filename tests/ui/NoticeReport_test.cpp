// The mail notice as PDF, read back with poppler's command-line tools.
#include "ui/NoticeReport.h"

#include "support/TempHome.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using lw::ui::NoticePrinterFactoryQt;

QString RunTool(const QString& tool, const QStringList& args)
{
    QProcess process;
    process.start(tool, args);
    if (!process.waitForFinished(30000)) return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Text of a PDF, NFKC-normalised: the CJK font maps some kanji to Kangxi radicals.
QString PdfText(const QString& path)
{
    return RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-enc"), QStringLiteral("UTF-8"), path,
                                                  QStringLiteral("-")})
        .normalized(QString::NormalizationForm_KC);
}

int PdfPages(const QString& path)
{
    const QRegularExpression pages(QStringLiteral("Pages:\\s+(\\d+)"));
    const auto match = pages.match(RunTool(QStringLiteral("pdfinfo"), {path}));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

QString PdfPageSize(const QString& path)
{
    const QRegularExpression size(QStringLiteral("Page size:\\s+([^\\n]+)"));
    return size.match(RunTool(QStringLiteral("pdfinfo"), {path})).captured(1);
}

QString MailText(const QStringList& parts)
{
    QString text;
    for (const QString& part : parts) text += part + QStringLiteral("\r\n");
    return text;
}

QString Squeeze(QString text)
{
    return text.remove(QRegularExpression(QStringLiteral("\\s")));
}

TEST(NoticeReport, TwoNoticesOfOneCycleAreSeparateJapanesePdfsOnA4Portrait)
{
    lw::test::TempHome home;
    const QString folder = home.File(QStringLiteral("notices"));  // missing: the printer creates it
    NoticePrinterFactoryQt factory(folder, {});
    auto printer = factory.Create();

    const QString first = MailText({QStringLiteral("subject: 会議室の予約について"),
                                    QStringLiteral("from: \"山田 太郎\" <yamada@example.jp>"),
                                    QStringLiteral("date: Mon, 7 Dec 2026 09:15:00 +0900"),
                                    QStringLiteral("body: 明日の会議は第二会議室で行います。\r\nよろしくお願いします。"),
                                    QStringLiteral("nofile:")});
    const QString second = MailText({QStringLiteral("subject: Invoice 4711"),
                                     QStringLiteral("from: billing@example.com"),
                                     QStringLiteral("body: Please find the invoice attached.")});
    QString error;
    ASSERT_TRUE(printer->Print(first, QStringLiteral("first.eml"), error)) << error.toStdString();
    ASSERT_TRUE(printer->Print(second, QStringLiteral("second.eml"), error)) << error.toStdString();

    const QString firstPdf = folder + QStringLiteral("/first.eml.pdf");
    const QString secondPdf = folder + QStringLiteral("/second.eml.pdf");
    const QString a = PdfText(firstPdf);
    const QString b = PdfText(secondPdf);

    // Title, Japanese text as text (not as outlines), the keywords of the parts kept, footer.
    EXPECT_TRUE(a.contains(QStringLiteral("メール通知書"))) << a.toStdString();
    EXPECT_TRUE(a.contains(QStringLiteral("subject: 会議室の予約について"))) << a.toStdString();
    EXPECT_TRUE(a.contains(QStringLiteral("from: \"山田 太郎\" <yamada@example.jp>"))) << a.toStdString();
    EXPECT_TRUE(a.contains(QStringLiteral("明日の会議は第二会議室で行います。"))) << a.toStdString();
    EXPECT_TRUE(a.contains(QStringLiteral("nofile:")));
    EXPECT_TRUE(Squeeze(a).contains(QStringLiteral("1/1")));  // the footer
    // The parts appear in the order of the buffer.
    EXPECT_LT(a.indexOf(QStringLiteral("subject:")), a.indexOf(QStringLiteral("from:")));
    EXPECT_LT(a.indexOf(QStringLiteral("よろしくお願いします。")), a.indexOf(QStringLiteral("nofile:")));

    // The reused report holds only the message of each print.
    EXPECT_FALSE(a.contains(QStringLiteral("Invoice")));
    EXPECT_TRUE(b.contains(QStringLiteral("subject: Invoice 4711"))) << b.toStdString();
    EXPECT_TRUE(b.contains(QStringLiteral("メール通知書")));
    EXPECT_FALSE(b.contains(QStringLiteral("会議")));

    for (const QString& pdf : {firstPdf, secondPdf}) {
        EXPECT_EQ(PdfPages(pdf), 1);
        EXPECT_TRUE(PdfPageSize(pdf).contains(QStringLiteral("(A4)"))) << PdfPageSize(pdf).toStdString();
        EXPECT_TRUE(PdfPageSize(pdf).startsWith(QStringLiteral("595"))) << "not portrait";
    }
}

TEST(NoticeReport, LongTextsWrapAndRunOverNumberedPages)
{
    lw::test::TempHome home;
    QStringList parts{QStringLiteral("subject: 長文テスト")};
    QString body = QStringLiteral("body: ");
    for (int line = 1; line <= 300; ++line) body += QStringLiteral("行%1 です\r\n").arg(line, 3, 10, QLatin1Char('0'));
    // One line far wider than the page, without any blank to break at.
    const QString wide = QStringLiteral("W").repeated(150) + QStringLiteral("漢").repeated(80) + QStringLiteral("END");
    body += wide + QStringLiteral("\r\n\tTAB");
    parts << body;

    lw::ui::CycleNoticePrinter printer(home.Path());
    QString error;
    ASSERT_TRUE(printer.Print(MailText(parts), QStringLiteral("long"), error)) << error.toStdString();

    const QString pdf = home.File(QStringLiteral("long.pdf"));
    const int pages = PdfPages(pdf);
    EXPECT_GE(pages, 4);
    const QString text = PdfText(pdf);
    for (const char* line : {"行001です", "行150です", "行300です"})
        EXPECT_TRUE(Squeeze(text).contains(QString::fromUtf8(line))) << line;
    EXPECT_TRUE(Squeeze(text).contains(wide)) << "the wide line lost characters";
    EXPECT_TRUE(Squeeze(text).contains(QStringLiteral("1/%1").arg(pages)));
    EXPECT_TRUE(Squeeze(text).contains(QStringLiteral("%1/%1").arg(pages)));
    // The title is printed once, on the first page.
    EXPECT_EQ(text.count(QStringLiteral("メール通知書")), 1);
}

TEST(NoticeReport, FailuresAreReportedNeverSilent)
{
    lw::test::TempHome home;
    QFile blocker(home.File(QStringLiteral("blocker")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    // A PDF folder that cannot be created (a file is in the way).
    lw::ui::CycleNoticePrinter blocked(home.File(QStringLiteral("blocker/sub")));
    QString error;
    EXPECT_FALSE(blocked.Print(QStringLiteral("body: x\r\n"), QStringLiteral("m1"), error));
    EXPECT_FALSE(error.isEmpty());

    // A PDF that cannot be written (a folder has its name) is an error too.
    ASSERT_TRUE(QDir().mkpath(home.File(QStringLiteral("pdf/m2.pdf"))));
    lw::ui::CycleNoticePrinter denied(home.File(QStringLiteral("pdf")));
    error.clear();
    EXPECT_FALSE(denied.Print(QStringLiteral("body: x\r\n"), QStringLiteral("m2"), error));
    EXPECT_FALSE(error.isEmpty());

    // Without a printer and without a folder to fall back on, nothing pretends to print.
    if (!lw::ui::HasDefaultPrinter()) {
        NoticePrinterFactoryQt factory(QString(), [] { return QString(); });
        auto printer = factory.Create();
        error.clear();
        EXPECT_FALSE(printer->Print(QStringLiteral("body: x\r\n"), QStringLiteral("m3"), error));
        EXPECT_FALSE(error.isEmpty());

        // With the fallback folder the notice becomes a PDF there.
        const QString fallback = home.File(QStringLiteral("mail/print"));
        NoticePrinterFactoryQt withFolder(QString(), [&] { return fallback; });
        auto pdfPrinter = withFolder.Create();
        ASSERT_TRUE(pdfPrinter->Print(QStringLiteral("body: 印刷\r\n"), QStringLiteral("m4"), error));
        EXPECT_TRUE(PdfText(fallback + QStringLiteral("/m4.pdf")).contains(QStringLiteral("body: 印刷")));
    }
}

} // namespace
