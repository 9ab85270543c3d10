#include "ui/SenderRuleModel.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <array>
#include <optional>

namespace lw::ui {

namespace {

// Column names in display order; fixed texts, never operator input.
const std::array<QString, SenderRuleModel::ColumnCount> kColumns = {
    QStringLiteral("アドレス"), QStringLiteral("名前"),     QStringLiteral("印刷"),
    QStringLiteral("メール保存"), QStringLiteral("ボックスクリア"), QStringLiteral("ログ出力"),
    QStringLiteral("受信拒否"), QStringLiteral("メール転送"), QStringLiteral("転送先TO"),
    QStringLiteral("転送先CC"), QStringLiteral("転送先BCC")};

const std::array<QString, SenderRuleModel::ColumnCount> kHeadings = {
    QStringLiteral("メールアドレス"), QStringLiteral("名前"),   QStringLiteral("印刷"),
    QStringLiteral("保存"),           QStringLiteral("クリア"), QStringLiteral("ログ"),
    QStringLiteral("拒否"),           QStringLiteral("転送"),   QStringLiteral("転送先TO"),
    QStringLiteral("転送先CC"),       QStringLiteral("転送先BCC")};

// Flags of a rule added in the grid: print, save and log on.
const std::array<bool, SenderRuleModel::ColumnCount> kNewRowFlags = {false, false, true,  true,  false, true,
                                                                       false, false, false, false, false};

QString FlagText(bool flag)
{
    return flag ? QStringLiteral("True") : QStringLiteral("False");
}

// A yes/no value typed or chosen in the grid; nullopt when it is neither.
std::optional<bool> ParseFlag(const QVariant& value)
{
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    const QString text = value.toString().trimmed();
    if (text.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0 || text == u"1" || text == u"-1")
        return true;
    if (text.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0 || text == u"0") return false;
    return std::nullopt;
}

QString SelectSql()
{
    QStringList quoted;
    for (const QString& column : kColumns) quoted << u'"' + column + u'"';
    return QStringLiteral("SELECT %1 FROM tblList ORDER BY アドレス").arg(quoted.join(QStringLiteral(", ")));
}

} // namespace

SenderRuleModel::SenderRuleModel(QObject* parent) : QSqlQueryModel(parent) {}

bool SenderRuleModel::IsFlag(int column)
{
    return column >= Print && column <= Forward;
}

int SenderRuleModel::MaxLength(int column)
{
    return column == Name ? 127 : 255;
}

void SenderRuleModel::Select(const QSqlDatabase& db)
{
    beginResetModel();
    m_db = db;
    m_edited.clear();
    m_added.clear();
    m_newRow = false;
    m_selecting = true;
    QSqlQuery query(db);
    query.exec(SelectSql());
    setQuery(std::move(query));
    m_selecting = false;
    for (int c = 0; c < ColumnCount; ++c) setHeaderData(c, Qt::Horizontal, kHeadings[static_cast<std::size_t>(c)]);
    m_newRow = lastError().type() == QSqlError::NoError && !canFetchMore();
    endResetModel();
}

void SenderRuleModel::Release()
{
    beginResetModel();
    m_edited.clear();
    m_added.clear();
    m_newRow = false;
    clear();
    m_db = QSqlDatabase();
    endResetModel();
}

int SenderRuleModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid()) return 0;
    return QueryRows() + static_cast<int>(m_added.size()) + (m_newRow ? 1 : 0);
}

void SenderRuleModel::fetchMore(const QModelIndex& parent)
{
    if (parent.isValid()) return;
    QSqlQueryModel::fetchMore(parent);
    if (!m_selecting) AddNewRowIfAllFetched();
}

void SenderRuleModel::AddNewRowIfAllFetched()
{
    if (m_newRow || canFetchMore() || !m_db.isValid()) return;
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_newRow = true;
    endInsertRows();
}

bool SenderRuleModel::IsNewRow(int row) const
{
    return m_newRow && row == rowCount() - 1;
}

QVariantList SenderRuleModel::RowValues(int row) const
{
    if (row < 0 || row >= rowCount() || IsNewRow(row)) return {};
    if (row >= QueryRows()) return m_added.at(row - QueryRows());
    const auto edited = m_edited.constFind(row);
    if (edited != m_edited.constEnd()) return *edited;
    // The query's own values: record() would come back through data().
    QVariantList values;
    for (int c = 0; c < ColumnCount; ++c) {
        const QVariant value = QSqlQueryModel::data(index(row, c), Qt::DisplayRole);
        // Null reads as the empty text or as false.
        values << (IsFlag(c) ? QVariant(!value.isNull() && value.toInt() != 0) : QVariant(store::ReadText(value)));
    }
    return values;
}

QVariant SenderRuleModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() >= ColumnCount) return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
    const QVariantList values = RowValues(index.row());
    if (values.isEmpty()) return QString();
    const QVariant& value = values.at(index.column());
    return IsFlag(index.column()) ? QVariant(FlagText(value.toBool())) : value;
}

