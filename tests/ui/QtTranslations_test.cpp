// Qt's own texts (standard buttons, the file dialog) follow a Japanese locale once its
// translations are installed.
#include "ui/QtTranslations.h"

#include "ui/UiTest.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>

namespace {

// The texts of every button and label of a widget, joined by "|", mnemonics removed.
QString Texts(const QWidget& widget)
{
    QStringList texts;
    for (const QAbstractButton* button : widget.findChildren<QAbstractButton*>())
        texts << button->text();
    for (const QLabel* label : widget.findChildren<QLabel*>())
        texts << label->text();
    return texts.join(u'|').remove(u'&');
}

QString QuestionButtons()
{
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    return box.button(QMessageBox::Yes)->text() + u'|' + box.button(QMessageBox::No)->text() + u'|' +
           box.button(QMessageBox::Cancel)->text();
}

TEST(QtTranslationsTest, JapaneseLocaleTranslatesStandardButtonsAndTheFileDialog)
{
    QString error;
    EXPECT_FALSE(lw::ui::InstallQtTranslations(QLocale::c(), error));
    EXPECT_TRUE(error.contains("qtbase")) << error;
    EXPECT_EQ(QuestionButtons(), "&Yes|&No|Cancel") << "English before any translation";

    ASSERT_TRUE(lw::ui::InstallQtTranslations(QLocale(QLocale::Japanese, QLocale::Japan), error))
        << error << " (tools/install-deps installs qt6-translations-l10n)";
    const QString buttons = QuestionButtons();
    for (const char* text : {"はい", "いいえ", "キャンセル"})
        EXPECT_TRUE(buttons.contains(QString::fromUtf8(text))) << buttons;

    QFileDialog dialog(nullptr, "ファイルオープン");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QString texts = Texts(dialog);
    for (const char* text : {"開く", "キャンセル", "ファイル名"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << texts;
}

} // namespace
