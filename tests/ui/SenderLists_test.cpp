// The per-sender rule editor and the sender picker on a list database made from the template.
#include "ui/SenderRuleEditor.h"

#include "store/ListDatabase.h"
#include "ui/SenderPicker.h"
#include "ui/SenderRuleModel.h"
#include "ui/UiTest.h"

#include <QAbstractItemModelTester>

namespace lw::ui {
namespace {

using Rule = QString; // "address|name|flags|to|cc|bcc"

class SenderListsTest : public test::ListTest {
  protected:
    void TearDown() override
    {
        m_dialog.reset();
        store::CloseListDatabase();
        ListTest::TearDown();
    }

    // Every rule in address order; flags are the six yes/no columns (print, save, clear, log,
    // reject, forward) as 0/1 digits.
    QList<Rule> Rules() const
    {
        return Sql(
            "SELECT printf('%s|%s|%s%s%s%s%s%s|%s|%s|%s', アドレス, 名前, 印刷, メール保存, ボックスクリア, "
            "ログ出力, 受信拒否, メール転送, 転送先TO, 転送先CC, 転送先BCC) FROM tblList ORDER BY アドレス");
    }
    void OpenEditor()
    {
        m_dialog = std::make_unique<SenderRuleEditor>(m_home.Folder(), " list ");
        m_dialog->show();
    }
    template <typename T> T* Child(const char* name) const { return test::Find<T>(*m_dialog, name); }
    QString T(const char* name) const { return Child<QLineEdit>(name)->text(); }
    void SetText(const char* name, const QString& text) const { Child<QLineEdit>(name)->setText(text); }
    void Answer(MessageBox::Answer answer, const char* button, const char* address = nullptr) const
    {
        if (address) SetText("txtAcc", QString::fromUtf8(address));
        MessageBox::SetNextAnswer(answer);
        test::Click(*m_dialog, button);
    }
    // The editor's edit area, as a rule.
    static constexpr const char* kBoxes[] = {"chkPrt", "chkSav", "chkClr", "chkLog", "chkRfs", "chkTrs"};
    Rule Fields() const
    {
        QString boxes;
        for (const char* name : kBoxes)
            boxes += Child<QCheckBox>(name)->isChecked() ? u'1' : u'0';
        return QStringList{T("txtAcc"), T("txtNam"), boxes, T("txtTo"), T("txtCc"), T("txtBcc")}.join(u'|');
    }
    void SetFields(const Rule& rule) const
    {
        const QStringList parts = rule.split(u'|');
        const char* const texts[] = {"txtAcc", "txtNam", nullptr, "txtTo", "txtCc", "txtBcc"};
        for (int i = 0; i < 6; ++i) {
            Child<QCheckBox>(kBoxes[i])->setChecked(parts.at(2).at(i) == u'1');
            if (texts[i]) SetText(texts[i], parts.at(i));
        }
    }
    QTableView* Grid(const char* name = "DBGrid1") const { return Child<QTableView>(name); }
    SenderRuleModel* Model() const { return qobject_cast<SenderRuleModel*>(Grid()->model()); }
    QString Cell(int row, int column) const { return Model()->index(row, column).data().toString(); }

    void OpenPicker()
    {
        m_dialog = std::make_unique<SenderPicker>(m_home.Folder(), "list", &m_address, &m_name);
        m_dialog->show();
    }
    // The picker's rows as "name|address".
    QStringList Senders() const
    {
        const QAbstractItemModel* model = Grid("frmAdrList")->model();
        QStringList rows;
        for (int r = 0; r < model->rowCount(); ++r)
            rows << model->index(r, 0).data().toString() + u'|' + model->index(r, 1).data().toString();
        return rows;
    }
    // Takes the row into the picker's own fields; their texts as "address|name".
    QString Pick(int row, int column)
    {
        Grid("frmAdrList")->setCurrentIndex(Grid("frmAdrList")->model()->index(row, column));
        test::Click(*m_dialog, "cmdGet");
        return T("txtAdr") + u'|' + T("txtNam");
    }
    // The picker's caller's fields as "address|name".
    QString Caller() const { return m_address.text() + u'|' + m_name.text(); }

