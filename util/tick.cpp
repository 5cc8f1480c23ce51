// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/tick.h"

#include <chrono>

namespace util {

std::uint64_t tickMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace util
