// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// `chipwright-cli doctor`: what stands between the user and the programmer, in plain
// words, with the command that fixes it: each programmer on the bus (by its place, e.g.
// 1-4, the name --device takes), whether this user can open it and, when not, why — no
// udev rule installed, the rule installed after the programmer was plugged in, a node
// this user's groups do not reach, a kernel driver or another program holding it.
// Exit 0 when a programmer (the one --device names) can be opened, 4 when none can.

#include "cli/options.h"
#include "cli/run.h"
#include "link/libusb/access_diagnosis.h"

namespace cli {

// The udev rule's install line, as the README gives it.
constexpr const char* kUdevInstallLine = usblink::kUdevInstallLine;

int runDoctor(const Options& options, const Streams& streams);

}  // namespace cli
