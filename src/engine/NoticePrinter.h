#pragma once

#include "base/Result.h"

#include <QString>

#include <memory>

namespace lw::engine {

// Prints the mail notice of one message. One printer serves one poll cycle and is reused for
// every notice of that cycle.
class NoticePrinter {
public:
    virtual ~NoticePrinter() = default;
    // Lays out mailText as a notice and prints it without a dialog; the reason when nothing was
    // printed (no printer, PDF not writable, ...).
    virtual base::Status Print(const QString& mailText, const QString& baseName) = 0;
    // The PDF file the last notice became because no printer is installed; empty when it went
    // to a printer or to a folder the operator chose for notices.
    virtual QString FallbackFile() const { return {}; }
};

// Makes the printer of a cycle; supplied by the window layer, absent in tests that do not print.
class NoticePrinterFactory {
public:
    virtual ~NoticePrinterFactory() = default;
    virtual std::unique_ptr<NoticePrinter> Create() = 0;
};

} // namespace lw::engine