QVariant SenderRuleModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    // The empty row for a new rule is marked as such, not numbered.
    if (orientation == Qt::Vertical && role == Qt::DisplayRole) {
        if (section < 0 || section >= rowCount()) return {};
        return IsNewRow(section) ? QVariant(QStringLiteral("*")) : QVariant(section + 1);
    }
    return QSqlQueryModel::headerData(section, orientation, role);
}

Qt::ItemFlags SenderRuleModel::flags(const QModelIndex& index) const
{
    if (!index.isValid()) return Qt::NoItemFlags;
    const Qt::ItemFlags base = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (IsNewRow(index.row()) && index.column() != Address) return base;
    return base | Qt::ItemIsEditable;
}

bool SenderRuleModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.column() >= ColumnCount) return false;
    const int row = index.row();
    const int column = index.column();
    if (IsNewRow(row)) {
        if (column != Address) return false;
        const QString address = base::TrimSpaces(value.toString());
        if (address.isEmpty()) return false;  // nothing typed: the empty row stays empty
        return AddRule(row, address);
    }
    QVariant stored = value;
    if (IsFlag(column)) {
        const std::optional<bool> flag = ParseFlag(value);
        if (!flag) {
            emit editRefused(QStringLiteral("True または False を入力してください。"));
            return false;
        }
        stored = *flag;
    } else {
        QString text = value.toString();
        if (column == Address) text = base::TrimSpaces(text);
        if (column == Address && text.isEmpty()) {
            emit editRefused(QStringLiteral("アドレスを入力してください。"));
            return false;
        }
        if (text.size() > MaxLength(column)) {
            emit editRefused(QStringLiteral("%1文字以内で入力してください。").arg(MaxLength(column)));
            return false;
        }
        stored = text;
    }
    if (RowValues(row).at(column) == stored) return true;
    return UpdateCell(row, column, stored);
}

bool SenderRuleModel::AddRule(int row, const QString& address)
{
    QVariantList values;
    for (int c = 0; c < ColumnCount; ++c)
        values << (IsFlag(c) ? QVariant(kNewRowFlags[static_cast<std::size_t>(c)]) : QVariant(QString()));
    values[Address] = address;

    QStringList names;
    QStringList marks;
    for (int c = 0; c < ColumnCount; ++c) {
        names << u'"' + kColumns[static_cast<std::size_t>(c)] + u'"';
        marks << QStringLiteral("?");
    }
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO tblList (%1) VALUES (%2)")
                       .arg(names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", "))));
    for (const QVariant& value : values)
        insert.addBindValue(value.typeId() == QMetaType::Bool ? QVariant(value.toBool() ? 1 : 0) : value);
    if (!insert.exec()) {
        emit editRefused(insert.lastError().text());
        return false;
    }
    // The new rule goes in just before the empty row, which stays last.
    beginInsertRows({}, row, row);
    m_added.append(values);
    endInsertRows();
    return true;
}

bool SenderRuleModel::UpdateCell(int row, int column, const QVariant& value)
{
    QVariantList values = RowValues(row);
    QSqlQuery update(m_db);
    update.prepare(QStringLiteral("UPDATE tblList SET \"%1\" = ? WHERE アドレス = ?")
                       .arg(kColumns[static_cast<std::size_t>(column)]));
    update.addBindValue(value.typeId() == QMetaType::Bool ? QVariant(value.toBool() ? 1 : 0) : value);
    update.addBindValue(values.at(Address));
    if (!update.exec()) {
        emit editRefused(update.lastError().text());
        return false;
    }
    if (update.numRowsAffected() != 1) {
        emit editRefused(QStringLiteral("[%1] はリストにありません。").arg(values.at(Address).toString()));
        return false;
    }
    values[column] = value;
    if (row >= QueryRows()) m_added[row - QueryRows()] = values;
    else m_edited.insert(row, values);
    emit dataChanged(index(row, column), index(row, column));
    return true;
}

int SenderRuleModel::FindRow(const QString& address)
{
    const auto same = [&](int row) {
        const QVariantList values = RowValues(row);
        return !values.isEmpty() && values.at(Address).toString().compare(address, Qt::CaseInsensitive) == 0;
    };
    for (int i = 0; i < m_added.size(); ++i)
        if (same(QueryRows() + i)) return QueryRows() + i;
    // The rows before it in the grid's order are the rows that sort before it in the table.
    QSqlQuery count(m_db);
    count.prepare(QStringLiteral("SELECT COUNT(*) FROM tblList WHERE アドレス < ?"));
    count.addBindValue(address);
    if (!count.exec() || !count.next()) return -1;
    const int rank = count.value(0).toInt();
    while (QueryRows() <= rank && canFetchMore()) fetchMore();
    if (rank < QueryRows() && same(rank)) return rank;
    for (int row = 0; row < QueryRows(); ++row)
        if (same(row)) return row;
    return -1;
}

} // namespace lw::ui
