// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/messages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "app/config.h"
#include "tests/support/temp_dir.h"
#include "util/text_codec.h"

using app::messageText;
using testsupport::readFile;
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

// The user's folders of these tests, set as XDG_CONFIG_HOME and XDG_STATE_HOME.
class UserFoldersTest : public MessagesTest {
  protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        setenv("XDG_STATE_HOME", state.path().c_str(), 1);
        load(
            "[Run]\nDefaultLanguage=English\nDefaultChipName=EN25T80\n"
            "[English]\nLogFile=chipwright.log\nDataBaseFile=chips.cwdb\n");
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_STATE_HOME");
    }
    std::string userIni() const { return config.file("chipwright/config.ini"); }
    TempDir config;
    TempDir state;
};

TEST_F(UserFoldersTest, AnInstalledProgramKeepsItsSettingsAndLogInTheUsersFolders) {
    const std::string shipped = readFile(dir.file("config.ini"));
    writeFile(dir.file(app::kInstalledMarkerName), "");
    app::loadMessageTable(dir.dir());
    EXPECT_EQ(messageText(app::MsgLogFile), state.file("chipwright/chipwright.log"));
    EXPECT_EQ(messageText(app::MsgDatabaseFile), dir.dir() + "chips.cwdb");
    struct stat st {};
    ASSERT_EQ(stat(state.file("chipwright").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The default chip the start-up applies again is not copied into the user's file.
    EXPECT_TRUE(app::rememberDefaultChip("EN25T80"));
    EXPECT_FALSE(std::filesystem::exists(userIni()));
    EXPECT_TRUE(app::setLanguage("SimpleChinese"));
    EXPECT_TRUE(app::rememberDefaultChip("W25Q64JV"));
    EXPECT_EQ(app::configPath(), userIni());
    EXPECT_EQ(readFile(userIni()),
              "[Run]\nDefaultLanguage=SimpleChinese\nDefaultChipName=W25Q64JV\n");
    EXPECT_EQ(readFile(dir.file("config.ini")), shipped);

    // The user's values are read over the shipped ones; what they lack comes from there.
    writeFile(userIni(), "[Run]\nDefaultLanguage=SimpleChinese\n");
    app::writeSetting(dir.file("config.ini"), "Run", "DefaultChipName", "W25Q128JV");
    app::loadMessageTable(dir.dir());
    EXPECT_EQ(app::currentLanguage(), "SimpleChinese");
    EXPECT_EQ(messageText(app::MsgDefaultChipName), "W25Q128JV");
}

TEST_F(UserFoldersTest, AProgramInTheBuildFolderKeepsEverythingBesideItself) {
    EXPECT_EQ(messageText(app::MsgLogFile), dir.dir() + "chipwright.log");
    EXPECT_TRUE(app::setLanguage("SimpleChinese"));
    struct stat before {};
    ASSERT_EQ(stat(dir.file("config.ini").c_str(), &before), 0);
    EXPECT_TRUE(app::rememberDefaultChip("EN25T80"));
    struct stat after {};
    ASSERT_EQ(stat(dir.file("config.ini").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a value the file holds is not written again";
    EXPECT_EQ(app::configPath(), dir.file("config.ini"));
    EXPECT_EQ(app::readSetting(dir.file("config.ini"), "Run", "DefaultLanguage"), "SimpleChinese");
    EXPECT_TRUE(std::filesystem::is_empty(config.path()));
    EXPECT_TRUE(std::filesystem::is_empty(state.path()));
}

}  // namespace
