#include "ui/NoticeReport.h"

#include "ui/MessageBox.h"

#include "base/PosixFile.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace lw::ui {

namespace {

const QString kTitle = QStringLiteral("メール通知書");

constexpr double kTitlePoints = 22.0;
constexpr double kBodyPoints = 10.0;
constexpr double kFooterPoints = 9.0;
constexpr double kFooterMm = 9.0;      // footer band at the foot of every page
constexpr double kTitleGapMm = 9.0;    // room under the title that holds the rules

QFont BodyFont()
{
    // Families named explicitly: under a Chinese locale Qt would pick Chinese glyph variants.
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("IPAGothic")});
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(kBodyPoints);
    return font;
}

QFont TitleFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Noto Serif CJK JP"), QStringLiteral("IPAMincho"),
                      QStringLiteral("Noto Sans CJK JP")});
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(kTitlePoints);
    font.setBold(true);
    font.setLetterSpacing(QFont::PercentageSpacing, 115);
    return font;
}

QFont FooterFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic")});
    font.setPointSizeF(kFooterPoints);
    return font;
}

double MmToPixels(double mm, int dpi)
{
    return mm / 25.4 * dpi;
}

// Lengths in text formats are in 96-dpi pixels; the layout scales them to the paint device.
double MmToFormatPixels(double mm)
{
    return MmToPixels(mm, 96);
}

// The body as lines: CR LF and lone CR end a line as LF does. The final line end of the
// buffer ends the last line and opens no empty one.
QString BodyLines(const QString& mailText)
{
    QString text = mailText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    return text;
}

} // namespace

void NoticeReport::PreparePrinter(QPrinter& printer)
{
    printer.setFullPage(false);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setPageMargins(QMarginsF(20.0, 16.0, 18.0, 12.0), QPageLayout::Millimeter);
}

bool NoticeReport::Render(QPrinter& printer, QString& error) const
{
    QPainter painter;
    if (!painter.begin(&printer)) {
        error = printer.outputFileName().isEmpty()
                    ? QStringLiteral("プリンタ[%1]を開けません。").arg(printer.printerName())
                    : QStringLiteral("ファイル[%1]を作成できません。").arg(printer.outputFileName());
        return false;
    }

    const int dpi = printer.resolution();
    const QRectF paper = printer.pageLayout().paintRectPixels(dpi);
    const double width = paper.width();
    const double footer = MmToPixels(kFooterMm, dpi);
    const double bodyHeight = paper.height() - footer;

    QTextDocument doc;
    // Without the printer as paint device the layout would use screen metrics.
    doc.documentLayout()->setPaintDevice(&printer);
    doc.setDocumentMargin(0);
    doc.setDefaultFont(BodyFont());
    QTextOption option = doc.defaultTextOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // Tab stops every eight blanks; like format lengths, the distance is given in 96-dpi pixels.
    option.setTabStopDistance(QFontMetricsF(BodyFont(), &printer).horizontalAdvance(QLatin1Char(' ')) * 8 * 96.0 / dpi);
    doc.setDefaultTextOption(option);
    doc.setPageSize(QSizeF(width, bodyHeight));

    QTextCursor cursor(&doc);
    QTextBlockFormat titleBlock;
    titleBlock.setAlignment(Qt::AlignHCenter);
    titleBlock.setBottomMargin(MmToFormatPixels(kTitleGapMm));
    QTextCharFormat titleChars;
    titleChars.setFont(TitleFont());
    cursor.setBlockFormat(titleBlock);
    cursor.insertText(kTitle, titleChars);

    QTextBlockFormat bodyBlock;
    bodyBlock.setAlignment(Qt::AlignLeft);
    QTextCharFormat bodyChars;
    bodyChars.setFont(BodyFont());
    cursor.insertBlock(bodyBlock, bodyChars);
    cursor.insertText(BodyLines(m_body), bodyChars);

    // The rules sit in the gap between the title and the first body line.
    const double bodyTop = doc.documentLayout()->blockBoundingRect(doc.begin().next()).top();
    const int pages = doc.pageCount();
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette.setColor(QPalette::Text, Qt::black);

    for (int page = 0; page < pages; ++page) {
        if (page > 0 && !printer.newPage()) {
            error = QStringLiteral("%1ページ目を開始できません。").arg(page + 1);
            painter.end();
            return false;
        }
        painter.save();
        painter.translate(0, -page * bodyHeight);
        context.clip = QRectF(0, page * bodyHeight, width, bodyHeight);
        painter.setClipRect(context.clip);
        doc.documentLayout()->draw(&painter, context);
        painter.restore();

        if (page == 0) {
            // A thick rule over a thin one under the title, as on a formal notice.
            const double y = bodyTop - MmToPixels(kTitleGapMm * 0.6, dpi);
            painter.setPen(QPen(Qt::black, MmToPixels(0.6, dpi)));
            painter.drawLine(QPointF(0, y), QPointF(width, y));
            const double y2 = y + MmToPixels(1.0, dpi);
            painter.setPen(QPen(Qt::black, MmToPixels(0.2, dpi)));
            painter.drawLine(QPointF(0, y2), QPointF(width, y2));
        }

        painter.setPen(Qt::black);
        painter.setFont(FooterFont());
        painter.drawText(QRectF(0, bodyHeight, width, footer), Qt::AlignHCenter | Qt::AlignBottom,
                         QStringLiteral("%1 / %2").arg(page + 1).arg(pages));
    }
    if (!painter.end() || printer.printerState() == QPrinter::Error) {
        error = QStringLiteral("印刷を完了できません。");
        return false;
    }
    return true;
}

