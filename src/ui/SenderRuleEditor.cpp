#include "ui/SenderRuleEditor.h"

#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "ui/DialogParts.h"
#include "ui/SenderRuleModel.h"
#include "ui/SenderPicker.h"
#include "ui/MessageBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>
#include <QtDebug>

namespace lw::ui {

namespace {

// Grid editors: True/False for the flags, length-limited text for the rest.
class RuleDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (SenderRuleModel::IsFlag(index.column())) {
            auto* combo = new QComboBox(parent);
            combo->addItems({QStringLiteral("True"), QStringLiteral("False")});
            return combo;
        }
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            line->setMaxLength(SenderRuleModel::MaxLength(index.column()));
            if (index.column() != SenderRuleModel::Name) line->setAttribute(Qt::WA_InputMethodEnabled, false);
        }
        return editor;
    }
};

// An address-like field: plain ASCII input, no input method.
QLineEdit* AddressField(const QString& name, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(255);
    edit->setAttribute(Qt::WA_InputMethodEnabled, false);
    edit->setInputMethodHints(Qt::ImhLatinOnly | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    return edit;
}

QCheckBox* Check(const QString& name, const QString& caption, QWidget* parent)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    return box;
}

// Only the value 1 counts as set.
bool IsSet(const QCheckBox* box)
{
    return box->checkState() == Qt::Checked;
}

} // namespace

SenderRuleEditor::SenderRuleEditor(const QString& programFolder, const QString& listName, QWidget* parent)
    : QDialog(parent), m_programFolder(programFolder), m_listName(base::TrimSpaces(listName))
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("送信者別の詳細設定リスト"));
    BuildUi();

    if (const base::Status opened = store::OpenListDatabase(m_programFolder, m_listName); !opened)
        MessageBox::Information(this, QStringLiteral("リストデータベースを開けません。") + u'\n' + opened.ErrorText());
    Refresh();
    if (m_model->rowCount() > 0) m_ruleGrid->setCurrentIndex(m_model->index(0, 0));
    LoadSenderRuleFields();
}

SenderRuleEditor::~SenderRuleEditor()
{
    if (!m_closed) {
        m_model->Release();
        store::CloseListDatabase();
    }
}

