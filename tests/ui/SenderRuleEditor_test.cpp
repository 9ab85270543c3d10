#include "ui/SenderRuleEditor.h"

#include "store/ListDatabase.h"
#include "ui/SenderRuleModel.h"
#include "ui/UiTest.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTableView>

#include <memory>

namespace lw::ui {
namespace {

class SenderRuleEditorTest : public test::ListTest {
protected:
    void TearDown() override
    {
        m_form.reset();
        ListTest::TearDown();
    }

    // Every rule as {address, name, flags, to, cc, bcc} in address order; flags are the six yes/no
    // columns (print, save, clear, log, reject, forward) as 0/1 digits.
    QList<QStringList> Rules() const
    {
        QList<QStringList> rules;
        for (const QSqlRecord& row : test::Peek(m_home.File("list.db")).Rows(
                 "SELECT アドレス, ifnull(名前, ''), 印刷 || メール保存 || ボックスクリア || ログ出力 || 受信拒否 || メール転送, "
                 "ifnull(転送先TO, ''), ifnull(転送先CC, ''), ifnull(転送先BCC, '') FROM tblList ORDER BY アドレス")) {
            QStringList& fields = rules.emplace_back();
            for (int i = 0; i < 6; ++i) fields << row.value(i).toString();
        }
        return rules;
    }
    void Open()
    {
        m_form = std::make_unique<SenderRuleEditor>(m_home.Folder(), QStringLiteral(" list "));
        m_form->show();
    }
    template <typename T> T* Child(const char* name) const { return test::Find<T>(*m_form, name); }
    QString T(const char* name) const { return Child<QLineEdit>(name)->text(); }
    void SetText(const char* name, const QString& text) const { Child<QLineEdit>(name)->setText(text); }
    void Answer(MessageBox::Answer answer, const char* button) const
    {
        MessageBox::SetNextAnswer(answer);
        test::Click(*m_form, button);
    }
    // The edit area as {address, name, flags, to, cc, bcc}, flags as in Rules().
    static constexpr const char* kBoxes[] = {"chkPrt", "chkSav", "chkClr", "chkLog", "chkRfs", "chkTrs"};
    QStringList Fields() const
    {
        QString boxes;
        for (const char* name : kBoxes) boxes += Child<QCheckBox>(name)->isChecked() ? u'1' : u'0';
        return {T("txtAcc"), T("txtNam"), boxes, T("txtTo"), T("txtCc"), T("txtBcc")};
    }
    void SetFields(const QStringList& f) const
    {
        const char* const texts[] = {"txtAcc", "txtNam", nullptr, "txtTo", "txtCc", "txtBcc"};
        for (int i = 0; i < 6; ++i) {
            Child<QCheckBox>(kBoxes[i])->setChecked(f.at(2).at(i) == u'1');
            if (texts[i]) SetText(texts[i], f.at(i));
        }
    }
    QTableView* Grid() const { return Child<QTableView>("DBGrid1"); }
    SenderRuleModel* Model() const { return qobject_cast<SenderRuleModel*>(Grid()->model()); }
    QString Cell(int row, int column) const { return Model()->index(row, column).data().toString(); }

