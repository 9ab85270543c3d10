#include "ui/Form2.h"

#include "store/ListDatabase.h"
#include "ui/Form2Model.h"
#include "ui/MessageBox.h"
#include "ui/UiTest.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

#include <memory>

namespace lw::ui {
namespace {

class Form2Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::UseProgramFont();
        MessageBox::ClearLog();
        test::CopyTemplateDatabase(m_home.File("list.db"));
    }
    void TearDown() override
    {
        m_form.reset();
        EXPECT_EQ(MessageBox::PendingAnswers(), 0) << "an expected question was not asked";
        MessageBox::ClearLog();
    }

    QStringList Sql(const QString& sql) { return test::Sql(m_home.File("list.db"), sql); }
    // Every rule as "address|name|flags|to|cc|bcc" in address order.
    QStringList Rules()
    {
        return Sql("SELECT アドレス || '|' || ifnull(名前, '') || '|' || 印刷 || メール保存 || ボックスクリア || "
                   "ログ出力 || 受信拒否 || メール転送 || '|' || ifnull(転送先TO, '') || '|' || ifnull(転送先CC, '') || "
                   "'|' || ifnull(転送先BCC, '') FROM tblList ORDER BY アドレス");
    }

    void Open()
    {
        m_form = std::make_unique<Form2>(m_home.Folder(), QStringLiteral(" list "));
        m_form->show();
    }
    template <typename T> T* Child(const char* name) const { return test::Find<T>(*m_form, name); }
    QString Text(const char* name) const { return Child<QLineEdit>(name)->text(); }
    void SetText(const char* name, const QString& text) const { Child<QLineEdit>(name)->setText(text); }
    void Click(const char* name) const { test::Click(*m_form, name); }
    // Answers the question that the button asks.
    void Answer(MessageBox::Answer answer, const char* button) const
    {
        MessageBox::SetNextAnswer(answer);
        Click(button);
    }
    static constexpr const char* kBoxes[] = {"chkPrt", "chkSav", "chkClr", "chkLog", "chkRfs", "chkTrs"};
    QString Boxes() const
    {
        QString boxes;
        for (const char* name : kBoxes) boxes += Child<QCheckBox>(name)->isChecked() ? u'1' : u'0';
        return boxes;
    }
    void SetBoxes(const QString& boxes) const
    {
        for (int i = 0; i < 6; ++i) Child<QCheckBox>(kBoxes[i])->setChecked(boxes.at(i) == u'1');
    }
    QTableView* Grid() const { return Child<QTableView>("DBGrid1"); }
    SenderRuleModel* Model() const { return qobject_cast<SenderRuleModel*>(Grid()->model()); }
    QString Cell(int row, int column) const { return Model()->index(row, column).data().toString(); }

    test::TempHome m_home;
    std::unique_ptr<Form2> m_form;
};

TEST_F(Form2Test, RegisterAddsThenUpdatesTheTrimmedAddressAndReportsARefusal)
{
    Open();
    SetText("txtAcc", "  Taro@Example.jp ");
    SetText("txtNam", " 山田 太郎 ");
    SetBoxes("100101");
    SetText("txtTo", "a@example.jp; b@example.jp");
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(MessageBox::Log(), QStringList{"データを登録します。よろしいですか。"});
    EXPECT_EQ(Rules(), QStringList{"Taro@Example.jp| 山田 太郎 |100101|a@example.jp; b@example.jp||"});
    EXPECT_EQ(Cell(0, SenderRuleModel::Address) + Cell(0, SenderRuleModel::Print) + Cell(0, SenderRuleModel::Save),
              "Taro@Example.jpTrueFalse");

    // Same address in other case and with blanks: the row is updated, its address kept.
    SetText("txtAcc", "taro@example.jp  ");
    SetText("txtNam", "太郎");
    SetBoxes("011010");
    SetText("txtTo", "");
    SetText("txtBcc", "boss@example.jp");
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(Rules(), QStringList{"Taro@Example.jp|太郎|011010|||boss@example.jp"});
    EXPECT_EQ(Text("txtAcc"), "taro@example.jp  ") << "registering keeps what the operator typed";

    // A registration the database refuses is reported with its code.
    Sql("CREATE TRIGGER refuse BEFORE INSERT ON tblList BEGIN SELECT RAISE(ABORT, 'refused'); END");
    MessageBox::ClearLog();
    SetText("txtAcc", "x@example.jp");
    for (MessageBox::Answer answer : {MessageBox::Yes, MessageBox::Ok, MessageBox::Ok}) MessageBox::SetNextAnswer(answer);
    Click("cmdSav");
    ASSERT_EQ(MessageBox::Log().size(), 3);
    EXPECT_TRUE(MessageBox::Log().at(1).startsWith("tblモニタリングの登録に失敗しました。\n"));
    bool numeric = false;
    MessageBox::Log().at(1).section(u'\n', 1).toInt(&numeric);
    EXPECT_TRUE(numeric) << MessageBox::Log().at(1).toStdString();
    EXPECT_EQ(MessageBox::Log().at(2), "データの登録に失敗しました。");
    EXPECT_EQ(Rules().size(), 1);
}

