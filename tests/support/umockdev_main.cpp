// SPDX-License-Identifier: GPL-3.0-or-later
// main() of the test programs that emulate the programmer behind usbfs: umockdev works
// through its preload library, which must be in place before the process starts, so the
// program runs itself again with it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) {
        std::string list = "libumockdev-preload.so.0";
        if (preload && *preload)
            list = std::string(preload) + ":" + list;
        setenv("LD_PRELOAD", list.c_str(), 1);
        // Under AddressSanitizer the preload comes before the sanitizer's runtime.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        if (asan.find("verify_asan_link_order") == std::string::npos)
            asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot run again with libumockdev-preload.so.0");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
