#pragma once

#include "support/TempHome.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <gtest/gtest.h>

namespace lw::test {

// A copy of the template list database at path, writable by its owner.
inline void CopyTemplateDatabase(const QString& path)
{
    ASSERT_TRUE(QFile::copy(TemplateDatabase(), path));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

// Runs one statement, values bound in order, on a connection of the test's own; the first
// column of its rows as text.
inline QStringList Sql(const QString& database, const QString& sql, const QVariantList& values = {})
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "test-seed");
        db.setDatabaseName(database);
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

// The program's own CJK font, so that size checks match the real window.
inline void UseProgramFont()
{
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic"), font.family()});
    QApplication::setFont(font);
}

// No label or button caption of window is cut off at its size.
inline void ExpectNoCaptionCutOff(const QWidget& window)
{
    for (const QWidget* caption : window.findChildren<QWidget*>()) {
        const bool text = qobject_cast<const QLabel*>(caption) || qobject_cast<const QAbstractButton*>(caption);
        EXPECT_TRUE(!text || caption->width() >= caption->sizeHint().width()) << caption->objectName().toStdString();
    }
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

} // namespace lw::test
