#include "ui/FrmRefAdr.h"

#include "store/ListDatabase.h"
#include "ui/Form2.h"
#include "ui/MessageBox.h"
#include "ui/UiTest.h"

#include <QAbstractItemModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <memory>

namespace lw::ui {
namespace {

class FrmRefAdrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::UseProgramFont();
        MessageBox::ClearLog();
        test::CopyTemplateDatabase(m_home.File("list.db"));
        m_address.setText("before@example.jp");
        m_name.setText("前");
    }
    void TearDown() override
    {
        m_dialog.reset();
        store::CloseListDatabase();
        MessageBox::ClearLog();
    }

    // History rows: (sender address, display name or null).
    void History(const QList<std::pair<QString, QVariant>>& senders)
    {
        QStringList rows;
        QVariantList values;
        for (const auto& [address, name] : senders) {
            rows << "(?, ?, ?)";
            values << QStringLiteral("m%1.eml").arg(rows.size()) << address << name;
        }
        test::Sql(m_home.File("list.db"),
                  "INSERT INTO tblHistory (保存ファイルID, 送信アドレス, 送信アドレス名) VALUES " + rows.join(", "), values);
    }

    void Open()
    {
        m_dialog = std::make_unique<FrmRefAdr>(m_home.Folder(), QStringLiteral("list"), &m_address, &m_name);
        m_dialog->show();
    }
    template <typename T> T* Child(const char* name) const { return test::Find<T>(*m_dialog, name); }
    QTableView* Grid() const { return Child<QTableView>("frmAdrList"); }
    QAbstractItemModel* Model() const { return Grid()->model(); }
    QStringList Rows() const
    {
        QStringList rows;
        for (int r = 0; r < Model()->rowCount(); ++r)
            rows << Model()->index(r, 0).data().toString() + u'|' + Model()->index(r, 1).data().toString();
        return rows;
    }
    void Click(const char* name) const { test::Click(*m_dialog, name); }

    test::TempHome m_home;
    QLineEdit m_address;
    QLineEdit m_name;
    std::unique_ptr<FrmRefAdr> m_dialog;
};

TEST_F(FrmRefAdrTest, ListsEachSenderOnceTakesARowAndOkOrCancelFillsTheCaller)
{
    Open(); // an empty history: empty list, nothing to take
    EXPECT_EQ(Model()->rowCount(), 0);
    EXPECT_FALSE(Child<QPushButton>("cmdGet")->isEnabled());
    m_dialog.reset();

    History({{"a@example.jp", QString("")}, {"c@example.jp", QString("シー")}, {"a@example.jp", QString("エー")},
             {"b@example.jp", QVariant()}, {"c@example.jp", QString("シー")}});
    Open();
    Click("cmdCan");
    EXPECT_EQ(m_address.text() + m_name.text(), "before@example.jp前") << "cancel keeps";
    Open();
    EXPECT_EQ(m_dialog->windowTitle(), "送信者アドレス参照");
    EXPECT_EQ(Model()->headerData(0, Qt::Horizontal).toString() + Model()->headerData(1, Qt::Horizontal).toString(),
              "名前アドレス");
    EXPECT_EQ(Rows(), (QStringList{"シー|c@example.jp", "|b@example.jp", "エー|a@example.jp"}));
    test::ExpectNoCaptionCutOff(*m_dialog);
    Click("cmdOK");
    EXPECT_EQ(m_address.text() + m_name.text(), "") << "OK without a pick empties";

    Open();
    EXPECT_FALSE(Child<QPushButton>("cmdGet")->isEnabled());
    Grid()->setCurrentIndex(Model()->index(2, 0));
    ASSERT_TRUE(Child<QPushButton>("cmdGet")->isEnabled());
    Click("cmdGet");
    EXPECT_EQ(Child<QLineEdit>("txtAdr")->text() + Child<QLineEdit>("txtNam")->text(), "a@example.jpエー");
    Grid()->setCurrentIndex(Model()->index(1, 1));
    Click("cmdGet");
    EXPECT_EQ(Child<QLineEdit>("txtNam")->text(), "") << "a sender without a name";
    Child<QLineEdit>("txtNam")->setText("  ビー  ");
    Child<QLineEdit>("txtAdr")->setText(" b@example.jp ");
    Click("cmdOK");
    EXPECT_EQ(m_address.text() + u'|' + m_name.text(), "b@example.jp|ビー");
    EXPECT_FALSE(m_dialog->isVisible());
}

TEST_F(FrmRefAdrTest, PickingFromTheEditorFillsItsFieldsAndTheEditorGoesOn)
{
    History({{"taro@example.jp", QString("山田 太郎")}, {"hanako@example.jp", QString("鈴木 花子")}});
    Form2 editor(m_home.Folder(), QStringLiteral("list"));
    editor.show();
    bool picked = false;
    QTimer::singleShot(0, [&] {
        auto* picker = qobject_cast<FrmRefAdr*>(QApplication::activeModalWidget());
        if (!picker) return;
        auto* grid = test::Find<QTableView>(*picker, "frmAdrList");
        grid->setCurrentIndex(grid->model()->index(0, 0)); // taro sorts first in descending order
        test::Click(*picker, "cmdGet");
        test::Click(*picker, "cmdOK");
        picked = true;
    });
    test::Click(editor, "cmdRef");
    ASSERT_TRUE(picked) << "the picker did not open modally";
    EXPECT_EQ(test::Find<QLineEdit>(editor, "txtAcc")->text() + u'|' + test::Find<QLineEdit>(editor, "txtNam")->text(),
              "taro@example.jp|山田 太郎");

    // The picker left the shared connection usable: the editor registers the pick.
    MessageBox::SetNextAnswer(MessageBox::Yes);
    test::Click(editor, "cmdSav");
    EXPECT_EQ(test::Sql(m_home.File("list.db"), "SELECT アドレス || '|' || 名前 FROM tblList"),
              QStringList{"taro@example.jp|山田 太郎"});
    EXPECT_EQ(MessageBox::Log(), QStringList{"データを登録します。よろしいですか。"});
}

} // namespace
} // namespace lw::ui