TEST_F(Form2Test, DeleteRemovesOnlyTheNamedRuleAndDeclinedQuestionsChangeNothing)
{
    Sql("INSERT INTO tblList (アドレス) VALUES ('a@example.jp'), ('b@example.jp')");
    Open();
    ASSERT_EQ(Model()->rowCount(), 3); // two rules and the empty row for a new one
    const QStringList before = Rules();
    const auto answer = [this](const char* address, MessageBox::Answer answer, const char* button) {
        SetText("txtAcc", QString::fromUtf8(address));
        Answer(answer, button);
    };
    answer("new@example.jp", MessageBox::No, "cmdSav");
    answer("a@example.jp", MessageBox::No, "cmdDel");
    EXPECT_EQ(MessageBox::Log(), (QStringList{"データを登録します。よろしいですか。", "データを削除します。よろしいですか。"}))
        << "a declined question shows no failure";
    answer("   ", MessageBox::Ok, "cmdSav");
    answer("", MessageBox::Ok, "cmdDel");
    EXPECT_EQ(MessageBox::Log().mid(2), (QStringList{"アドレスを入力してください。", "アドレスを入力してください。"}));
    EXPECT_EQ(Rules(), before);

    // Without regard to case and blanks; an address without a rule is asked about, then nothing.
    answer(" A@EXAMPLE.JP ", MessageBox::Yes, "cmdDel");
    answer("nobody@example.jp", MessageBox::Yes, "cmdDel");
    EXPECT_EQ(MessageBox::Log().size(), 6);
    EXPECT_EQ(Rules(), QStringList{"b@example.jp||000000|||"});
    EXPECT_EQ(Cell(0, SenderRuleModel::Address), "b@example.jp") << "the grid is refreshed";
}

TEST_F(Form2Test, CaptionsLimitsAndSelectingARowFillsTheEditArea)
{
    Sql("INSERT INTO tblList VALUES ('a@example.jp', '甲', 1, 0, 1, 0, 1, 0, 'to@x.jp', 'cc@x.jp', 'bcc@x.jp'), "
        "('b@example.jp', NULL, 0, 0, 0, 0, 0, 0, NULL, NULL, NULL)");
    Open();
    EXPECT_EQ(m_form->windowTitle(), "送信者別の詳細設定リスト");
    QStringList headings;
    for (int c = 0; c < Model()->columnCount(); ++c) headings << Model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(headings, (QStringList{"メールアドレス", "名前", "印刷", "保存", "クリア", "ログ", "拒否", "転送",
                                     "転送先TO", "転送先CC", "転送先BCC"}));
    for (const char* name : {"txtAcc", "txtTo", "txtCc", "txtBcc"}) EXPECT_EQ(Child<QLineEdit>(name)->maxLength(), 255);
    EXPECT_EQ(Child<QLineEdit>("txtNam")->maxLength(), 127);
    EXPECT_EQ(Child<QPushButton>("cmdRef")->toolTip(), "送信者アドレス参照");
    test::ExpectNoCaptionCutOff(*m_form);

    const auto fields = [this] {
        return QStringList{Text("txtAcc"), Text("txtNam"), Boxes(), Text("txtTo"), Text("txtCc"), Text("txtBcc")}.join(u'|');
    };
    EXPECT_EQ(fields(), "a@example.jp|甲|101010|to@x.jp|cc@x.jp|bcc@x.jp") << "the first row is current on opening";
    Grid()->setCurrentIndex(Model()->index(1, 3));
    EXPECT_EQ(fields(), "b@example.jp||000000|||") << "null reads as empty text";
    Grid()->setCurrentIndex(Model()->index(2, 0)); // the empty row at the end
    EXPECT_EQ(fields(), "||000000|||");
}

