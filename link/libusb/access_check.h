// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What stands between this user and the programmers on the bus, as facts for a front end
// to put into words: each programmer is opened and claimed the way the link does it
// (through LibusbBus) and let go at once; for one that did not open, the device node's
// permissions, the kernel driver bound to its interface and the udev rules installed
// tell why.

#include <sys/types.h>

#include <string>
#include <vector>

#include "link/libusb/libusb_bus.h"

namespace usblink {

struct ProgrammerAccess {
    std::string path;   // the device path the link opens
    std::string place;  // where it sits: "1-4"
    // OpenFailure::None: this user can open the programmer now.
    OpenFailure failure = OpenFailure::None;
    std::string reason;  // the backend's text for the failure
    // The usbfs device node, "/dev/bus/usb/001/004"; empty when sysfs does not say.
    std::string node;
    bool nodeKnown = false;  // the node exists and its status could be read
    mode_t nodeMode = 0;     // permission bits
    uid_t nodeOwner = 0;
    gid_t nodeGroup = 0;
    // This user may read and write the node by its mode: as its owner, through its
    // group, or as anyone else (root always may).
    bool nodeOpenToUser = false;
    // The kernel driver bound to interface 0 ("usbfs" is a program's claim); empty when
    // none or unknown.
    std::string kernelDriver;
    // The caller's own link holds it open: it was not opened again, which would fail as
    // in use by the caller itself.
    bool heldByCaller = false;
};

// Every programmer the bus lists (only the one at `place` when it is not empty). The one
// at `heldPath`, the device path of a link of the caller's, is taken as open to it.
std::vector<ProgrammerAccess> checkProgrammerAccess(LibusbBus& bus, const std::string& place = {},
                                                    const std::string& heldPath = {});

// Where udev reads its rules, the administrator's folder first.
std::vector<std::string> udevRuleFolders();

// The first "*.rules" file in `folders` that names the programmer's vendor and product IDs
// (10c4 and f5a2, in any case); empty when none does.
std::string findUdevRule(const std::vector<std::string>& folders);

}  // namespace usblink
