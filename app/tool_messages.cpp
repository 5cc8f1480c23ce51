// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/tool_messages.h"

#include <iterator>

#include "app/messages.h"

namespace app {
namespace {

struct ToolEntry {
    ToolText key;
    const char* chinese;
    const char* english;
};

constexpr ToolEntry kToolEntries[kToolTextCount] = {
    {TxtToolsMenu, "工具(&T)", "Tools(&T)"},
    {TxtVerifyAllItem, "校验并列出全部差异(&V)", "Verify, All Differences(&V)"},
    {TxtReadTwiceItem, "读两次并比较(&R)", "Read Twice and Compare(&R)"},
    {TxtBlankCheckItem, "查空(&B)", "Blank Check(&B)"},
    {TxtIdentifyItem, "识别芯片(&I)", "Identify Chip(&I)"},
    {TxtVerifyAllTitle, "校验: 全部差异", "Verify: all differences"},
    {TxtReadTwiceTitle, "读两次并比较", "Read twice and compare"},
    {TxtBlankCheckTitle, "查空", "Blank check"},
    {TxtIdentifyTitle, "识别芯片", "Identify chip"},
    {TxtColumnStart, "起始地址", "Start"},
    {TxtColumnEnd, "结束地址", "End"},
    {TxtColumnBytes, "字节数", "Bytes"},
    {TxtChipMatches, "芯片与缓冲区一致。", "The chip matches the buffer."},
    {TxtDifferenceTotals, "共 %1 处差异，%2 字节不同。", "%1 differing ranges, %2 bytes in all."},
    {TxtListedFirst, "(列出前 %1 处)", "(the first %1 listed)"},
    {TxtDiagnosis, "诊断: %1", "Diagnosis: %1"},
    {TxtBufferSums, "缓冲区  CRC-32 %1  SHA-256 %2", "Buffer  CRC-32 %1  SHA-256 %2"},
    {TxtChipSums, "芯片    CRC-32 %1  SHA-256 %2", "Chip    CRC-32 %1  SHA-256 %2"},
    {TxtJumpHint, "双击一行，在缓冲区中显示该处。",
     "Double-click a line to show it in the buffer."},
    {TxtSaveReport, "保存报告...", "Save report..."},
    {TxtClose, "关闭", "Close"},
    {TxtReportSaveFailed, "无法保存报告: %1", "Cannot save the report: %1"},
    {TxtReadsAgree, "两次读取一致，缓冲区已读入芯片的数据。",
     "Both reads agree: the buffer holds the chip's data."},
    {TxtReadsDiffer, "两次读取不一致，缓冲区保持不变。不稳定的地址:",
     "The reads differ: the buffer is left as it was. Unstable addresses:"},
    {TxtChipBlank, "芯片为空 (全部为 FF)。", "The chip is blank (all FF)."},
    {TxtChipNotBlank, "芯片不为空: 第一个非空字节在 %1，共 %2 字节非空。",
     "The chip is not blank: the first byte that is not FF is at %1; %2 bytes are not FF."},
    {TxtIdsAre, "芯片 ID: %1 %2", "Chip IDs: %1 %2"},
    {TxtNoContact, "没有芯片回答，或接触不良。", "No chip answers, or it has no contact."},
    {TxtNoRecord, "数据库中没有带这组 ID 的芯片。", "No chip in the database carries these IDs."},
    {TxtSelect, "选择", "Select"},
    {TxtBackupItem, "改动芯片前先备份(&K)", "Back Up Before Changing the Chip(&K)"},
    {TxtBackupFolderTip, "备份保存在 %1", "Backups are saved in %1"},
    {TxtBackupFailed, "芯片没有备份成功，所以没有改动芯片，命令未执行。备份文件夹: %1",
     "The chip could not be backed up, so the command did not run and the chip is "
     "unchanged. Backup folder: %1"},
    {TxtAccessItem, "编程器访问权限(&A)", "Programmer Access(&A)"},
    {TxtAccessTitle, "编程器访问权限", "Programmer access"},
    {TxtColumnProgrammer, "编程器", "Programmer"},
    {TxtColumnOpenable, "能否打开", "Can be opened"},
    {TxtColumnWhyNot, "原因", "Why not"},
    {TxtColumnFix, "解决命令", "Fix"},
    {TxtYes, "能", "Yes"},
    {TxtNo, "不能", "No"},
    {TxtUdevRuleIs, "udev 规则: %1", "udev rule: %1"},
    {TxtNoUdevRule, "没有安装 udev 规则。", "No udev rule is installed."},
    {TxtCopyFix, "复制命令", "Copy command"},
    {TxtAccessSimulated,
     "本窗口使用的是模拟编程器 (--simulate)，不需要 USB 访问权限。下面列出的只是 USB "
     "总线上的真实编程器。",
     "This window uses the simulated programmer (--simulate), which needs no USB access. "
     "What follows is about real programmers on the USB bus only."},
    {TxtOpenInThisWindow, "已在本窗口中打开", "Open in this window"},
};

static_assert([] {
    for (int i = 0; i < kToolTextCount; ++i) {
        if (kToolEntries[i].key != i)
            return false;
    }
    return true;
}());

struct CauseEntry {
    const char* code;
    const char* chinese[2];
    const char* english[2];
};

constexpr CauseEntry kCauseEntries[] = {
    {"no-chip",
     {"芯片读出全为 FF 或全为 00，或 ID 为 FF FF / 00 00: 没有芯片回答。",
      "检查芯片或夹子是否放好、方向是否正确、每个引脚是否接触良好。"},
     {"The chip reads all FF or all 00, or its IDs read FF FF or 00 00: no chip answers.",
      "Check that a chip sits in the socket or clip, the right way round, with every pin in "
      "contact."}},
    {"not-erased",
     {"数据要求为 1 的位读出为 0: 芯片保留了旧内容，写入前没有擦除。",
      "写入前先擦除芯片，或使用\"自动完成\"(擦除、写入并校验)。"},
     {"Bits the data wants 1 read 0: the chip keeps bits of its old content, as writing "
      "without an erase leaves it.",
      "Erase the chip before writing, or use Auto, which erases, writes and verifies."}},
    {"write-no-effect",
     {"写入没有效果: 芯片仍是写入前的内容，芯片处于写保护状态。",
      "解除芯片的写保护 (状态寄存器保护位、WP 引脚) 后重新写入。"},
     {"The write had no effect: the chip reads as before it, or bits the data wants 0 are "
      "still 1. The chip is write-protected.",
      "Clear the chip's write protection (status register protect bits, WP pin) and write "
      "again."}},
    {"erase-no-effect",
     {"擦除后芯片不为空: 擦除没有效果。",
      "解除芯片的写保护 (状态寄存器保护位、WP 引脚) 后重新擦除。"},
     {"The chip is not blank right after the erase: the erase had no effect.",
      "Clear the chip's write protection (status register protect bits, WP pin) and erase "
      "again."}},
    {"unstable",
     {"两次读取芯片的结果不同: 接触不稳定。",
      "重新夹好夹子或芯片，缩短连线，再用\"读两次并比较\"读取。"},
     {"Two reads of the chip differ: the contact is unstable.",
      "Reseat the clip or the chip, shorten the wires, then read again with Read Twice and "
      "Compare."}},
    {"wraps",
     {"芯片的后半部分重复前半部分: 插座中的芯片可能比所选型号小。",
      "核对芯片上的型号，选择该型号。"},
     {"The second half of the chip repeats the first: the chip in the socket may be smaller "
      "than the one selected.",
      "Read the part number on the chip and select that chip."}},
    {"unknown",
     {"没有找到可能的原因: 差异不符合未擦除、写保护、接触不良或型号错误的特征。",
      "读出芯片，与文件比较。"},
     {"No likely cause found: the chip differs from the data in no pattern a missing erase, "
      "write protection, a loose contact or a wrong chip leaves.",
      "Read the chip and compare it with the file."}},
};

// The access diagnosis as the window words it; the doctor prints its own words.
constexpr CauseEntry kAccessEntries[] = {
    {"no-group-access",
     {"%1 (权限 %2) 只对 %3 组开放，而用户 %4 不在该组中", ""},
     {"%1 (mode %2) is open to group %3, and %4 is not in it", ""}},
    {"seat-login",
     {"；udev 规则 %1 还把它开放给在本机座席登录的用户，而当前登录不是该用户", ""},
     {"; the udev rule %1 also opens it to the user logged in at the seat, and this login "
      "is not that one",
      ""}},
    {"no-udev-rule",
     {"没有 udev 规则允许当前用户打开它 (/etc/udev/rules.d、/lib/udev/rules.d 和 "
      "/usr/lib/udev/rules.d 中都没有提到 10c4/f5a2 的规则)；请从 Chipwright 源代码目录安装 "
      "60-chipwright.rules，然后拔下编程器再插上",
      ""},
     {"no udev rule lets this user open it (none in /etc/udev/rules.d, /lib/udev/rules.d or "
      "/usr/lib/udev/rules.d names 10c4/f5a2); install 60-chipwright.rules from the "
      "Chipwright source folder, then unplug and replug the programmer",
      ""}},
    {"plugged-in-before-rule",
     {"udev 规则 %1 已安装，但 %2 (权限 %3) 还没有按规则设置：编程器是在安装规则之前插上的；"
      "请拔下再插上，或立即应用规则",
      ""},
     {"the udev rule %1 is installed, but %2 (mode %3) does not follow it yet: the programmer "
      "was plugged in before the rule; unplug and replug it, or apply the rule now",
      ""}},
    {"access-denied",
     {"udev 规则 %1 已安装，%2 的权限也允许访问，但访问仍被拒绝 (访问控制列表或安全模块拒绝了它)",
      ""},
     {"access denied although the udev rule %1 is installed and %2's mode allows it (an "
      "access list or a security module refuses it)",
      ""}},
    {"kernel-driver",
     {"内核驱动 %1 占用了它的接口，且无法解除", ""},
     {"the kernel driver %1 holds its interface and could not be detached", ""}},
    {"driver-bound",
     {"内核驱动 %1 绑定在它上面；Chipwright 工作时会将其解除", ""},
     {"the kernel driver %1 is bound to it; Chipwright detaches it while it works", ""}},
    {"in-use",
     {"正被另一个程序使用 (chipwright-cli、Chipwright "
      "窗口或其他工具)；同一时间只能有一个程序使用编程器",
      "等它完成，或结束它 (fuser -v %1 会列出它)"},
     {"in use by another program (a chipwright-cli, the Chipwright window, or another tool); "
      "only one program at a time can use a programmer",
      "wait for it to finish, or end it (fuser -v %1 names it)"}},
    {"unplugged",
     {"检查时它被拔下了", "检查连线，重新插上编程器"},
     {"it went away while it was looked at", "check the cable and plug it in again"}},
    {"other", {"", "拔下编程器再插上"}, {"", "unplug and replug the programmer"}},
};

CauseText wordsOf(const CauseEntry* entries, std::size_t count, const std::string& code, int c) {
    for (std::size_t i = 0; i < count; ++i) {
        if (c >= 0 && code == entries[i].code) {
            const auto& texts = c == 0 ? entries[i].chinese : entries[i].english;
            return {texts[0], texts[1]};
        }
    }
    return {};
}

// 0 for Chinese, 1 for English, -1 for an unrecognised language.
int column() {
    const std::string language = currentLanguage();
    if (language == kLanguageChinese)
        return 0;
    return language == kLanguageEnglish ? 1 : -1;
}

}  // namespace

std::string toolText(ToolText key) {
    const int c = column();
    if (key < 0 || key >= kToolTextCount || c < 0)
        return {};
    return c == 0 ? kToolEntries[key].chinese : kToolEntries[key].english;
}

CauseText causeText(const std::string& code) {
    return wordsOf(kCauseEntries, std::size(kCauseEntries), code, column());
}

CauseText accessText(const std::string& problem) {
    return wordsOf(kAccessEntries, std::size(kAccessEntries), problem, column());
}

}  // namespace app
