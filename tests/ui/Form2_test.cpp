#include "ui/Form2.h"

#include "store/ListDatabase.h"
#include "support/TempHome.h"
#include "ui/Form2Model.h"
#include "ui/MessageBox.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace lw::ui {
namespace {

class Form2Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program's own font, so that the size checks match the real window.
        QFont font = QApplication::font();
        font.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic"), font.family()});
        QApplication::setFont(font);
        MessageBox::ClearLog();
        ASSERT_TRUE(QFile::copy(test::TemplateDatabase(), m_home.File("list.db")));
        QFile::setPermissions(m_home.File("list.db"), QFile::ReadOwner | QFile::WriteOwner);
    }
    void TearDown() override
    {
        m_form.reset();
        EXPECT_EQ(MessageBox::PendingAnswers(), 0) << "an expected question was not asked";
        MessageBox::ClearLog();
    }

    // On a connection of the test's own; the first column of the last statement's rows.
    QStringList Sql(const QStringList& statements)
    {
        QStringList rows;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "seed");
            db.setDatabaseName(m_home.File("list.db"));
            EXPECT_TRUE(db.open());
            QSqlQuery query(db);
            for (const QString& sql : statements) EXPECT_TRUE(query.exec(sql)) << sql.toStdString();
            while (query.isSelect() && query.next()) rows << query.value(0).toString();
        }
        QSqlDatabase::removeDatabase("seed");
        return rows;
    }

    // Every rule as "address|name|flags|to|cc|bcc" in address order.
    QStringList Rules()
    {
        return Sql({"SELECT アドレス || '|' || ifnull(名前, '') || '|' || 印刷 || メール保存 || ボックスクリア || "
                    "ログ出力 || 受信拒否 || メール転送 || '|' || ifnull(転送先TO, '') || '|' || ifnull(転送先CC, '') || "
                    "'|' || ifnull(転送先BCC, '') FROM tblList ORDER BY アドレス"});
    }

    Form2& Open()
    {
        m_form = std::make_unique<Form2>(m_home.Folder(), QStringLiteral(" list "));
        m_form->show();
        return *m_form;
    }
    template <typename T> T* Child(const char* name) const { return m_form->findChild<T*>(QString::fromLatin1(name)); }
    QString Text(const char* name) const { return Child<QLineEdit>(name)->text(); }
    void SetText(const char* name, const QString& text) const { Child<QLineEdit>(name)->setText(text); }
    void Click(const char* name) const { QTest::mouseClick(Child<QPushButton>(name), Qt::LeftButton); }
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

TEST_F(Form2Test, RegisterAddsThenUpdatesTheTrimmedAddress)
{
    Open();
    SetText("txtAcc", "  Taro@Example.jp ");
    SetText("txtNam", " 山田 太郎 ");
    SetBoxes("100101");
    SetText("txtTo", "a@example.jp; b@example.jp");
    MessageBox::SetNextAnswer(MessageBox::Yes);
    Click("cmdSav");
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
    MessageBox::SetNextAnswer(MessageBox::Yes);
    Click("cmdSav");
    EXPECT_EQ(Rules(), QStringList{"Taro@Example.jp|太郎|011010|||boss@example.jp"});
    EXPECT_EQ(Text("txtAcc"), "taro@example.jp  ") << "registering keeps what the operator typed";
}

TEST_F(Form2Test, DeleteRemovesOnlyTheNamedRuleAndDeclinedQuestionsChangeNothing)
{
    Sql({"INSERT INTO tblList (アドレス) VALUES ('a@example.jp')", "INSERT INTO tblList (アドレス) VALUES ('b@example.jp')"});
    Open();
    ASSERT_EQ(Model()->rowCount(), 3); // two rules and the empty row for a new one
    const QStringList before = Rules();
    const auto answer = [this](const char* address, MessageBox::Answer answer, const char* button) {
        SetText("txtAcc", QString::fromUtf8(address));
        MessageBox::SetNextAnswer(answer);
        Click(button);
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
    Sql({"INSERT INTO tblList VALUES ('a@example.jp', '甲', 1, 0, 1, 0, 1, 0, 'to@x.jp', 'cc@x.jp', 'bcc@x.jp')",
         "INSERT INTO tblList (アドレス, 名前, 印刷, 転送先TO) VALUES ('b@example.jp', NULL, 0, NULL)"});
    Open();
    EXPECT_EQ(m_form->windowTitle(), "送信者別の詳細設定リスト");
    QStringList headings;
    for (int c = 0; c < Model()->columnCount(); ++c) headings << Model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(headings, (QStringList{"メールアドレス", "名前", "印刷", "保存", "クリア", "ログ", "拒否", "転送",
                                     "転送先TO", "転送先CC", "転送先BCC"}));
    for (const char* name : {"txtAcc", "txtTo", "txtCc", "txtBcc"}) EXPECT_EQ(Child<QLineEdit>(name)->maxLength(), 255);
    EXPECT_EQ(Child<QLineEdit>("txtNam")->maxLength(), 127);
    EXPECT_EQ(Child<QPushButton>("cmdRef")->toolTip(), "送信者アドレス参照");
    for (const QWidget* caption : m_form->findChildren<QWidget*>()) {
        const bool text = qobject_cast<const QLabel*>(caption) || qobject_cast<const QAbstractButton*>(caption);
        EXPECT_TRUE(!text || caption->width() >= caption->sizeHint().width()) << caption->objectName().toStdString();
    }

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
    Sql({"INSERT INTO tblList (アドレス, 名前) VALUES ('a@example.jp', 'A')",
         "INSERT INTO tblList (アドレス, 名前) VALUES ('b@example.jp', 'B')"});
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

TEST_F(Form2Test, RefusedRegistrationIsReportedWithItsCode)
{
    Sql({"CREATE TRIGGER refuse BEFORE INSERT ON tblList BEGIN SELECT RAISE(ABORT, 'refused'); END"});
    Open();
    SetText("txtAcc", "x@example.jp");
    MessageBox::SetNextAnswer(MessageBox::Yes);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    Click("cmdSav");
    ASSERT_EQ(MessageBox::Log().size(), 3);
    EXPECT_TRUE(MessageBox::Log().at(1).startsWith("tblモニタリングの登録に失敗しました。\n"));
    bool numeric = false;
    MessageBox::Log().at(1).section(u'\n', 1).toInt(&numeric);
    EXPECT_TRUE(numeric) << MessageBox::Log().at(1).toStdString();
    EXPECT_EQ(MessageBox::Log().at(2), "データの登録に失敗しました。");
    EXPECT_TRUE(Rules().isEmpty());
}

TEST_F(Form2Test, OpensLargeListsLazilyAndCloseReleasesTheConnection)
{
    Sql({"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
         "INSERT INTO tblList (アドレス, 名前, 印刷) SELECT 'user' || i || '@example.jp', 'name' || i, 1 FROM n"});
    QElapsedTimer timer;
    timer.start();
    Open();
    QApplication::processEvents();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_LT(Model()->rowCount(), 100000) << "rows are fetched as the grid scrolls, not all at once";
    EXPECT_EQ(Text("txtAcc"), "user100000@example.jp");

    // Registering near the end finds the row after the refresh.
    SetText("txtAcc", "user99999@example.jp");
    MessageBox::SetNextAnswer(MessageBox::Yes);
    Click("cmdSav");
    EXPECT_EQ(Cell(Grid()->currentIndex().row(), SenderRuleModel::Address), "user99999@example.jp");

    Click("Command2");
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_FALSE(store::ListConnection().isOpen());
}

} // namespace
} // namespace lw::ui
