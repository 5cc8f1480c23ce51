// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What stands between this user and each programmer, in plain words, with the command
// that fixes it: no udev rule installed, the rule installed after the programmer was
// plugged in, a node this user's groups do not reach, a kernel driver or another program
// holding it. The terminal's doctor and the window's programmer access dialog both show
// this one diagnosis.

#include <string>
#include <vector>

#include "link/libusb/access_check.h"

namespace usblink {

// The udev rule's install line, as the README gives it.
constexpr const char* kUdevInstallLine =
    "sudo install -m 644 resources/linux/60-chipwright.rules /etc/udev/rules.d/ && sudo "
    "udevadm control --reload-rules && sudo udevadm trigger";

struct AccessFinding {
    std::string place;
    std::string node;
    bool openable = false;
    // "none", "no-udev-rule", "plugged-in-before-rule", "no-group-access",
    // "access-denied", "kernel-driver", "in-use", "unplugged", "other"
    std::string problem = "none";
    std::string reason;  // the backend's own text
    std::string explanation;
    std::string fix;  // a command, or what to do
    std::string kernelDriver;
    // What the explanation names, for a front end that words it in another language:
    // the udev rule found, and for a node closed to this user its mode (0660), group
    // and the user's name.
    std::string rule;
    std::string mode;
    std::string group;
    std::string user;
    // Open in the caller's own link (see examineAccess).
    bool heldByCaller = false;
};

// What was found: each programmer, the udev rule, and why none is listed if none is.
struct AccessExamination {
    std::vector<AccessFinding> findings;
    std::string rule;
    std::string none;
    bool anyOpenable() const;
};

// One programmer's access in words, given the udev rule found ("" for none).
AccessFinding explainAccess(const ProgrammerAccess& access, const std::string& rule);

// Why no programmer is listed when the bus lists none (at `place` when it is not empty).
std::string noProgrammerText(const std::string& place);

// Opens the bus and looks at every programmer on it (only the one at `place` when it is
// not empty). The one at `heldPath`, which a link of the caller's holds open
// (UsbLink::openPath), is openable, not in use by another program.
AccessExamination examineAccess(const std::string& place = {}, const std::string& heldPath = {});

}  // namespace usblink
