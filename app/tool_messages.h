// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The texts of the window's Tools menu and its dialogs, in the two languages of the
// numbered message table. They live in a table of their own so that the numbered table
// and the added texts stay exactly as they are.

#include <string>

namespace app {

enum ToolText : int {
    TxtToolsMenu,
    TxtVerifyAllItem,
    TxtReadTwiceItem,
    TxtBlankCheckItem,
    TxtIdentifyItem,
    TxtVerifyAllTitle,
    TxtReadTwiceTitle,
    TxtBlankCheckTitle,
    TxtIdentifyTitle,
    TxtColumnStart,
    TxtColumnEnd,
    TxtColumnBytes,
    TxtChipMatches,
    TxtDifferenceTotals,  // %1 ranges, %2 bytes
    TxtListedFirst,       // %1 listed
    TxtDiagnosis,         // %1 code
    TxtBufferSums,        // %1 CRC-32, %2 SHA-256
    TxtChipSums,          // %1 CRC-32, %2 SHA-256
    TxtJumpHint,
    TxtSaveReport,
    TxtClose,
    TxtReportSaveFailed,  // %1 path
    TxtReadsAgree,
    TxtReadsDiffer,
    TxtChipBlank,
    TxtChipNotBlank,  // %1 first address, %2 bytes
    TxtIdsAre,        // %1 manufacturer, %2 device
    TxtNoContact,
    TxtNoRecord,
    TxtSelect,
    TxtBackupItem,
    TxtBackupFolderTip,  // %1 folder
    TxtBackupFailed,     // %1 folder
    TxtAccessItem,
    TxtAccessTitle,
    TxtColumnProgrammer,
    TxtColumnOpenable,
    TxtColumnWhyNot,
    TxtColumnFix,
    TxtYes,
    TxtNo,
    TxtUdevRuleIs,  // %1 rule file
    TxtNoUdevRule,
    TxtCopyFix,
    TxtAccessSimulated,
    TxtOpenInThisWindow,
    kToolTextCount,
};

// The text in the current language; empty for an unrecognised language.
std::string toolText(ToolText key);

// A diagnosis as the window words it: what the cause means and what to do about it,
// keyed by the cause's code ("no-chip", "unstable", ...); empty for an unknown code.
struct CauseText {
    std::string explanation;
    std::string suggestion;
};
CauseText causeText(const std::string& code);

// Why a programmer cannot be opened, as the window words it, keyed by the access
// diagnosis's problem ("no-udev-rule", "in-use", ...; "driver-bound" for an openable
// one a kernel driver holds): the explanation, and what to do where that is no command
// (empty where the diagnosis's own command is the fix). The placeholders, in order:
//   no-group-access: %1 node, %2 mode, %3 group, %4 user (and "seat-login": %1 rule)
//   plugged-in-before-rule: %1 rule, %2 node, %3 mode
//   access-denied: %1 rule, %2 node
//   kernel-driver, driver-bound: %1 driver
//   in-use: the fix's %1 node
// Both empty for an unknown problem ("other" keeps the backend's own words).
CauseText accessText(const std::string& problem);

}  // namespace app
