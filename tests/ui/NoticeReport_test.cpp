// The mail notice as PDF, read back with poppler's command-line tools.
#include "ui/NoticeReport.h"

#include "ui/UiTest.h"

#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>

namespace {

using lw::ui::MessageBox;
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
    return QRegularExpression(QString(field) + ":\\s+([^\\n]+)").match(Run("pdfinfo", {path})).captured(1);
}

// Without blanks, for text that pdftotext breaks at the page width.
QString Squeeze(QString text)
{
    return text.remove(QRegularExpression("\\s"));
}

TEST(NoticeReport, NoticesAreSeparateA4PdfsLongTextsRunOverNumberedPagesAndFailuresAreNeverSilent)
{
    lw::test::TempHome home;
    const QString folder = home.File("notices"); // missing: the printer creates it
    auto printer = NoticePrinterFactoryQt(folder, {}).Create();
    const QString first = "subject: 会議室の予約について\r\nfrom: \"山田 太郎\" <yamada@example.jp>\r\n"
                          "body: 明日の会議は第二会議室で行います。\r\nよろしくお願いします。\r\nnofile:\r\n";
    QString longText = "subject: 長文テスト\r\nbody: ";
    for (int n = 1; n <= 300; ++n)
        longText += QString("行%1 です\r\n").arg(n, 3, 10, QChar('0'));
    // One line far wider than the page, without any blank to break at.
    const QString wide = QString("W").repeated(150) + QString("漢").repeated(80) + "END";
    longText += wide + "\r\n\tTAB\r\n";
    const lw::base::Status printed = printer->Print(first, "first.eml");
    ASSERT_TRUE(printed.Ok()) << printed.ErrorText();
    ASSERT_TRUE(printer->Print("subject: Invoice 4711\r\nfrom: bill@example.com\r\n", "second.eml").Ok());
    ASSERT_TRUE(printer->Print(longText, "long").Ok());
    EXPECT_TRUE(printer->FallbackFile().isEmpty()) << "a folder chosen for notices stands in for no printer";

    const QString a = PdfText(folder + "/first.eml.pdf");
    qsizetype at = 0; // each part after the one before
    // The title, then each line of the message, the body's without its label.
    QStringList parts = QStringList{"メール通知書"} + first.split("\r\n", Qt::SkipEmptyParts);
    for (const QString& part : parts.replaceInStrings("body: ", ""))
        EXPECT_GE(at = a.indexOf(part, at), 0) << part << a;
    EXPECT_TRUE(Squeeze(a).contains("1/1")); // the footer
    // The reused report holds only the message of each print.
    const QString b = PdfText(folder + "/second.eml.pdf");
    EXPECT_TRUE(!a.contains("Invoice") && !b.contains("会議") && b.contains("subject: Invoice 4711")) << b;
    for (const char* pdf : {"/first.eml.pdf", "/second.eml.pdf"}) {
        EXPECT_EQ(PdfInfo(folder + pdf, "Pages"), "1");
        const QString size = PdfInfo(folder + pdf, "Page size");
        EXPECT_TRUE(size.contains(QRegularExpression("^595.*\\(A4\\)"))) << size; // upright
    }

    const int pages = PdfInfo(folder + "/long.pdf", "Pages").toInt();
    EXPECT_GE(pages, 4) << "300 lines and more";
    const QString text = Squeeze(PdfText(folder + "/long.pdf"));
    for (const QString& line : QStringList{"行001です", "行300です", wide, QString("%1/%1").arg(pages)})
        EXPECT_TRUE(text.contains(line)) << line;
    EXPECT_EQ(text.count("メール通知書"), 1) << "the title is on the first page only";

    // Failures are reported, never silent.
    ASSERT_TRUE(QFile(home.File("blocker")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir().mkpath(home.File("pdf/m2.pdf")));
    // A folder that cannot be created (a file is in the way); a PDF with a folder in its place.
    for (const auto& [folder, id] : {std::pair{home.File("blocker/sub"), "m1"}, {home.File("pdf"), "m2"}}) {
        const lw::base::Status printed = lw::ui::CycleNoticePrinter(folder).Print("body: x\r\n", id);
        EXPECT_FALSE(printed.Ok() || printed.ErrorText().isEmpty()) << id;
    }

    // Without a printer and without a folder to fall back on, nothing pretends to print.
    if (!lw::ui::HasDefaultPrinter()) {
        auto none = NoticePrinterFactoryQt(QString(), [] { return QString(); }).Create();
        const lw::base::Status printed = none->Print("body: x\r\n", "m3");
        EXPECT_FALSE(printed.Ok() || printed.ErrorText().isEmpty());

        const QString fallback = home.File("mail/print");
        auto pdfPrinter = NoticePrinterFactoryQt(QString(), [&] { return fallback; }).Create();
        ASSERT_TRUE(pdfPrinter->Print("body: 印刷\r\n", "m4").Ok());
        EXPECT_TRUE(PdfText(fallback + "/m4.pdf").contains("body: 印刷"));
        EXPECT_EQ(pdfPrinter->FallbackFile(), fallback + "/m4.pdf") << "where the notice went";
    }

    // The preview's print into a PDF file, as the print dialog offers it without a printer: a file
    // that cannot be written says what to do, a written one says where the notice went.
    lw::ui::NoticeReport report;
    report.SetBody("body: x\r\n");
    MessageBox::ClearLog();
    for (const QString& target : {home.File("blocker/x.pdf"), home.File("notice.pdf")}) {
        MessageBox::SetNextAnswer(MessageBox::Ok);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QPrintPreviewDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialog->printer()->setOutputFormat(QPrinter::PdfFormat);
            dialog->printer()->setOutputFileName(target);
            dialog->findChild<QPrintPreviewWidget*>()->print();
            dialog->accept();
        });
        report.Preview(nullptr);
    }
    const QString refused = "ファイル[%1]を作成できません。\r\n書き込めるフォルダとファイル名を指定して、"
                            "もう一度印刷してください。";
    EXPECT_EQ(MessageBox::Log(),
              (QStringList{refused.arg(home.File("blocker/x.pdf")),
                           "メール通知書をPDFファイルに出力しました。\r\n" + home.File("notice.pdf")}));
    EXPECT_TRUE(PdfText(home.File("notice.pdf")).contains("body: x"));
    MessageBox::ClearLog();
}

} // namespace
