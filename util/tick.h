// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's monotonic millisecond clock, used for transfer deadlines and
// log time stamps. 64 bits wide, so it never wraps while the program runs
// (a 32-bit tick count wraps after 49.7 days of uptime).

#include <cstdint>

namespace util {

std::uint64_t tickMs();

}  // namespace util
