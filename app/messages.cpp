// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/messages.h"

#include <array>

#include "app/config.h"

namespace app {
namespace {

struct FixedEntry {
    int key;
    const char* chinese;
    const char* english;
};

// The texts are exact, blanks and full-width punctuation included.
constexpr FixedEntry kFixedEntries[kMessageCount] = {
    {0, "编程器器正忙，请稍后再试!", "Programmer is busy, please wait a moment!"},
    {1, "未发现有编程器连接到电脑!", "No programmer linked to computer!"},
    {2, "打开文件", "Open File"},
    {3, "保存到文件", "Save File"},
    {4, "填充缓冲区", "Buffer Fill"},
    {5, "高低字节交换", "Byte Swap"},
    {6, "自动完成", "Auto"},
    {7, "擦除芯片", "Erase Chip"},
    {8, "写芯片", "Write Chip"},
    {9, "校验芯片", "Verify Chip"},
    {10, "读芯片", "Read Chip"},
    {11, "检测芯片型号", "Detect Chip"},
    {12, "读固件版本", "Read Firmware Version"},
    {13, "固件升级", "Updata Firmware"},
    {14, "用户手册", "User Manual"},
    {15, "关于", "About"},
    {16, "器件信息数据库加载失败!", "Database error!"},
    {17, "内存不足!", "Memory overflow!"},
    {18, "找不到帮助文件!", "No manual file!"},
    {19, "输入格式错误!", "Address format error!"},
    {20, "开始地址超出范围!", "Start address error!"},
    {21, "文件长度超出范围, 超出部分将被忽略!", "File is too long!"},
    {22, "加载文件!", "Load file!"},
    {23, "取消加载文件!", "Load file cancel!"},
    {24, "文件打开失败!", "Open file error!"},
    {25, "保存文件!", "Save file!"},
    {26, "取消保存文件!", "Save file cancel!"},
    {27, "保存文件成功!", "Save file successful!"},
    {28, "自动编程!", "Auto!"},
    {29, "读芯片!", "Read chip!"},
    {30, "读芯片出错!", "Read chip error!"},
    {31, "正在读芯片...", "Reading..."},
    {32, "读芯片成功!", "Read chip ok!"},
    {33, "擦除芯片!", "Erase chip!"},
    {34, "擦除芯片出错!", "Erase chip error!"},
    {35, "正在擦除芯片...", "Erasing..."},
    {36, "擦除芯片成功!", "Erase chip ok!"},
    {37, "写芯片!", "Write chip!"},
    {38, "写芯片出错!", "Write chip error!"},
    {39, "正在写芯片...", "Writing..."},
    {40, "写芯片成功!", "Write chip ok!"},
    {41, "校验芯片!", "Verify chip!"},
    {42, "校验芯片出错!", "Verify chip error!"},
    {43, "正在校验芯片...", "Verifying..."},
    {44, "校验芯片成功!", "Verify chip ok!"},
    {45, "地  址:", "Addr:"},
    {46, "缓冲区:", " Buf:"},
    {47, "芯  片:", "Chip:"},
    {48, "识别芯片!", "Detect chip!"},
    {49, "检测芯片型号出错!", "Detect chip error!"},
    {50,
     "探测芯片型号出错!\r\n自动识别功能仅适用于部分厂商的25系列芯片!"
     "\r\n对于探测出错的芯片，请手动选择正确型号!...",
     "Detect chip error!"},
    {51, "无法检测该芯片型号!", "Chip type is unknown!"},
    {52, "检测到芯片:", "Chip type:"},
    {53, "获取固件版本!", "Read firmware version!"},
    {54, "读固件版本号出错!", "Read firmware version error!"},
    {55, "固件版本号: ", "Firmware version: "},
    {56, "自检!", "Auto test!"},
    {57, "测试开始!", "Auto test start!"},
    {58, "测试出错!", "Auto test error!"},
    {59, "测试结果:", "Auto test result:"},
    {60, "测试结果: 编程器一切正常!", "Auto test result: Hardware is OK!"},
    {61, "测试结果: 编程器有硬件故障!", "Auto test result: Hardware has some problems!"},
    {62, "固件升级!", "Firmware updata!"},
    {63, "固件升级文件", "Updata File"},
    {64, "打开文件失败!", "Open file error!"},
    {65, "文件格式错误!", "File format error!"},
    {66, "等待设备连接!", "Wait for linking!"},
    {67, "请先断开编程器，点“确定”按钮后，10秒钟内连接编程器!",
     "Please click \"OK\", and link programmer to computer in 10 seconds!"},
    {68, "升级失败!", "Firmware updata error!"},
    {69, "正在升级固件...", "Firmware updating..."},
    {70, "升级固件完成!", "Firmware updata ok!"},
    {71, "查找芯片!", "Search chip!"},
    {72, "取消查找芯片!", "Search chip cancel!"},
    {73, "(高8位在前，低8位在后)", "(High 8 bits first, low 8 bits followed)"},
    {74, "器件:", "Chip:"},
    {75, "厂商:", "Manu"},
    {76, "器件选择", "Select Chip"},
    {77, "类型:", "Type:"},
    {78, "厂商:", "Manu:"},
    {79, "器件:", "Chip:"},
    {80, "容量:", "Capacity:"},
    {81, "芯片查找...", "Search..."},
    {82, "语言设置为简体中文!", "Set language to english!"},
    {83, "", ""},  // from config.ini
    {84, "", ""},  // from config.ini
    {85, "", ""},  // from config.ini
    {86, "", ""},  // from config.ini
    {87, "确  定", "OK"},
    {88, "", ""},  // from config.ini
    {89, "", ""},  // from config.ini
    {90, "", ""},  // from config.ini
    {91, "", ""},  // from config.ini
    {92, "", ""},  // from config.ini
    {93, "", ""},  // from config.ini
    {94, "关于(&A)...", "About(&A)..."},
    {95, "缓冲区填充", "Buffer Fill"},
    {96, "地址(16进制):", "Addr(HEX):"},
    {97, "长度(16进制):", " Len(HEX):"},
    {98, "数据(16进制):", "Data(HEX):"},
    {99, "确定", "OK"},
    {100, "取消", "Cancel"},
    {101, "查找芯片...", "Search chip..."},
    {102, "器件名称:", "Chip Name:"},
    {103, "不区分大小写，支持‘*’通配符，例如: EN25*80",
     "Case insensitive,and support wildcard character '*',for example:EN25*80"},
    {104, "选  择", "Select"},
    {105, "取  消", "Cancel"},
    {106, "芯片名称", "Chip Name"},
    {107, "容量", "Capacity"},
    {108, "厂商", "Manu"},
    {109, "类型", "Type"},
    {110, "共找到 ", "Find "},
    {111, " 个结果!", " Chips!"},
    {112, "请选择芯片型号!", "Please select a chip!"},
};

struct AddedEntry {
    AddedMessage key;
    const char* chinese;
    const char* english;
};

constexpr AddedEntry kAddedEntries[kAddedMessageCount] = {
    {MsgDiscardUnsavedBuffer, "缓冲区的数据已修改，尚未保存。放弃这些修改并退出吗?",
     "The buffer has changed since it was last loaded or saved. Discard the changes and exit?"},
    {MsgNoManualViewer, "无法打开用户手册: 没有可打开该文件的程序!",
     "Cannot open the user manual: no program to open it!"},
};

static_assert([] {
    for (int i = 0; i < kAddedMessageCount; ++i) {
        if (kAddedEntries[i].key != i)
            return false;
    }
    return true;
}());

static_assert([] {
    for (int i = 0; i < kMessageCount; ++i) {
        if (kFixedEntries[i].key != i)
            return false;
    }
    return true;
}());

struct ConfiguredKey {
    int key;
    const char* name;
    bool isFile;  // stored as the program's folder followed by the value
};

// In the order they are read at start.
constexpr ConfiguredKey kConfiguredKeys[] = {
    {MsgCaption, "Caption", false},
    {MsgVersion, "Version", false},
    {MsgCompany, "Company", false},
    {MsgWebsite, "Website", false},
    {MsgLogFile, "LogFile", true},
    {MsgDatabaseFile, "DataBaseFile", true},
    {MsgManualFile, "ManualFile", true},
    {MsgAboutPictureFile, "AboutPictureFile", true},
    {MsgMainPictureFile, "MainPictureFile", true},
};

constexpr bool isConfigured(int key) {
    return (key >= MsgCaption && key <= MsgWebsite) ||
           (key >= MsgLogFile && key <= MsgDefaultChipName);
}

// The [Run] key of the window's backup before a command changes the chip: "1" is on.
constexpr const char* kBackupKey = "BackupBeforeChange";

struct MessageTable {
    // Texts read from config.ini, by key: [0] Chinese, [1] English.
    std::array<std::array<std::string, 2>, kMessageCount> configured;
    std::string language;
    std::string iniPath;  // the shipped config.ini beside the program
    // Installed: the user's own config.ini, which holds only the settings the program
    // writes and is read over the shipped one. Else the shipped file itself.
    bool installed = false;
    std::string settingsPath;
    bool backupBeforeChanges = false;
};

MessageTable& table() {
    static MessageTable instance;
    return instance;
}

// A [Run] setting the program writes. An installed program takes the user's value
// where there is one, and the shipped one else, so that an upgrade's new shipped
// values apply until the user picks one of their own.
std::string runSetting(const MessageTable& t, std::string_view key) {
    if (t.installed && !t.settingsPath.empty()) {
        std::string own = readSetting(t.settingsPath, "Run", key);
        if (!own.empty())
            return own;
    }
    return readSetting(t.iniPath, "Run", key);
}

bool writeRunSetting(std::string_view key, std::string_view value) {
    const MessageTable& t = table();
    // A value the file already holds is not written again: the start-up applies the
    // default chip at every start, and would rewrite the file and sync it to the disk
    // each time, on the way to the window's first paint.
    if (!t.installed)
        return readSetting(t.iniPath, "Run", key) == value ||
               writeSetting(t.iniPath, "Run", key, value);
    if (t.settingsPath.empty())
        return false;
    // A value already in effect is not copied into the user's file: the start-up
    // applies the default chip at every start, and that must not pin the shipped one.
    if (runSetting(t, key) == value)
        return true;
    makeUserFolder(userConfigDirectory());
    return writeSetting(t.settingsPath, "Run", key, value);
}

}  // namespace

void loadMessageTable(const std::string& programDir) {
    MessageTable& t = table();
    t = MessageTable{};
    t.iniPath = programDir + kConfigFileName;
    t.installed = isInstalledProgram(programDir);
    t.settingsPath = t.iniPath;
    std::string logDir = programDir;
    if (t.installed) {
        const std::string configDir = userConfigDirectory();
        t.settingsPath = configDir.empty() ? std::string() : configDir + kConfigFileName;
        logDir = userStateDirectory();
        if (!makeUserFolder(logDir))
            logDir.clear();
    }
    for (const ConfiguredKey& entry : kConfiguredKeys) {
        std::string english = readSetting(t.iniPath, kLanguageEnglish, entry.name);
        std::string chinese = readSetting(t.iniPath, kLanguageChinese, entry.name);
        if (entry.key == MsgLogFile) {
            // No folder for the log: its entries are dropped, never written elsewhere.
            english = logDir.empty() ? std::string() : logDir + english;
            chinese = logDir.empty() ? std::string() : logDir + chinese;
        } else if (entry.isFile) {
            english = programDir + english;
            chinese = programDir + chinese;
        }
        t.configured[entry.key] = {chinese, english};
    }
    std::string chip = runSetting(t, "DefaultChipName");
    t.configured[MsgDefaultChipName] = {chip, chip};
    t.language = runSetting(t, "DefaultLanguage");
    t.backupBeforeChanges = runSetting(t, kBackupKey) == "1";
}

std::string messageText(int key) {
    if (key < 0 || key >= kMessageCount)
        return {};
    const MessageTable& t = table();
    int column;
    if (t.language == kLanguageChinese) {
        column = 0;
    } else if (t.language == kLanguageEnglish) {
        column = 1;
    } else {
        return {};
    }
    if (isConfigured(key))
        return t.configured[key][column];
    const FixedEntry& fixed = kFixedEntries[key];
    return column == 0 ? fixed.chinese : fixed.english;
}

std::string addedMessageText(AddedMessage key) {
    if (key < 0 || key >= kAddedMessageCount)
        return {};
    const std::string& language = table().language;
    if (language == kLanguageChinese)
        return kAddedEntries[key].chinese;
    if (language == kLanguageEnglish)
        return kAddedEntries[key].english;
    return {};
}

std::string currentLanguage() {
    return table().language;
}

bool setLanguage(std::string_view name) {
    table().language = std::string(name);
    return writeRunSetting("DefaultLanguage", name);
}

bool backupBeforeChanges() {
    return table().backupBeforeChanges;
}

bool setBackupBeforeChanges(bool on) {
    table().backupBeforeChanges = on;
    return writeRunSetting(kBackupKey, on ? "1" : "0");
}

std::string backupFolder() {
    const std::string data = userDataDirectory();
    return data.empty() ? std::string() : data + "backups";
}

bool rememberDefaultChip(std::string_view name) {
    return writeRunSetting("DefaultChipName", name);
}

void useLanguage(std::string_view name) {
    table().language = std::string(name);
}

std::string configPath() {
    return table().settingsPath;
}

}  // namespace app