TEST_F(Form2Test, GridEditsGoToTheTableAtOnceOrAreRefused)
{
    Sql("INSERT INTO tblList (アドレス, 名前) VALUES ('a@example.jp', 'A'), ('b@example.jp', 'B')");
    Open();
    QAbstractItemModelTester tester(Model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    SenderRuleModel& model = *Model();

    EXPECT_TRUE(model.setData(model.index(0, SenderRuleModel::Name), "エー"));
    EXPECT_TRUE(model.setData(model.index(0, SenderRuleModel::Reject), "True"));
    EXPECT_TRUE(model.setData(model.index(1, SenderRuleModel::Address), "c@example.jp"));
    EXPECT_EQ(Rules(), (QStringList{"a@example.jp|エー|000010|||", "c@example.jp|B|000000|||"}));
    EXPECT_EQ(Cell(0, SenderRuleModel::Reject), "True");
    EXPECT_TRUE(model.setData(model.index(1, SenderRuleModel::To), "t@example.jp")) << "edits follow a changed address";
    EXPECT_EQ(Rules().at(1), "c@example.jp|B|000000|t@example.jp||");

    // The database refuses a second rule for one address: message, row unchanged.
    EXPECT_FALSE(model.setData(model.index(1, SenderRuleModel::Address), "A@example.jp"));
    EXPECT_FALSE(model.setData(model.index(0, SenderRuleModel::Print), "maybe"));
    MessageBox::SetNextAnswer(MessageBox::Ok);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    ASSERT_TRUE(QTest::qWaitFor([] { return MessageBox::Log().size() == 2; }, 5000)) << "both refusals shown";
    EXPECT_TRUE(MessageBox::Log().at(0).contains("UNIQUE")) << MessageBox::Log().at(0).toStdString();
    EXPECT_EQ(Cell(1, SenderRuleModel::Address), "c@example.jp");
    EXPECT_EQ(Cell(0, SenderRuleModel::Print), "False");
    EXPECT_EQ(Rules(), (QStringList{"a@example.jp|エー|000010|||", "c@example.jp|B|000000|t@example.jp||"}));

    // A rule added on the empty last row starts with print, save and log set.
    ASSERT_TRUE(model.IsNewRow(2));
    EXPECT_FALSE(model.flags(model.index(2, SenderRuleModel::Name)) & Qt::ItemIsEditable);
    EXPECT_TRUE(model.setData(model.index(2, SenderRuleModel::Address), " new@example.jp "));
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_TRUE(model.IsNewRow(3));
    EXPECT_EQ(Cell(2, SenderRuleModel::Print) + Cell(2, SenderRuleModel::Clear), "TrueFalse");
    EXPECT_TRUE(model.setData(model.index(2, SenderRuleModel::Name), "新"));
    EXPECT_EQ(Rules().at(2), "new@example.jp|新|110100|||");

    model.Select(store::ListConnection()); // a refresh keeps the model consistent too
}

TEST_F(Form2Test, OpensLargeListsLazilyAndCloseReleasesTheConnection)
{
    Sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
        "INSERT INTO tblList (アドレス, 名前, 印刷) SELECT 'user' || i || '@example.jp', 'name' || i, 1 FROM n");
    QElapsedTimer timer;
    timer.start();
    Open();
    QApplication::processEvents();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_LT(Model()->rowCount(), 100000) << "rows are fetched as the grid scrolls, not all at once";
    EXPECT_EQ(Text("txtAcc"), "user100000@example.jp");

    // Registering near the end finds the row after the refresh.
    SetText("txtAcc", "user99999@example.jp");
    Answer(MessageBox::Yes, "cmdSav");
    EXPECT_EQ(Cell(Grid()->currentIndex().row(), SenderRuleModel::Address), "user99999@example.jp");

    Click("Command2");
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_FALSE(store::ListConnection().isOpen());
}

} // namespace
} // namespace lw::ui
