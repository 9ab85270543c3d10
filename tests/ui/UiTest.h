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
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

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

// A program folder with a copy of the template list database; every message box answer is used,
// and a box nobody answers fails the test instead of waiting for ever.
class ListTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ui::MessageBox::ClearLog();
        m_boxWatch.callOnTimeout([this] { CloseForgottenBox(); });
        m_boxWatch.start(1000);
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

  private:
    void CloseForgottenBox()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != m_openBox) {
            m_openBox = box;
            m_openFor = 0;
        } else if (box != nullptr && ++m_openFor >= 15) {
            ADD_FAILURE() << "a message box nobody answered for 15 s: " << box->text();
            box->done(QMessageBox::Cancel);
        }
    }

    QTimer m_boxWatch;
    QPointer<QMessageBox> m_openBox;
    int m_openFor = 0;
};

} // namespace lw::test
