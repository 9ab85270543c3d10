#pragma once

// Controls the modal windows build alike.

#include <QString>

class QAbstractItemModel;
class QPushButton;
class QTableView;
class QWidget;

namespace lw::ui {

// A named push button that never becomes the dialog's default: Enter in a field must not press it.
QPushButton* DialogButton(const QString& name, const QString& caption, QWidget* parent);

// Makes a small dialog wide enough for its title beside the window manager's buttons, so the
// title is never cut short.
void FitTitle(QWidget* dialog);

// A named, read-only grid over model that selects one whole row at a time, rows one line high.
QTableView* RowPickerGrid(const QString& name, QAbstractItemModel* model, QWidget* parent);

} // namespace lw::ui
