// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/messages.h"

#include <gtest/gtest.h>

#include "app/config.h"
#include "tests/support/temp_dir.h"
#include "util/text_codec.h"

using app::messageText;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

class MessagesTest : public ::testing::Test {
  protected:
    void load(const std::string& ini) {
        writeFile(dir.file("config.ini"), util::utf8ToGbk(ini));
        app::loadMessageTable(dir.dir());
    }
    TempDir dir;
};

TEST_F(MessagesTest, LanguageSelectsTheColumnAndOnlyExactNamesCount) {
    load("[Run]\nDefaultLanguage=English\n");
    EXPECT_EQ(messageText(94), "About(&A)...");
    EXPECT_EQ(messageText(app::MsgProgrammerBusy), "Programmer is busy, please wait a moment!");
    EXPECT_EQ(messageText(13), "Updata Firmware");

    load("[Run]\nDefaultLanguage=SimpleChinese\n");
    EXPECT_EQ(messageText(94), "关于(&A)...");
    EXPECT_EQ(messageText(0), "编程器器正忙，请稍后再试!");

    for (const char* name : {"english", "", "Chinese", "ENGLISH"}) {
        load(std::string("[Run]\nDefaultLanguage=") + name + "\n");
        for (int key = 0; key < app::kMessageCount; ++key) {
            ASSERT_EQ(messageText(key), "") << "language '" << name << "' key " << key;
        }
    }
}

TEST_F(MessagesTest, UnknownKeysAreEmpty) {
    load("[Run]\nDefaultLanguage=English\n");
    EXPECT_EQ(messageText(113), "");
    EXPECT_EQ(messageText(-1), "");
}

TEST_F(MessagesTest, TextsKeepTheirExactSpacingAndLineBreaks) {
    load("[Run]\nDefaultLanguage=English\n");
    EXPECT_EQ(messageText(46), " Buf:");
    EXPECT_EQ(messageText(55), "Firmware version: ");
    EXPECT_EQ(messageText(110), "Find ");
    EXPECT_EQ(messageText(111), " Chips!");
    EXPECT_EQ(messageText(67),
              "Please click \"OK\", and link programmer to computer in 10 seconds!");
    app::setLanguage("SimpleChinese");
    EXPECT_EQ(messageText(45), "地  址:");
    std::string detect = messageText(50);
    ASSERT_EQ(detect.find("\r\n"), detect.find("!\r\n") + 1);
    std::size_t first = detect.find("\r\n");
    std::size_t second = detect.find("\r\n", first + 2);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(detect.find("\r\n", second + 2), std::string::npos) << "three lines";
}

TEST_F(MessagesTest, ConfiguredEntriesFollowTheLanguageAndFilesSitInTheProgramFolder) {
    load(
        "[Run]\nDefaultLanguage=English\nDefaultChipName=W25Q64JV\n"
        "[English]\nCaption=Chipwright\nDataBaseFile=chips.cwdb\nLogFile=log/en.log\n"
        "[SimpleChinese]\nCaption=芯片编程器\nDataBaseFile=chips-zh.cwdb\n");
    EXPECT_EQ(messageText(app::MsgCaption), "Chipwright");
    EXPECT_EQ(messageText(app::MsgDatabaseFile), dir.dir() + "chips.cwdb");
    EXPECT_EQ(messageText(app::MsgLogFile), dir.dir() + "log/en.log");
    EXPECT_EQ(messageText(app::MsgManualFile), dir.dir()) << "absent: the folder itself";
    EXPECT_EQ(messageText(app::MsgVersion), "");
    EXPECT_EQ(messageText(app::MsgDefaultChipName), "W25Q64JV");
    app::setLanguage("SimpleChinese");
    EXPECT_EQ(messageText(app::MsgCaption), "芯片编程器");
    EXPECT_EQ(messageText(app::MsgDatabaseFile), dir.dir() + "chips-zh.cwdb");
    EXPECT_EQ(messageText(app::MsgDefaultChipName), "W25Q64JV");
}

TEST_F(MessagesTest, SettingTheLanguageIsRememberedButTheTableIsReadOnce) {
    load("[Run]\nDefaultLanguage=English\n[English]\nCaption=Before\n");
    EXPECT_TRUE(app::setLanguage("SimpleChinese"));
    EXPECT_EQ(app::currentLanguage(), "SimpleChinese");
    EXPECT_EQ(app::readSetting(dir.file("config.ini"), "Run", "DefaultLanguage"), "SimpleChinese");
    // Editing the file while the program runs changes nothing until the next start.
    app::writeSetting(dir.file("config.ini"), "English", "Caption", "After");
    app::setLanguage("English");
    EXPECT_EQ(messageText(app::MsgCaption), "Before");
}

}  // namespace
