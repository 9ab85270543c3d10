#include "ui/SenderPicker.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "ui/DialogParts.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTableView>
#include <QVBoxLayout>
#include <QtDebug>

namespace lw::ui {

namespace {

// Name first, as the grid shows it; one row per sender, newest-looking addresses first.
const QString kSendersSql = QStringLiteral(
    "SELECT Max(送信アドレス名) AS 送信アドレス名の最大, 送信アドレス FROM tblHistory "
    "GROUP BY 送信アドレス ORDER BY 送信アドレス DESC");

QLineEdit* Field(const QString& name, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(255);
    return edit;
}

} // namespace

SenderPicker::SenderPicker(const QString& programFolder, const QString& listName, QLineEdit* targetAddress,
                     QLineEdit* targetName, QWidget* parent)
    : QDialog(parent),
      m_programFolder(programFolder),
      m_listName(base::TrimSpaces(listName)),
      m_targetAddress(targetAddress),
      m_targetName(targetName)
{
    setObjectName(QStringLiteral("frmRefAdr"));
    setWindowTitle(QStringLiteral("送信者アドレス参照"));

    m_model = new QSqlQueryModel(this);
    m_senderGrid = RowPickerGrid(QStringLiteral("frmAdrList"), m_model, this);
    m_senderGrid->horizontalHeader()->setStretchLastSection(true);
    m_senderGrid->setMinimumWidth(420);
    connect(m_senderGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &SenderPicker::OnCurrentRowChanged);

    m_addressField = Field(QStringLiteral("txtAdr"), this);
    m_nameField = Field(QStringLiteral("txtNam"), this);
    m_takeSenderButton = DialogButton(QStringLiteral("cmdGet"), QStringLiteral("送信者アドレス->"), this);
    auto* okButton = DialogButton(QStringLiteral("cmdOK"), QStringLiteral("OK"), this);
    auto* cancelButton = DialogButton(QStringLiteral("cmdCan"), QStringLiteral("キャンセル"), this);
    connect(m_takeSenderButton, &QPushButton::clicked, this, &SenderPicker::OnGet);
    connect(okButton, &QPushButton::clicked, this, &SenderPicker::OnOk);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(QStringLiteral("アドレス"), this), 0, 0);
    fields->addWidget(m_addressField, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("名前"), this), 1, 0);
    fields->addWidget(m_nameField, 1, 1);
    fields->setColumnMinimumWidth(1, 240);

    auto* right = new QVBoxLayout;
    right->addWidget(m_takeSenderButton, 0, Qt::AlignLeft);
    right->addLayout(fields);
    right->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);
    right->addLayout(buttons);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_senderGrid, 1);
    layout->addLayout(right);
    resize(820, 420);

    LoadSenderList();
    m_takeSenderButton->setEnabled(false);
}

SenderPicker::~SenderPicker()
{
    // The connection stays open for the editor; only this dialog's query goes.
    m_model->clear();
}

void SenderPicker::LoadSenderList()
{
    if (const base::Status opened = store::OpenListDatabase(m_programFolder, m_listName); !opened) {
        // No messages of its own: an unreadable history shows as an empty list.
        qWarning().noquote() << "frmRefAdr:" << opened.ErrorText();
        m_model->clear();
    } else {
        QSqlQuery query(store::ListConnection());
        if (!query.exec(kSendersSql)) qWarning().noquote() << "frmRefAdr:" << query.lastError().text();
        m_model->setQuery(std::move(query));
        m_model->setHeaderData(0, Qt::Horizontal, QStringLiteral("名前"));
        m_model->setHeaderData(1, Qt::Horizontal, QStringLiteral("アドレス"));
        m_senderGrid->setColumnWidth(0, 160);
    }
    m_addressField->clear();
}

void SenderPicker::OnCurrentRowChanged()
{
    m_takeSenderButton->setEnabled(m_senderGrid->currentIndex().isValid());
}

void SenderPicker::OnGet()
{
    const int row = m_senderGrid->currentIndex().row();
    if (row < 0) {
        m_addressField->clear();
        m_nameField->clear();
        return;
    }
    m_addressField->setText(store::ReadText(m_model->index(row, 1).data()));
    m_nameField->setText(store::ReadText(m_model->index(row, 0).data()));
}

void SenderPicker::OnOk()
{
    if (m_targetAddress) m_targetAddress->setText(base::TrimSpaces(m_addressField->text()));
    if (m_targetName) m_targetName->setText(base::TrimSpaces(m_nameField->text()));
    accept();
}

} // namespace lw::ui