    QLineEdit m_address{"before@example.jp"};
    QLineEdit m_name{"前"};
    std::unique_ptr<QDialog> m_dialog;
};

TEST_F(SenderListsTest, RegisterAddsThenUpdatesTheTrimmedAddressAndReportsARefusal)
{
    OpenEditor();
    SetFields("  Taro@Example.jp | 山田 太郎 |100101|a@example.jp; b@example.jp||");
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(Rules(), QList<Rule>{"Taro@Example.jp| 山田 太郎 |100101|a@example.jp; b@example.jp||"});

    // Same address in other case and with blanks: the row is updated, its address kept.
    SetFields("taro@example.jp  |太郎|011010|||boss@example.jp");
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(Rules(), QList<Rule>{"Taro@Example.jp|太郎|011010|||boss@example.jp"});
    EXPECT_EQ(T("txtAcc"), "taro@example.jp  ") << "registering keeps what the operator typed";

    // A registration the database refuses is reported with its code.
    Sql("CREATE TRIGGER refuse BEFORE INSERT ON tblList BEGIN SELECT RAISE(ABORT, 'refused'); END");
    MessageBox::ClearLog();
    SetText("txtAcc", "x@example.jp");
    for (auto answer : {MessageBox::Yes, MessageBox::Ok, MessageBox::Ok})
        MessageBox::SetNextAnswer(answer);
    test::Click(*m_dialog, "cmdSav");
    const QRegularExpression told(
        "^データを登録します。よろしいですか。\\|tblモニタリングの登録に失敗しました。\n-?\\d+"
        "\\|データの登録に失敗しました。$");
    EXPECT_TRUE(told.match(MessageBox::Log().join('|')).hasMatch()) << MessageBox::Log();
    EXPECT_EQ(Rules().size(), 1);
}

TEST_F(SenderListsTest, SelectingARowFillsTheEditAreaAndDeleteRemovesOnlyTheNamedRule)
{
    Sql("INSERT INTO tblList VALUES ('a@example.jp', '甲', 1, 0, 1, 0, 1, 0, 'to@x.jp', 'cc@x.jp', 'bcc@x'),"
        "('b@example.jp', NULL, 0, 0, 0, 0, 0, 0, NULL, NULL, NULL)");
    OpenEditor();
    EXPECT_EQ(Fields(), "a@example.jp|甲|101010|to@x.jp|cc@x.jp|bcc@x") << "the first row";
    Grid()->setCurrentIndex(Model()->index(1, 3));
    EXPECT_EQ(Fields(), "b@example.jp||000000|||") << "null reads as empty text";
    Grid()->setCurrentIndex(Model()->index(2, 0)); // the empty row at the end
    EXPECT_EQ(Fields(), "||000000|||");

    const QList<Rule> before = Rules();
    Answer(MessageBox::No, "cmdSav", "new@example.jp");
    Answer(MessageBox::No, "cmdDel", "a@example.jp");
    Answer(MessageBox::Ok, "cmdSav", "   ");
    Answer(MessageBox::Ok, "cmdDel", "");
    EXPECT_EQ(MessageBox::Log(),
              (QStringList{"データを登録します。よろしいですか。", "データを削除します。よろしいですか。",
                           "アドレスを入力してください。", "アドレスを入力してください。"}))
        << "a declined question shows no failure";
    EXPECT_EQ(Rules(), before);

    // Without regard to case and blanks; an address without a rule is asked about, then nothing.
    Answer(MessageBox::Yes, "cmdDel", " A@EXAMPLE.JP ");
    Answer(MessageBox::Yes, "cmdDel", "nobody@example.jp");
    EXPECT_EQ(Rules(), QList<Rule>{"b@example.jp||000000|||"});
    EXPECT_EQ(Cell(0, SenderRuleModel::Address), "b@example.jp") << "the grid is refreshed";

    test::Click(*m_dialog, "Command2");
    EXPECT_FALSE(m_dialog->isVisible() || store::ListConnection().isOpen()) << "closing frees the database";
}

TEST_F(SenderListsTest, GridEditsGoToTheTableAtOnceOrAreRefused)
{
    Sql("INSERT INTO tblList (アドレス, 名前) VALUES ('a@example.jp', 'A'), ('b@example.jp', 'B')");
    OpenEditor();
    QAbstractItemModelTester tester(Model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    SenderRuleModel& model = *Model();

    EXPECT_TRUE(model.setData(model.index(0, SenderRuleModel::Name), "エー"));
    EXPECT_TRUE(model.setData(model.index(0, SenderRuleModel::Reject), "True"));
    EXPECT_TRUE(model.setData(model.index(1, SenderRuleModel::Address), "c@example.jp"));
    EXPECT_TRUE(model.setData(model.index(1, SenderRuleModel::To), "t@example.jp")) << "after the address";

    // The database refuses a second rule for one address, the model a flag that is no flag: message,
    // row unchanged; the edits before are in the table.
    EXPECT_FALSE(model.setData(model.index(1, SenderRuleModel::Address), "A@example.jp"));
    EXPECT_FALSE(model.setData(model.index(0, SenderRuleModel::Print), "maybe"));
    MessageBox::SetNextAnswer(MessageBox::Ok);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    ASSERT_TRUE(QTest::qWaitFor([] { return MessageBox::Log().size() == 2; }, 5000)) << "both refusals shown";
    EXPECT_TRUE(MessageBox::Log().at(0).contains("UNIQUE")) << MessageBox::Log();
    EXPECT_EQ(Cell(1, SenderRuleModel::Address), "c@example.jp");
    EXPECT_EQ(Cell(0, SenderRuleModel::Print), "False");
    EXPECT_EQ(Rules(), (QList<Rule>{"a@example.jp|エー|000010|||", "c@example.jp|B|000000|t@example.jp||"}));

    // A rule added on the empty last row starts with print, save and log set.
    EXPECT_TRUE(model.setData(model.index(2, SenderRuleModel::Address), " new@example.jp "));
    EXPECT_TRUE(model.rowCount() == 4 && model.IsNewRow(3));
    EXPECT_EQ(Rules().value(2), "new@example.jp||110100|||");

    model.Select(store::ListConnection()); // a refresh keeps the model consistent too
}

TEST_F(SenderListsTest, PickerListsEachSenderOnceTakesARowAndOkOrCancelFillsTheCaller)
{
    Sql("INSERT INTO tblHistory (保存ファイルID, 送信アドレス, 送信アドレス名) VALUES "
        "('m1', 'a@example.jp', ''), ('m2', 'c@example.jp', 'シー'), ('m3', 'a@example.jp', 'エー'), "
        "('m4', 'b@example.jp', NULL), ('m5', 'c@example.jp', 'シー')");
    OpenPicker();
    test::Click(*m_dialog, "cmdCan");
    EXPECT_EQ(Caller(), "before@example.jp|前") << "cancel keeps";
    OpenPicker();
    EXPECT_EQ(Senders(), (QStringList{"シー|c@example.jp", "|b@example.jp", "エー|a@example.jp"}));
    test::Click(*m_dialog, "cmdOK");
    EXPECT_EQ(Caller(), "|") << "OK without a pick empties";

    OpenPicker();
    EXPECT_FALSE(Child<QPushButton>("cmdGet")->isEnabled()) << "no row chosen yet";
    EXPECT_EQ(Pick(2, 0), "a@example.jp|エー");
    EXPECT_EQ(Pick(1, 1), "b@example.jp|") << "a sender without a name";
    SetText("txtNam", "  ビー  ");
    SetText("txtAdr", " b@example.jp ");
    test::Click(*m_dialog, "cmdOK");
    EXPECT_EQ(Caller(), "b@example.jp|ビー");
    EXPECT_FALSE(m_dialog->isVisible());
}

} // namespace
} // namespace lw::ui
