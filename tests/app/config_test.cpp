// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "tests/support/temp_dir.h"
#include "util/text_codec.h"

using app::readSetting;
using app::writeSetting;
using testsupport::asUnprivilegedUser;
using testsupport::kUnprivilegedId;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

TEST(ReadSetting, NamesIgnoreCaseAndBlanks) {
    TempDir dir;
    std::string ini = dir.file("config.ini");
    writeFile(ini,
              "; comment\r\n"
              "[Run]\r\n"
              "DefaultLanguage=English\r\n"
              "  [ english ]  \r\n"
              "  caption =  Chipwright 1.0  \r\n"
              "Empty=\r\n"
              "[English]\r\n"
              "Caption=second section of the same name is ignored\r\n");
    EXPECT_EQ(readSetting(ini, "run", "DEFAULTLANGUAGE"), "English");
    EXPECT_EQ(readSetting(ini, "English", "Caption"), "Chipwright 1.0");
    EXPECT_EQ(readSetting(ini, "English", "Empty"), "");
    EXPECT_EQ(readSetting(ini, "English", "Missing"), "");
    EXPECT_EQ(readSetting(ini, "Missing", "Caption"), "");
    EXPECT_EQ(readSetting(dir.file("absent.ini"), "Run", "DefaultLanguage"), "");
}

TEST(ReadSetting, ValuesAreCutTo199StoredBytesThenConverted) {
    TempDir dir;
    std::string ini = dir.file("config.ini");
    writeFile(ini, "[Run]\nLong=" + std::string(250, 'x') + "\n");
    EXPECT_EQ(readSetting(ini, "Run", "Long"), std::string(199, 'x'));

    // 99 two-byte characters and then one more: the cut falls in its middle,
    // which reads as a replacement character, not as garbage or a crash.
    std::string gbk;
    for (int i = 0; i < 100; ++i)
        gbk += "\xD0\xBE";  // 芯
    writeFile(ini, "[SimpleChinese]\nCaption=" + gbk + "\n");
    std::string expected;
    for (int i = 0; i < 99; ++i)
        expected += "芯";
    EXPECT_EQ(readSetting(ini, "SimpleChinese", "Caption"), expected + "\xEF\xBF\xBD");
}

TEST(WriteSetting, ReplacesTheValueAndKeepsEveryOtherByte) {
    TempDir dir;
    std::string ini = dir.file("config.ini");
    const std::string before =
        "[Run]\r\nDefaultLanguage = English ; \r\nDefaultChipName=W25Q64\r\n\r\n"
        "[SimpleChinese]\r\nCaption=\xD0\xBE\xC6\xAC\r\n";
    writeFile(ini, before);
    ASSERT_TRUE(app::setDefaultChipName(ini, "EN25T80"));
    EXPECT_EQ(readFile(ini),
              "[Run]\r\nDefaultLanguage = English ; \r\nDefaultChipName=EN25T80\r\n\r\n"
              "[SimpleChinese]\r\nCaption=\xD0\xBE\xC6\xAC\r\n");
    ASSERT_TRUE(writeSetting(ini, "simplechinese", "caption", "编程器"));
    EXPECT_EQ(readSetting(ini, "SimpleChinese", "Caption"), "编程器");
    EXPECT_NE(readFile(ini).find(util::utf8ToGbk("编程器")), std::string::npos) << "stored as GBK";
}

TEST(WriteSetting, AddsKeysAndSectionsWhereTheyBelong) {
    TempDir dir;
    std::string ini = dir.file("config.ini");
    ASSERT_TRUE(writeSetting(ini, "Run", "DefaultLanguage", "English"));
    EXPECT_EQ(readFile(ini), "[Run]\nDefaultLanguage=English\n");

    writeFile(ini, "[Run]\r\nA=1\r\n\r\n[English]\r\nB=2");
    ASSERT_TRUE(writeSetting(ini, "Run", "DefaultChipName", "EN25T80"));
    ASSERT_TRUE(writeSetting(ini, "English", "C", "3"));
    ASSERT_TRUE(writeSetting(ini, "New", "D", "4"));
    EXPECT_EQ(readFile(ini),
              "[Run]\r\nA=1\r\nDefaultChipName=EN25T80\r\n\r\n[English]\r\nB=2\r\nC=3\r\n"
              "[New]\r\nD=4\r\n");
}

TEST(WriteSetting, FailsWithoutTouchingAFileItCannotReadOrWrite) {
    TempDir dir;
    writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(writeSetting(dir.file("plain/config.ini"), "Run", "A", "1"));
    EXPECT_EQ(readFile(dir.file("plain")), "x");

    // Write-only for its user, in a folder the user may create files in: writing
    // back only what could be read would throw away every other setting.
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string ini = dir.file("config.ini");
    const std::string before = "[Run]\nDefaultLanguage=English\nDefaultChipName=W25Q64\n";
    writeFile(ini, before);
    ASSERT_EQ(chmod(ini.c_str(), 0200), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(ini.c_str(), kUnprivilegedId, kUnprivilegedId), 0);
    }
    EXPECT_EQ(asUnprivilegedUser([&] { return app::setDefaultChipName(ini, "EN25T80"); }),
              std::optional<bool>(false));
    ASSERT_EQ(chmod(ini.c_str(), 0600), 0);
    EXPECT_EQ(readFile(ini), before);
}

TEST(ProgramDirectory, IsTheFolderOfThisTestBinary) {
    std::string dir = app::programDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir.front(), '/');
    EXPECT_TRUE(std::ifstream(dir + "app_tests").good());
}

}  // namespace
