// Qt's own texts (standard buttons, dialogs) follow a Japanese locale once its
// translations are installed.
#include "ui/QtTranslations.h"

#include "ui/UiTest.h"

namespace {

QString QuestionButtons()
{
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    return box.button(QMessageBox::Yes)->text() + u'|' + box.button(QMessageBox::No)->text() + u'|' +
           box.button(QMessageBox::Cancel)->text();
}

// The file dialog's texts come from the same catalogue as the buttons.
TEST(QtTranslationsTest, JapaneseLocaleTranslatesStandardButtons)
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
}

} // namespace
