#pragma once

#include <QString>

class QWidget;

namespace lw::ui {

// How an operator's address book import ended.
enum class AddressBookImportResult {
    Cancelled,  // no file was chosen: nothing was imported
    Completed,  // the book was replaced and the completion message shown
    Failed,     // the failure (or the operator's stop) was shown; the previous book is unchanged
};

// Lets the operator choose a CSV file (starting in the program folder) and imports it into the
// list database programFolder/listName with a progress dialog and the closing message.
AddressBookImportResult ImportAddressBookInteractive(QWidget* parent, const QString& programFolder,
                                                     const QString& listName);

// Imports the chosen file with a progress dialog and the closing message.
AddressBookImportResult ImportAddressBookFile(QWidget* parent, const QString& filePath,
                                              const QString& programFolder, const QString& listName);

} // namespace lw::ui
