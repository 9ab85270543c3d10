#pragma once

#include "support/TempHome.h"
#include "ui/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <gtest/gtest.h>

namespace lw::test {

// Writes bytes to path; fails the test when it cannot.
inline void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()) << path.toStdString();
}

// The contents of the file at path; empty when it cannot be read.
inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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
    QStringList Sql(const QString& sql, const QVariantList& values = {})
    {
        QStringList rows;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "test-seed");
            db.setDatabaseName(m_home.File("list.db"));
            EXPECT_TRUE(db.open());
            QSqlQuery query(db);
            EXPECT_TRUE(query.prepare(sql)) << sql.toStdString() << query.lastError().text().toStdString();
            for (const QVariant& value : values) query.addBindValue(value);
            EXPECT_TRUE(query.exec()) << sql.toStdString() << query.lastError().text().toStdString();
            while (query.isSelect() && query.next()) rows << query.value(0).toString();
        }
        QSqlDatabase::removeDatabase("test-seed");
        return rows;
    }

    TempHome m_home;
};

} // namespace lw::test
