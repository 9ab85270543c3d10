#include "ui/SenderPicker.h"

#include "store/ListDatabase.h"
#include "ui/UiTest.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

#include <memory>

namespace lw::ui {
namespace {

using Sender = std::pair<QString, QString>;

class SenderPickerTest : public test::ListTest {
protected:
    void TearDown() override
    {
        m_dialog.reset();
        store::CloseListDatabase();
        ListTest::TearDown();
    }
    void Open()
    {
        m_dialog = std::make_unique<SenderPicker>(m_home.Folder(), QStringLiteral("list"), &m_address, &m_name);
        m_dialog->show();
    }
    template <typename T> T* Child(const char* name) const { return test::Find<T>(*m_dialog, name); }
    QTableView* Grid() const { return Child<QTableView>("frmAdrList"); }
    // The grid's rows as (name, address).
    QList<Sender> Rows() const
    {
        const QAbstractItemModel* model = Grid()->model();
        QList<Sender> rows;
        for (int r = 0; r < model->rowCount(); ++r) rows.append({model->index(r, 0).data().toString(), model->index(r, 1).data().toString()});
        return rows;
    }
    // Takes the row into the dialog's own fields; their texts as (address, name).
    Sender Pick(int row, int column)
    {
        Grid()->setCurrentIndex(Grid()->model()->index(row, column));
        test::Click(*m_dialog, "cmdGet");
        return {Child<QLineEdit>("txtAdr")->text(), Child<QLineEdit>("txtNam")->text()};
    }
    // The caller's fields as (address, name).
    Sender Caller() const { return {m_address.text(), m_name.text()}; }

    QLineEdit m_address{"before@example.jp"};
    QLineEdit m_name{"前"};
    std::unique_ptr<SenderPicker> m_dialog;
};

TEST_F(SenderPickerTest, ListsEachSenderOnceTakesARowAndOkOrCancelFillsTheCaller)
{
    Sql("INSERT INTO tblHistory (保存ファイルID, 送信アドレス, 送信アドレス名) VALUES ('m1', 'a@example.jp', ''), "
        "('m2', 'c@example.jp', 'シー'), ('m3', 'a@example.jp', 'エー'), ('m4', 'b@example.jp', NULL), "
        "('m5', 'c@example.jp', 'シー')");
    Open();
    test::Click(*m_dialog, "cmdCan");
    EXPECT_EQ(Caller(), (Sender{"before@example.jp", "前"})) << "cancel keeps";
    Open();
    EXPECT_EQ(Rows(), (QList<Sender>{{"シー", "c@example.jp"}, {"", "b@example.jp"}, {"エー", "a@example.jp"}}));
    test::Click(*m_dialog, "cmdOK");
    EXPECT_EQ(Caller(), Sender()) << "OK without a pick empties";

    Open();
    EXPECT_FALSE(Child<QPushButton>("cmdGet")->isEnabled()) << "no row chosen yet";
    EXPECT_EQ(Pick(2, 0), (Sender{"a@example.jp", "エー"}));
    EXPECT_EQ(Pick(1, 1), (Sender{"b@example.jp", ""})) << "a sender without a name";
    Child<QLineEdit>("txtNam")->setText("  ビー  ");
    Child<QLineEdit>("txtAdr")->setText(" b@example.jp ");
    test::Click(*m_dialog, "cmdOK");
    EXPECT_EQ(Caller(), (Sender{"b@example.jp", "ビー"}));
    EXPECT_FALSE(m_dialog->isVisible());
}

} // namespace
} // namespace lw::ui
