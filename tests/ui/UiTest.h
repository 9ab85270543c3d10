#pragma once

#include "support/Files.h"
#include "support/Peek.h"
#include "support/TempHome.h"
#include "ui/MessageBox.h"

// What the ui tests share: Qt's test tools and the widgets they look for.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

// Qt texts after << in a failure message.
inline std::ostream& operator<<(std::ostream& out, const QString& text)
{
    return out << text.toStdString();
}
inline std::ostream& operator<<(std::ostream& out, const QStringList& texts)
{
    return out << texts.join(u'|');
}

namespace lw::test {

// The child of parent named name; fails the test when there is none.
template <typename T> T* Find(const QObject& parent, const char* name)
{
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

inline void Click(const QObject& parent, const char* button)
{
    QTest::mouseClick(Find<QAbstractButton>(parent, button), Qt::LeftButton);
}

// A program folder with a copy of the template list database; every message box answer is used.
class ListTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ui::MessageBox::ClearLog();
        ASSERT_TRUE(QFile::copy(TemplateDatabase(), m_home.File("list.db")));
        QFile::setPermissions(m_home.File("list.db"), QFile::ReadOwner | QFile::WriteOwner);
    }
    void TearDown() override
    {
        EXPECT_EQ(ui::MessageBox::PendingAnswers(), 0) << "an expected message box was not shown";
        ui::MessageBox::ClearLog();
    }

    // Runs one statement on the list database, values bound in order; the first column as text.
    QStringList Sql(const QString& sql, const QVariantList& values = {}) const
    {
        return Peek(m_home.File("list.db")).Column(sql, values);
    }

    TempHome m_home;
};

} // namespace lw::test
