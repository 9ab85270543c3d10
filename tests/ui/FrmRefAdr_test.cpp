#include "ui/FrmRefAdr.h"

#include "store/ListDatabase.h"
#include "ui/Form2.h"
#include "ui/UiTest.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <memory>

namespace lw::ui {
namespace {

class FrmRefAdrTest : public test::ListTest {
protected:
    void TearDown() override
    {
        m_dialog.reset();
        store::CloseListDatabase();
        ListTest::TearDown();
    }
    void Open()
    {
        m_dialog = std::make_unique<FrmRefAdr>(m_home.Folder(), QStringLiteral("list"), &m_address, &m_name);
        m_dialog->show();
    }
    template <typename T> T* Child(const char* name) const { return test::Find<T>(*m_dialog, name); }
    QTableView* Grid() const { return Child<QTableView>("frmAdrList"); }
    QString Rows() const
    {
        QStringList rows;
        for (int r = 0; r < Grid()->model()->rowCount(); ++r)
            rows << Grid()->model()->index(r, 0).data().toString() + u'|' + Grid()->model()->index(r, 1).data().toString();
        return rows.join(u',');
    }
    void Pick(int row, int column)
    {
        Grid()->setCurrentIndex(Grid()->model()->index(row, column));
        test::Click(*m_dialog, "cmdGet");
    }
    QString Caller() const { return m_address.text() + u'|' + m_name.text(); }

    QLineEdit m_address{"before@example.jp"};
    QLineEdit m_name{"前"};
    std::unique_ptr<FrmRefAdr> m_dialog;
};

TEST_F(FrmRefAdrTest, ListsEachSenderOnceTakesARowAndOkOrCancelFillsTheCaller)
{
    Sql("INSERT INTO tblHistory (保存ファイルID, 送信アドレス, 送信アドレス名) VALUES ('m1', 'a@example.jp', ''), "
        "('m2', 'c@example.jp', 'シー'), ('m3', 'a@example.jp', 'エー'), ('m4', 'b@example.jp', NULL), "
        "('m5', 'c@example.jp', 'シー')");
    Open();
    test::Click(*m_dialog, "cmdCan");
    EXPECT_EQ(Caller(), "before@example.jp|前") << "cancel keeps";
    Open();
    EXPECT_EQ(Rows(), "シー|c@example.jp,|b@example.jp,エー|a@example.jp");
    test::Click(*m_dialog, "cmdOK");
    EXPECT_EQ(Caller(), "|") << "OK without a pick empties";

    Open();
    EXPECT_FALSE(Child<QPushButton>("cmdGet")->isEnabled()) << "no row chosen yet";
    Pick(2, 0);
    EXPECT_EQ(Child<QLineEdit>("txtAdr")->text() + Child<QLineEdit>("txtNam")->text(), "a@example.jpエー");
    Pick(1, 1);
    EXPECT_EQ(Child<QLineEdit>("txtNam")->text(), "") << "a sender without a name";
    Child<QLineEdit>("txtNam")->setText("  ビー  ");
    Child<QLineEdit>("txtAdr")->setText(" b@example.jp ");
    test::Click(*m_dialog, "cmdOK");
    EXPECT_EQ(Caller(), "b@example.jp|ビー");
    EXPECT_FALSE(m_dialog->isVisible());
}

TEST_F(FrmRefAdrTest, PickingFromTheEditorFillsItsFieldsAndTheEditorGoesOn)
{
    Sql("INSERT INTO tblHistory (保存ファイルID, 送信アドレス, 送信アドレス名) VALUES "
        "('m1', 'taro@example.jp', '山田 太郎'), ('m2', 'hanako@example.jp', '鈴木 花子')");
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
    const auto text = [&](const char* name) { return test::Find<QLineEdit>(editor, name)->text(); };
    EXPECT_EQ(text("txtAcc") + u'|' + text("txtNam"), "taro@example.jp|山田 太郎");

    // The picker left the shared connection usable: the editor registers the pick.
    MessageBox::SetNextAnswer(MessageBox::Yes);
    test::Click(editor, "cmdSav");
    EXPECT_EQ(Sql("SELECT アドレス || '|' || 名前 FROM tblList"), QStringList{"taro@example.jp|山田 太郎"});
    EXPECT_EQ(MessageBox::Log(), QStringList{"データを登録します。よろしいですか。"});
}

} // namespace
} // namespace lw::ui
