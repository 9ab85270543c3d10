#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;
class QSqlQueryModel;
class QTableView;

namespace lw::ui {

// The sender reference picker "送信者アドレス参照": every distinct sender of the receipt history
// with its greatest display name; "OK" writes the taken address and name into the editor's
// fields, "キャンセル" writes nothing. It opens the shared connection and leaves it open.
class SenderPicker : public QDialog {
    Q_OBJECT
public:
    // targetAddress and targetName are the editor's fields that "OK" fills.
    SenderPicker(const QString& programFolder, const QString& listName, QLineEdit* targetAddress,
              QLineEdit* targetName, QWidget* parent = nullptr);
    ~SenderPicker() override;

    // Opens the list database and lists the senders; empties the address field.
    void LoadSenderList();

private:
    void OnCurrentRowChanged();
    void OnGet();
    void OnOk();

    QString m_programFolder;
    QString m_listName;
    QLineEdit* m_targetAddress;
    QLineEdit* m_targetName;
    QSqlQueryModel* m_model = nullptr;
    QTableView* m_senderGrid = nullptr;
    QLineEdit* m_addressField = nullptr;
    QLineEdit* m_nameField = nullptr;
    QPushButton* m_takeSenderButton = nullptr;
};

} // namespace lw::ui
