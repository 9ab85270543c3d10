#pragma once

#include <QSqlDatabase>
#include <QSqlQueryModel>
#include <QVariantList>

namespace lw::ui {

// The rows of tblList in address order for the rule editor's grid, fetched as the view scrolls.
// Cell edits are written to the database at once; a refused edit leaves the row as it was and
// emits editRefused. Once every row is fetched, an empty row at the end takes a new address and
// adds a rule with print, save and log set and the other flags cleared.
class SenderRuleModel : public QSqlQueryModel {
    Q_OBJECT
public:
    enum Column { Address, Name, Print, Save, Clear, Log, Reject, Forward, To, Cc, Bcc, ColumnCount };

    explicit SenderRuleModel(QObject* parent = nullptr);

    // Runs the query again on db; edits and added rows then come from the table itself.
    void Select(const QSqlDatabase& db);
    // Drops the query so that the connection can be closed.
    void Release();

    // The values of one row by Column (flags as bool); empty for the empty last row.
    QVariantList RowValues(int row) const;
    // True for the empty row at the end that takes a new address.
    bool IsNewRow(int row) const;
    // The row holding address (same case-insensitive match as the table), -1 when none;
    // fetches as far as needed.
    int FindRow(const QString& address);

    // Whether a column holds a yes/no flag; the largest number of characters a text column takes.
    static bool IsFlag(int column);
    static int MaxLength(int column);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void fetchMore(const QModelIndex& parent = {}) override;

signals:
    // The database (or the model's own check) refused an edit; message says why.
    void editRefused(const QString& message);

private:
    int QueryRows() const { return QSqlQueryModel::rowCount(); }
    void AddNewRowIfAllFetched();
    bool AddRule(int row, const QString& address);
    bool UpdateCell(int row, int column, const QVariant& value);

    QSqlDatabase m_db;
    QHash<int, QVariantList> m_edited;  // rows of the query changed since it ran
    QList<QVariantList> m_added;        // rules added in the grid since the query ran
    bool m_newRow = false;
    bool m_selecting = false;
};

} // namespace lw::ui