bool NoticeReport::WritePdf(const QString& path, QString& error) const
{
    // The notice shows the mail: its file is made owner-only before the printer writes into it
    // (the printer keeps the mode of a file that exists).
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate, QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        error = QStringLiteral("ファイル[%1]を作成できません。").arg(path);
        return false;
    }
    file.close();
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    printer.setDocName(kTitle);
    printer.setCreator(QStringLiteral("LarchWatcher"));
    PreparePrinter(printer);
    return Render(printer, error);
}

bool NoticeReport::PrintOnDefaultPrinter(const QString& jobName, QString& error) const
{
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) {
        error = QStringLiteral("プリンタがインストールされていません。");
        return false;
    }
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setDocName(jobName.isEmpty() ? kTitle : jobName);
    PreparePrinter(printer);
    return Render(printer, error);
}

void NoticeReport::Preview(QWidget* parent) const
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(kTitle);
    PreparePrinter(printer);
    QPrintPreviewDialog dialog(&printer, parent);
    dialog.setWindowTitle(kTitle);
    dialog.resize(820, 940);
    // Without a printer the print dialog offers a PDF file: the operator is told where the notice
    // went, or why it did not and what to do.
    bool failed = false;
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog, [this, &dialog, &failed](QPrinter* target) {
        QString error;
        if (Render(*target, error)) return;
        failed = true;
        const QString advice = target->outputFileName().isEmpty()
                                   ? QStringLiteral("プリンタの電源と接続を確かめて、もう一度印刷してください。")
                                   : QStringLiteral("書き込めるフォルダとファイル名を指定して、もう一度印刷してください。");
        MessageBox::Information(&dialog, error + QStringLiteral("\r\n") + advice);
    });
    if (dialog.exec() != QDialog::Accepted || failed) return;
    const QString file = printer.outputFileName();
    if (printer.outputFormat() == QPrinter::PdfFormat && !file.isEmpty() && QFileInfo(file).isFile())
        MessageBox::Information(parent, QStringLiteral("メール通知書をPDFファイルに出力しました。\r\n") +
                                            QDir::toNativeSeparators(file));
}

bool HasDefaultPrinter()
{
    return !QPrinterInfo::defaultPrinter().isNull();
}

QString NoticePdfPath(const QString& folder, const QString& baseName)
{
    const QString name = baseName.isEmpty() ? QStringLiteral("notice") : baseName;
    return QDir(folder).filePath(name + QStringLiteral(".pdf"));
}

base::Status CycleNoticePrinter::Print(const QString& mailText, const QString& baseName)
{
    // Each notice replaces the previous body, so one notice never carries another's text.
    m_report.SetBody(mailText);
    m_fallbackFile.clear();
    QString error;
    if (m_pdfFolder.isEmpty()) {
        if (m_report.PrintOnDefaultPrinter(baseName, error)) return {};
        return base::Fail(error);
    }
    if (!base::MakeOwnerOnlyFolders(QFile::encodeName(m_pdfFolder).toStdString()))
        return base::Fail(QStringLiteral("フォルダ[%1]を作成できません。").arg(m_pdfFolder));
    const QString path = NoticePdfPath(m_pdfFolder, baseName);
    if (!m_report.WritePdf(path, error)) return base::Fail(error);
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() == 0)
        return base::Fail(QStringLiteral("ファイル[%1]が作成されていません。").arg(path));
    if (m_noPrinter) m_fallbackFile = path;
    return {};
}

std::unique_ptr<engine::NoticePrinter> NoticePrinterFactoryQt::Create()
{
    if (!m_printTo.isEmpty()) return std::make_unique<CycleNoticePrinter>(m_printTo);
    if (HasDefaultPrinter()) return std::make_unique<CycleNoticePrinter>(QString());
    // No printer: a notice is still kept, as a PDF the operator can print later.
    return std::make_unique<CycleNoticePrinter>(m_noPrinterFolder ? m_noPrinterFolder() : QString(), true);
}

} // namespace lw::ui