void SenderRuleEditor::BuildUi()
{
    m_model = new SenderRuleModel(this);
    connect(m_model, &SenderRuleModel::editRefused, this, &SenderRuleEditor::OnEditRefused, Qt::QueuedConnection);

    m_ruleGrid = new QTableView(this);
    m_ruleGrid->setObjectName(QStringLiteral("DBGrid1"));
    m_ruleGrid->setModel(m_model);
    m_ruleGrid->setItemDelegate(new RuleDelegate(m_ruleGrid));
    m_ruleGrid->setSelectionBehavior(QAbstractItemView::SelectItems);
    m_ruleGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_ruleGrid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::AnyKeyPressed);
    m_ruleGrid->verticalHeader()->setDefaultSectionSize(m_ruleGrid->fontMetrics().height() + 8);
    m_ruleGrid->horizontalHeader()->setStretchLastSection(true);
    m_ruleGrid->setMinimumHeight(220);
    connect(m_ruleGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex& previous) {
                if (current.row() != previous.row() && !m_keepFields) LoadSenderRuleFields();
            });

    m_addressField = AddressField(QStringLiteral("txtAcc"), this);
    m_nameField = new QLineEdit(this);
    m_nameField->setObjectName(QStringLiteral("txtNam"));
    m_nameField->setMaxLength(127);
    m_forwardToField = AddressField(QStringLiteral("txtTo"), this);
    m_forwardCcField = AddressField(QStringLiteral("txtCc"), this);
    m_forwardBccField = AddressField(QStringLiteral("txtBcc"), this);

    m_printCheck = Check(QStringLiteral("chkPrt"), QStringLiteral("メールを印刷する"), this);
    m_saveCheck = Check(QStringLiteral("chkSav"), QStringLiteral("メールを保存する"), this);
    m_clearCheck = Check(QStringLiteral("chkClr"), QStringLiteral("メールボックスをクリアする"), this);
    m_logCheck = Check(QStringLiteral("chkLog"), QStringLiteral("ログを出力する"), this);
    m_rejectCheck = Check(QStringLiteral("chkRfs"), QStringLiteral("受信を拒否する"), this);
    m_forwardCheck = Check(QStringLiteral("chkTrs"), QStringLiteral("メールを転送する"), this);

    auto* registerButton = DialogButton(QStringLiteral("cmdSav"), QStringLiteral("登録する"), this);
    auto* deleteButton = DialogButton(QStringLiteral("cmdDel"), QStringLiteral("削除する"), this);
    auto* pickSenderButton = DialogButton(QStringLiteral("cmdRef"), QStringLiteral("参照"), this);
    pickSenderButton->setToolTip(QStringLiteral("送信者アドレス参照"));
    auto* closeButton = DialogButton(QStringLiteral("Command2"), QStringLiteral("終了"), this);
    connect(registerButton, &QPushButton::clicked, this, &SenderRuleEditor::OnRegister);
    connect(deleteButton, &QPushButton::clicked, this, &SenderRuleEditor::OnDelete);
    connect(pickSenderButton, &QPushButton::clicked, this, &SenderRuleEditor::OnReference);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* fields = new QGridLayout;
    const auto label = [this](const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setBuddy(buddy);
        return l;
    };
    fields->addWidget(label(QStringLiteral("送信者メールアドレス"), m_addressField), 0, 0);
    fields->addWidget(m_addressField, 0, 1, 1, 2);
    fields->addWidget(pickSenderButton, 0, 3);
    fields->addWidget(label(QStringLiteral("送信者名"), m_nameField), 1, 0);
    fields->addWidget(m_nameField, 1, 1, 1, 2);

    auto* checks = new QGridLayout;
    checks->addWidget(m_printCheck, 0, 0);
    checks->addWidget(m_saveCheck, 0, 1);
    checks->addWidget(m_clearCheck, 0, 2);
    checks->addWidget(m_logCheck, 1, 0);
    checks->addWidget(m_rejectCheck, 1, 1);
    checks->addWidget(m_forwardCheck, 1, 2);
    fields->addLayout(checks, 2, 1, 1, 3);

    fields->addWidget(label(QStringLiteral("転送先アドレス　　TO"), m_forwardToField), 3, 0);
    fields->addWidget(m_forwardToField, 3, 1, 1, 2);
    fields->addWidget(label(QStringLiteral("CC"), m_forwardCcField), 4, 0, Qt::AlignRight);
    fields->addWidget(m_forwardCcField, 4, 1, 1, 2);
    fields->addWidget(label(QStringLiteral("BCC"), m_forwardBccField), 5, 0, Qt::AlignRight);
    fields->addWidget(m_forwardBccField, 5, 1, 1, 2);
    fields->addWidget(new QLabel(QStringLiteral("※複数指定の場合はコロン(;)、スペースで区切る"), this), 6, 1, 1, 3);
    fields->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(registerButton);
    buttons->addWidget(deleteButton);
    buttons->addStretch(1);
    buttons->addWidget(closeButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_ruleGrid, 1);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    resize(1010, 620);
}

void SenderRuleEditor::Refresh()
{
    // The widths the operator set survive the new query; the first query gets the defaults.
    QList<int> widths = {190, 120, 48, 48, 48, 48, 48, 48, 120, 120, 120};
    if (m_model->columnCount() == SenderRuleModel::ColumnCount)
        for (int c = 0; c < SenderRuleModel::ColumnCount; ++c) widths[c] = m_ruleGrid->columnWidth(c);
    m_model->Select(store::ListConnection());
    for (int c = 0; c < SenderRuleModel::ColumnCount && c < m_model->columnCount(); ++c)
        m_ruleGrid->setColumnWidth(c, widths[c]);
}

void SenderRuleEditor::LoadSenderRuleFields()
{
    const QVariantList values = m_model->RowValues(m_ruleGrid->currentIndex().row());
    const auto text = [&](int column) { return values.isEmpty() ? QString() : values.at(column).toString(); };
    const auto flag = [&](int column) {
        return !values.isEmpty() && values.at(column).toBool() ? Qt::Checked : Qt::Unchecked;
    };
    m_addressField->setText(text(SenderRuleModel::Address));
    m_nameField->setText(text(SenderRuleModel::Name));
    m_forwardToField->setText(text(SenderRuleModel::To));
    m_forwardCcField->setText(text(SenderRuleModel::Cc));
    m_forwardBccField->setText(text(SenderRuleModel::Bcc));
    m_printCheck->setCheckState(flag(SenderRuleModel::Print));
    m_saveCheck->setCheckState(flag(SenderRuleModel::Save));
    m_clearCheck->setCheckState(flag(SenderRuleModel::Clear));
    m_logCheck->setCheckState(flag(SenderRuleModel::Log));
    m_rejectCheck->setCheckState(flag(SenderRuleModel::Reject));
    m_forwardCheck->setCheckState(flag(SenderRuleModel::Forward));
}

