#pragma once

#include "engine/NoticePrinter.h"

#include <QString>

#include <functional>
#include <memory>
#include <utility>

class QPrinter;
class QWidget;

namespace lw::ui {

// The mail notice "メール通知書": a large centred title, a rule under it, the message text in a
// font with Japanese glyphs, wrapped and spread over as many A4 portrait pages as it needs,
// with "n / m" in each page's footer.
class NoticeReport {
public:
    // Sets the body field; the text is shown as it stands (line breaks kept, nothing reformatted).
    void SetBody(const QString& mailText) { m_body = mailText; }
    const QString& Body() const { return m_body; }

    // Puts the printer on A4 portrait with the notice's margins.
    static void PreparePrinter(QPrinter& printer);
    // Lays the notice out for printer and paints every page. False with the reason when the
    // printer could not be opened or refused a page.
    [[nodiscard]] bool Render(QPrinter& printer, QString& error) const;
    // Writes the notice as a PDF file (overwritten when present).
    [[nodiscard]] bool WritePdf(const QString& path, QString& error) const;
    // Prints on the system's default printer without any dialog; jobName names the print job.
    [[nodiscard]] bool PrintOnDefaultPrinter(const QString& jobName, QString& error) const;
    // Shows the notice in a modal preview window from which the operator may print.
    void Preview(QWidget* parent) const;

private:
    QString m_body;
};

// True when the system has a default printer.
bool HasDefaultPrinter();

// The printer of one poll cycle: one report, reused for every notice of the cycle. Notices go to
// the default printer, or become PDF files named after the message in pdfFolder when a folder is
// given (created when missing). noPrinter: the folder stands in for a printer that is missing.
class CycleNoticePrinter final : public engine::NoticePrinter {
public:
  explicit CycleNoticePrinter(QString pdfFolder, bool noPrinter = false)
      : m_pdfFolder(std::move(pdfFolder)), m_noPrinter(noPrinter)
  {
  }
    base::Status Print(const QString& mailText, const QString& baseName) override;
    QString FallbackFile() const override { return m_fallbackFile; }

  private:
    QString m_pdfFolder;
    bool m_noPrinter;
    QString m_fallbackFile;
    NoticeReport m_report;
};

// Makes the printer of each cycle. printTo (the command line's --print-to) wins when not empty;
// else the default printer when there is one; else PDF files in the folder noPrinterFolder
// returns at that moment (the save folder's "print" folder, which follows the settings).
class NoticePrinterFactoryQt final : public engine::NoticePrinterFactory {
public:
    NoticePrinterFactoryQt(QString printTo, std::function<QString()> noPrinterFolder)
        : m_printTo(std::move(printTo)), m_noPrinterFolder(std::move(noPrinterFolder)) {}
    std::unique_ptr<engine::NoticePrinter> Create() override;

private:
    QString m_printTo;
    std::function<QString()> m_noPrinterFolder;
};

// The PDF file of a notice: folder + the message's base name + ".pdf".
QString NoticePdfPath(const QString& folder, const QString& baseName);

} // namespace lw::ui
