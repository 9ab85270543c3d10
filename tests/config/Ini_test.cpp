#include "config/IniFile.h"

#include "support/Files.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

using lw::config::IniFile;
using lw::test::ReadFile;

TEST(IniFile, ReadsOneSectionWhateverTheCaseBomOrLineEndsAndSaveKeepsForeignLinesAndLinesWhole)
{
    lw::test::TempHome home;
    ASSERT_TRUE(lw::test::WriteFile(home.File("a.ini"), "\xEF\xBB\xBF; comment\r\n[other]\r\nkey=foreign\r\n"
                                   "[LarchWatcher]\r\n  Key =  value = with equals  \r\nkey=second\r\nempty=\r\n"));
    const IniFile ini = IniFile::Load(home.File("a.ini"));
    EXPECT_EQ(ini.Value("larchwatcher", "KEY"), QString("value = with equals"));
    EXPECT_EQ(ini.Value("other", "key"), QString("foreign"));
    EXPECT_EQ(ini.Value("larchwatcher", "empty"), QString(""));
    EXPECT_FALSE(ini.Value("larchwatcher", "missing").has_value());
    EXPECT_FALSE(IniFile::Load(home.File("absent.ini")).Value("larchwatcher", "key").has_value());
    // Valid keys between broken lines (NUL bytes, a lone CR, invalid UTF-8, Shift_JIS, an unclosed section).
    const QByteArray broken = QByteArray("[larchwatcher]\n\x00\x01junk=\xff\r", 24) +
                              "\r\na=1\n\x83\x65\x83\x58=\x93\xfa\nb=2\n\xc3\x28=\xe2\x82\n[unclosed\n";
    ASSERT_TRUE(lw::test::WriteFile(home.File("b.ini"), broken));
    const IniFile mixed = IniFile::Load(home.File("b.ini"));
    EXPECT_EQ(mixed.Value("larchwatcher", "a"), QString("1"));
    EXPECT_EQ(mixed.Value("larchwatcher", "b"), QString("2"));
    // Saved by an editor as UTF-16 with a byte-order mark.
    const QString utf16 = QString::fromUtf8("[larchwatcher]\r\nkey=値\r\n");
    const QByteArray utf16Bytes(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2);
    ASSERT_TRUE(lw::test::WriteFile(home.File("c.ini"), QByteArray("\xff\xfe", 2) + utf16Bytes));
    EXPECT_EQ(IniFile::Load(home.File("c.ini")).Value("larchwatcher", "key"), QString::fromUtf8("値"));

    // A save keeps foreign lines, replaces keys in place and adds new ones in order.
    const QString path = home.File("a.ini");
    ASSERT_TRUE(lw::test::WriteFile(path, "; top\n[larchwatcher]\nb=old\n; inner\nunknown=x\n\n[other]\nb=keep\n"));
    IniFile edited = IniFile::Load(path);
    edited.SetValue("larchwatcher", "a", "1");
    edited.SetValue("larchwatcher", "B", "new");
    edited.SetValue("larchwatcher", "c", "3");
    edited.SetValue("third", "d", "4");
    qsizetype failedLine = 0;
    QString error;
    ASSERT_TRUE(edited.Save(path, failedLine, error)) << error.toStdString();
    EXPECT_EQ(ReadFile(path), QByteArray("; top\n[larchwatcher]\nB=new\n; inner\nunknown=x\na=1\nc=3\n\n"
                                        "[other]\nb=keep\n[third]\nd=4\n"));
    const auto user = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
    EXPECT_EQ(QFile::permissions(path) & ~user, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        << "it holds passwords";
    EXPECT_FALSE(QFile::exists(path + ".tmp"));

    // A line break in a value must not split the file's line.
    IniFile fresh;
    fresh.SetValue("s", "k", QString::fromUtf8("パス=ワード;転送先 ①髙 🎌"));
    fresh.SetValue("s", "broken", "line\r\nbreak");
    ASSERT_TRUE(fresh.Save(home.File("b.ini"), failedLine, error));
    const IniFile back = IniFile::Load(home.File("b.ini"));
    EXPECT_EQ(back.Value("s", "k"), QString::fromUtf8("パス=ワード;転送先 ①髙 🎌"));
    EXPECT_EQ(back.Value("s", "broken"), QString("line  break"));
    EXPECT_EQ(back.Lines().size(), 3);
}