bool SenderRuleEditor::SaveSenderRule(const QString& address)
{
    if (!MessageBox::Question(this, QStringLiteral("データを登録します。よろしいですか。"))) return true;

    const QString key = base::TrimSpaces(address);
    QSqlDatabase db = store::ListConnection();
    const auto fail = [this](const QSqlError& error) {
        const QString code =
            error.nativeErrorCode().isEmpty() ? QString::number(static_cast<int>(error.type())) : error.nativeErrorCode();
        qWarning().noquote() << "tblList:" << error.text();
        MessageBox::Information(this, QStringLiteral("tblモニタリングの登録に失敗しました。") + u'\n' + code);
        return false;
    };
    if (!db.isOpen()) {
        const QSqlError closed(QString(), QStringLiteral("the list database is not open"), QSqlError::ConnectionError,
                               QStringLiteral("-1"));
        return fail(db.lastError().isValid() ? db.lastError() : closed);
    }

    QSqlQuery seek(db);
    seek.prepare(QStringLiteral("SELECT アドレス FROM tblList WHERE アドレス = ?"));
    seek.addBindValue(key);
    if (!seek.exec()) return fail(seek.lastError());
    const bool exists = seek.next();
    seek.finish();

    const QVariantList values = {m_nameField->text(),         IsSet(m_printCheck) ? 1 : 0,
                                 IsSet(m_saveCheck) ? 1 : 0,  IsSet(m_clearCheck) ? 1 : 0,
                                 IsSet(m_logCheck) ? 1 : 0,   IsSet(m_rejectCheck) ? 1 : 0,
                                 IsSet(m_forwardCheck) ? 1 : 0, m_forwardToField->text(),
                                 m_forwardCcField->text(),    m_forwardBccField->text()};
    QSqlQuery write(db);
    if (exists) {
        write.prepare(QStringLiteral("UPDATE tblList SET 名前 = ?, 印刷 = ?, メール保存 = ?, ボックスクリア = ?, "
                                     "ログ出力 = ?, 受信拒否 = ?, メール転送 = ?, 転送先TO = ?, 転送先CC = ?, "
                                     "転送先BCC = ? WHERE アドレス = ?"));
        for (const QVariant& value : values) write.addBindValue(value);
        write.addBindValue(key);
    } else {
        write.prepare(QStringLiteral("INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, ボックスクリア, ログ出力, "
                                     "受信拒否, メール転送, 転送先TO, 転送先CC, 転送先BCC) "
                                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        write.addBindValue(key);
        for (const QVariant& value : values) write.addBindValue(value);
    }
    if (!write.exec()) return fail(write.lastError());
    return true;
}

void SenderRuleEditor::DeleteSenderRule(const QString& address)
{
    if (!MessageBox::Question(this, QStringLiteral("データを削除します。よろしいですか。"))) return;
    QSqlQuery query(store::ListConnection());
    query.prepare(QStringLiteral("DELETE FROM tblList WHERE アドレス = ?"));
    query.addBindValue(base::TrimSpaces(address));
    // A failed delete is not the operator's to handle; the grid shows what the table holds.
    if (!query.exec()) qWarning().noquote() << "tblList delete:" << query.lastError().text();
}

void SenderRuleEditor::OnRegister()
{
    const QString address = m_addressField->text();
    if (base::TrimSpaces(address).isEmpty()) {
        MessageBox::Information(this, QStringLiteral("アドレスを入力してください。"));
        return;
    }
    if (!SaveSenderRule(address)) MessageBox::Information(this, QStringLiteral("データの登録に失敗しました。"));
    Refresh();
    // Show the rule as the current row; the edit area keeps what the operator typed.
    const int row = m_model->FindRow(base::TrimSpaces(address));
    if (row >= 0) {
        m_keepFields = true;
        m_ruleGrid->setCurrentIndex(m_model->index(row, 0));
        m_ruleGrid->scrollTo(m_model->index(row, 0));
        m_keepFields = false;
    }
}

void SenderRuleEditor::OnDelete()
{
    const QString address = m_addressField->text();
    if (base::TrimSpaces(address).isEmpty()) {
        MessageBox::Information(this, QStringLiteral("アドレスを入力してください。"));
        return;
    }
    DeleteSenderRule(address);
    Refresh();
}

void SenderRuleEditor::OnReference()
{
    SenderPicker picker(m_programFolder, m_listName, m_addressField, m_nameField, this);
    picker.exec();
}

void SenderRuleEditor::OnEditRefused(const QString& message)
{
    MessageBox::Information(this, message);
}

void SenderRuleEditor::done(int result)
{
    if (!m_closed) {
        m_closed = true;
        m_model->Release();
        store::CloseListDatabase();
    }
    QDialog::done(result);
}

} // namespace lw::ui
