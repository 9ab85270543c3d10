#include "ui/DialogParts.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>

namespace lw::ui {

QPushButton* DialogButton(const QString& name, const QString& caption, QWidget* parent)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

void FitTitle(QWidget* dialog)
{
    // The frame's buttons and icon are the window manager's; eight wide letters leave room for them.
    const QFontMetrics metrics = dialog->fontMetrics();
    dialog->setMinimumWidth(metrics.horizontalAdvance(dialog->windowTitle()) + 8 * metrics.horizontalAdvance(QLatin1Char('M')));
}

QTableView* RowPickerGrid(const QString& name, QAbstractItemModel* model, QWidget* parent)
{
    auto* grid = new QTableView(parent);
    grid->setObjectName(name);
    grid->setModel(model);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 8);
    return grid;
}

} // namespace lw::ui
