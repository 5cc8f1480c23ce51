// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bilingual message table and the current language.
//
// Every text the program shows, apart from menus and toolbar pictures, is
// fetched by number from one table of 113 entries, each with a Simplified
// Chinese and an English text. Eleven entries come from config.ini when the
// table is built: the caption and About texts, and the log, database, manual
// and picture files (the program's folder followed by the configured name), and
// the chip selected at the last run.
//
// The current language is exactly "SimpleChinese" or "English"; any other
// value, the empty one included, is kept as it is and selects no text at all,
// so every message is then empty.

#include <string>
#include <string_view>

namespace app {

constexpr int kMessageCount = 113;

constexpr const char* kLanguageChinese = "SimpleChinese";
constexpr const char* kLanguageEnglish = "English";

// Message keys the code names; the numbers are the table's keys.
enum MessageKey : int {
    MsgProgrammerBusy = 0,
    MsgNoProgrammer = 1,
    MsgOpenFile = 2,
    MsgSaveFile = 3,
    MsgBufferFill = 4,
    MsgByteSwap = 5,
    MsgAuto = 6,
    MsgEraseChip = 7,
    MsgWriteChip = 8,
    MsgVerifyChip = 9,
    MsgReadChip = 10,
    MsgDetectChip = 11,
    MsgReadFirmwareVersion = 12,
    MsgUpdateFirmware = 13,
    MsgUserManual = 14,
    MsgAbout = 15,
    MsgDatabaseError = 16,
    MsgMemoryOverflow = 17,
    MsgNoManualFile = 18,
    MsgAddressFormatError = 19,
    MsgStartAddressError = 20,
    MsgFileTooLong = 21,
    MsgLoadFile = 22,
    MsgLoadFileCancel = 23,
    MsgOpenFileError = 24,
    MsgSaveFileStart = 25,
    MsgSaveFileCancel = 26,
    MsgSaveFileOk = 27,
    MsgAutoStart = 28,
    MsgReadChipStart = 29,
    MsgReadChipError = 30,
    MsgReading = 31,
    MsgReadChipOk = 32,
    MsgEraseChipStart = 33,
    MsgEraseChipError = 34,
    MsgErasing = 35,
    MsgEraseChipOk = 36,
    MsgWriteChipStart = 37,
    MsgWriteChipError = 38,
    MsgWriting = 39,
    MsgWriteChipOk = 40,
    MsgVerifyChipStart = 41,
    MsgVerifyChipError = 42,
    MsgVerifying = 43,
    MsgVerifyChipOk = 44,
    MsgAddr = 45,
    MsgBuf = 46,
    MsgChip = 47,
    MsgDetectChipStart = 48,
    MsgDetectChipError = 49,
    MsgDetectChipFailed = 50,
    MsgChipTypeUnknown = 51,
    MsgChipTypeIs = 52,
    MsgReadFirmwareVersionStart = 53,
    MsgReadFirmwareVersionError = 54,
    MsgFirmwareVersionIs = 55,
    MsgAutoTest = 56,
    MsgAutoTestStart = 57,
    MsgAutoTestError = 58,
    MsgAutoTestResult = 59,
    MsgAutoTestOk = 60,
    MsgAutoTestProblems = 61,
    MsgFirmwareUpdateStart = 62,
    MsgUpdateFile = 63,
    MsgFirmwareOpenError = 64,
    MsgFileFormatError = 65,
    MsgWaitForLinking = 66,
    MsgLinkWithinTenSeconds = 67,
    MsgFirmwareUpdateError = 68,
    MsgFirmwareUpdating = 69,
    MsgFirmwareUpdateOk = 70,
    MsgSearchChip = 71,
    MsgSearchChipCancel = 72,
    MsgHighByteFirst = 73,
    MsgInfoChip = 74,
    MsgInfoManufacturer = 75,
    MsgSelectChip = 76,
    MsgPanelType = 77,
    MsgPanelManufacturer = 78,
    MsgPanelChip = 79,
    MsgPanelCapacity = 80,
    MsgPanelSearch = 81,
    MsgLanguageSet = 82,
    MsgCaption = 83,
    MsgVersion = 84,
    MsgCompany = 85,
    MsgWebsite = 86,
    MsgAboutOk = 87,
    MsgLogFile = 88,
    MsgDatabaseFile = 89,
    MsgManualFile = 90,
    MsgAboutPictureFile = 91,
    MsgMainPictureFile = 92,
    MsgDefaultChipName = 93,
    MsgAboutMenuItem = 94,
    MsgFillTitle = 95,
    MsgFillAddress = 96,
    MsgFillLength = 97,
    MsgFillData = 98,
    MsgFillOk = 99,
    MsgFillCancel = 100,
    MsgSearchTitle = 101,
    MsgSearchChipName = 102,
    MsgSearchHint = 103,
    MsgSearchSelect = 104,
    MsgSearchCancel = 105,
    MsgColumnChipName = 106,
    MsgColumnCapacity = 107,
    MsgColumnManufacturer = 108,
    MsgColumnType = 109,
    MsgFindPrefix = 110,
    MsgFindSuffix = 111,
    MsgPleaseSelectChip = 112,
};

// Texts the program has grown beyond the numbered table, in the same two languages.
// They live apart so that the table's numbers and texts stay exactly as they are.
enum AddedMessage : int {
    // Asked before closing drops a buffer changed since it was last loaded or saved.
    MsgDiscardUnsavedBuffer,
    // Logged when the manual exists but the desktop has no program to open it.
    MsgNoManualViewer,
    kAddedMessageCount,
};

// The added text in the current language; empty for an unrecognised language.
std::string addedMessageText(AddedMessage key);

// Builds the table and reads the current language from `programDir` +
// "config.ini" (`programDir` ends with '/'). Called once at start, before the
// first lookup; tests call it again with folders of their own.
//
// An installed program (kInstalledMarkerName beside it) reads DefaultLanguage and
// DefaultChipName from the user's own config.ini (userConfigDirectory) over the
// shipped one, writes them there, and logs into userStateDirectory under the
// configured LogFile name; every other file stays beside the program.
void loadMessageTable(const std::string& programDir);

// The entry's text in the current language; empty for an unknown key or an
// unrecognised language.
std::string messageText(int key);

std::string currentLanguage();

// Makes `name` the current language and writes it to config.ini at once.
// Returns whether the file was written; the switch takes effect either way.
bool setLanguage(std::string_view name);

// Writes `name` as the chip to select at the next start, where setLanguage writes.
bool rememberDefaultChip(std::string_view name);

// Whether the window backs the chip up before Chip Erase, Write Chip and Auto change it;
// off unless the user turned it on. Remembered where setLanguage writes.
bool backupBeforeChanges();
bool setBackupBeforeChanges(bool on);

// The folder the window's backups go to: "backups" in userDataDirectory; "" when
// there is none.
std::string backupFolder();

// Makes `name` the current language for this run only; config.ini is left as it is.
void useLanguage(std::string_view name);

// The config.ini the settings are written to: the one the table was built from, or
// for an installed program the user's own.
std::string configPath();

}  // namespace app