    std::unique_ptr<SenderRuleEditor> m_form;
};

TEST_F(SenderRuleEditorTest, RegisterAddsThenUpdatesTheTrimmedAddressAndReportsARefusal)
{
    Open();
    SetFields(QStringList{"  Taro@Example.jp ", " 山田 太郎 ", "100101", "a@example.jp; b@example.jp", "", ""});
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(MessageBox::Log(), QStringList{"データを登録します。よろしいですか。"});
    EXPECT_EQ(Rules(), (QList<QStringList>{{"Taro@Example.jp", " 山田 太郎 ", "100101", "a@example.jp; b@example.jp", "", ""}}));

    // Same address in other case and with blanks: the row is updated, its address kept.
    SetFields(QStringList{"taro@example.jp  ", "太郎", "011010", "", "", "boss@example.jp"});
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(Rules(), (QList<QStringList>{{"Taro@Example.jp", "太郎", "011010", "", "", "boss@example.jp"}}));
    EXPECT_EQ(T("txtAcc"), "taro@example.jp  ") << "registering keeps what the operator typed";

    // A registration the database refuses is reported with its code.
    Sql("CREATE TRIGGER refuse BEFORE INSERT ON tblList BEGIN SELECT RAISE(ABORT, 'refused'); END");
    MessageBox::ClearLog();
    SetText("txtAcc", "x@example.jp");
    for (auto answer : {MessageBox::Yes, MessageBox::Ok, MessageBox::Ok}) MessageBox::SetNextAnswer(answer);
    test::Click(*m_form, "cmdSav");
    const QString log = MessageBox::Log().join('|');
    EXPECT_TRUE(QRegularExpression("^データを登録します。よろしいですか。\\|tblモニタリングの登録に失敗しました。\n-?\\d+\\|"
                                   "データの登録に失敗しました。$").match(log).hasMatch()) << log.toStdString();
    EXPECT_EQ(Rules().size(), 1);
}

TEST_F(SenderRuleEditorTest, SelectingARowFillsTheEditAreaAndDeleteRemovesOnlyTheNamedRule)
{
    Sql("INSERT INTO tblList VALUES ('a@example.jp', '甲', 1, 0, 1, 0, 1, 0, 'to@x.jp', 'cc@x.jp', 'bcc@x'),"
        "('b@example.jp', NULL, 0, 0, 0, 0, 0, 0, NULL, NULL, NULL)");
    Open();
    EXPECT_EQ(Fields(), (QStringList{"a@example.jp", "甲", "101010", "to@x.jp", "cc@x.jp", "bcc@x"})) << "the first row is current";
    Grid()->setCurrentIndex(Model()->index(1, 3));
    EXPECT_EQ(Fields(), (QStringList{"b@example.jp", "", "000000", "", "", ""})) << "null reads as empty text";
    Grid()->setCurrentIndex(Model()->index(2, 0)); // the empty row at the end
    EXPECT_EQ(Fields(), (QStringList{"", "", "000000", "", "", ""}));

    const QList<QStringList> before = Rules();
    const auto answer = [this](const char* address, MessageBox::Answer answer, const char* button) {
        SetText("txtAcc", QString::fromUtf8(address));
        Answer(answer, button);
    };
    answer("new@example.jp", MessageBox::No, "cmdSav");
    answer("a@example.jp", MessageBox::No, "cmdDel");
    answer("   ", MessageBox::Ok, "cmdSav");
    answer("", MessageBox::Ok, "cmdDel");
    EXPECT_EQ(MessageBox::Log(), (QStringList{"データを登録します。よろしいですか。", "データを削除します。よろしいですか。",
                                              "アドレスを入力してください。", "アドレスを入力してください。"}))
        << "a declined question shows no failure";
    EXPECT_EQ(Rules(), before);

    // Without regard to case and blanks; an address without a rule is asked about, then nothing.
    answer(" A@EXAMPLE.JP ", MessageBox::Yes, "cmdDel");
    answer("nobody@example.jp", MessageBox::Yes, "cmdDel");
    EXPECT_EQ(MessageBox::Log().size(), 6);
    EXPECT_EQ(Rules(), (QList<QStringList>{{"b@example.jp", "", "000000", "", "", ""}}));
    EXPECT_EQ(Cell(0, SenderRuleModel::Address), "b@example.jp") << "the grid is refreshed";

    test::Click(*m_form, "Command2");
    EXPECT_FALSE(m_form->isVisible() || store::ListConnection().isOpen()) << "closing releases the database";
}

TEST_F(SenderRuleEditorTest, GridEditsGoToTheTableAtOnceOrAreRefused)
{
    Sql("INSERT INTO tblList (アドレス, 名前) VALUES ('a@example.jp', 'A'), ('b@example.jp', 'B')");
    Open();
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
    for (int i = 0; i < 2; ++i) MessageBox::SetNextAnswer(MessageBox::Ok);
    ASSERT_TRUE(QTest::qWaitFor([] { return MessageBox::Log().size() == 2; }, 5000)) << "both refusals shown";
    EXPECT_TRUE(MessageBox::Log().at(0).contains("UNIQUE")) << MessageBox::Log().at(0).toStdString();
    EXPECT_EQ(Cell(1, SenderRuleModel::Address) + Cell(0, SenderRuleModel::Print), "c@example.jpFalse");
    EXPECT_EQ(Rules(), (QList<QStringList>{{"a@example.jp", "エー", "000010", "", "", ""},
                                           {"c@example.jp", "B", "000000", "t@example.jp", "", ""}}));

    // A rule added on the empty last row starts with print, save and log set.
    ASSERT_TRUE(model.IsNewRow(2));
    EXPECT_TRUE(model.setData(model.index(2, SenderRuleModel::Address), " new@example.jp "));
    EXPECT_TRUE(model.rowCount() == 4 && model.IsNewRow(3));
    EXPECT_EQ(Rules().at(2), (QStringList{"new@example.jp", "", "110100", "", "", ""}));

    model.Select(store::ListConnection()); // a refresh keeps the model consistent too
}

} // namespace
} // namespace lw::ui
