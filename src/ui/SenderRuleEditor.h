#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTableView;

namespace lw::ui {

class SenderRuleModel;

// The per-sender list editor "送信者別の詳細設定リスト": the rules of tblList in a grid and one rule
// in an edit area, with register, delete and a picker of senders already received. It holds the
// shared list database connection from its creation until it closes.
class SenderRuleEditor : public QDialog {
    Q_OBJECT
public:
    // Opens programFolder/listName (".db" added) and shows its rules; a database that cannot be
    // opened is reported and leaves the grid empty.
    SenderRuleEditor(const QString& programFolder, const QString& listName, QWidget* parent = nullptr);
    ~SenderRuleEditor() override;

    // Copies the grid's current row into the edit area; empties it when there is none.
    void LoadSenderRuleFields();
    // Asks, then adds or updates the rule of address (trimmed) from the edit area. True on
    // success or when the operator declines; false after reporting the database's refusal.
    [[nodiscard]] bool SaveSenderRule(const QString& address);
    // Asks, then deletes the rule of address (trimmed); a failure is only logged.
    void DeleteSenderRule(const QString& address);

    void done(int result) override;

private:
    void BuildUi();
    void Refresh();
    void OnRegister();
    void OnDelete();
    void OnReference();
    void OnEditRefused(const QString& message);

    QString m_programFolder;
    QString m_listName;
    SenderRuleModel* m_model = nullptr;
    QTableView* m_ruleGrid = nullptr;
    QLineEdit* m_addressField = nullptr;
    QLineEdit* m_nameField = nullptr;
    QLineEdit* m_forwardToField = nullptr;
    QLineEdit* m_forwardCcField = nullptr;
    QLineEdit* m_forwardBccField = nullptr;
    QCheckBox* m_printCheck = nullptr;
    QCheckBox* m_saveCheck = nullptr;
    QCheckBox* m_clearCheck = nullptr;
    QCheckBox* m_logCheck = nullptr;
    QCheckBox* m_rejectCheck = nullptr;
    QCheckBox* m_forwardCheck = nullptr;
    bool m_closed = false;
    bool m_keepFields = false;
};

} // namespace lw::ui
