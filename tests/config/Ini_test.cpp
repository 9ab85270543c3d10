#include "config/IniFile.h"

#include "support/TempHome.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using lw::config::IniFile;

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

TEST(IniFile, ReadsKeysOfOneSectionWithoutRegardToCaseBomOrLineEnds)
{
    lw::test::TempHome home;
    const QString path = home.File("a.ini");
    WriteAll(path, "\xEF\xBB\xBF; comment\r\n[other]\r\nkey=foreign\r\n[LarchWatcher]\r\n"
                   "  Key =  value = with equals  \r\nkey=second\r\nempty=\r\n");
    const IniFile ini = IniFile::Load(path);
    EXPECT_EQ(ini.Value("larchwatcher", "KEY"), QString("value = with equals"));
    EXPECT_EQ(ini.Value("other", "key"), QString("foreign"));
    EXPECT_EQ(ini.Value("larchwatcher", "empty"), QString(""));
    EXPECT_FALSE(ini.Value("larchwatcher", "missing").has_value());
    EXPECT_FALSE(IniFile::Load(home.File("absent.ini")).Value("larchwatcher", "key").has_value());
}

TEST(IniFile, SaveKeepsForeignLinesReplacesInPlaceAndAddsInOrder)
{
    lw::test::TempHome home;
    const QString path = home.File("a.ini");
    WriteAll(path, "; top comment\n[larchwatcher]\nb=old\n; inner comment\nunknown=x\n\n[other]\nb=keep\n");
    IniFile ini = IniFile::Load(path);
    ini.SetValue("larchwatcher", "a", "1");
    ini.SetValue("larchwatcher", "B", "new");
    ini.SetValue("larchwatcher", "c", "3");
    ini.SetValue("third", "d", "4");
    qsizetype failedLine = 0;
    QString error;
    ASSERT_TRUE(ini.Save(path, failedLine, error)) << error.toStdString();
    EXPECT_EQ(ReadAll(path),
              QByteArray("; top comment\n[larchwatcher]\nB=new\n; inner comment\nunknown=x\na=1\n"
                         "c=3\n\n[other]\nb=keep\n[third]\nd=4\n"));
    struct stat info {};
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u); // it holds passwords
    EXPECT_FALSE(QFile::exists(path + ".tmp"));

    // Non-ASCII values with "=" and long values round-trip whole.
    const QString japanese = QString::fromUtf8("パス=ワード;転送先 ①髙 🎌");
    const QString longValue = QString::fromUtf8("長").repeated(200) + "x=y";
    IniFile fresh;
    fresh.SetValue("s", "k", japanese);
    fresh.SetValue("s", "long", longValue);
    fresh.SetValue("s", "broken", "line\r\nbreak");
    ASSERT_TRUE(fresh.Save(home.File("b.ini"), failedLine, error));
    const IniFile back = IniFile::Load(home.File("b.ini"));
    EXPECT_EQ(back.Value("s", "k"), japanese);
    EXPECT_EQ(back.Value("s", "long"), longValue);
    // A line break in a value must not split the file's line.
    EXPECT_EQ(back.Value("s", "broken"), QString("line  break"));
    EXPECT_EQ(back.Lines().size(), 4);
}
