// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/libusb/access_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "link/device_finder.h"

namespace usblink {
namespace {

constexpr const char* kSysfsDevices = "/sys/bus/usb/devices/";

std::string lowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// One sysfs attribute of the device at `place` as a number; -1 when it cannot be read.
int sysfsNumber(const std::string& place, const char* attribute) {
    std::ifstream in(kSysfsDevices + place + "/" + attribute);
    int value = -1;
    if (!(in >> value))
        return -1;
    return value;
}

// The driver bound to interface 0 of the device at `place`, from sysfs; empty when none.
std::string interfaceDriver(const std::string& place) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(kSysfsDevices + place + ":1.0/driver", error);
    return error ? std::string() : target.filename().string();
}

bool userMayUse(const struct stat& st) {
    constexpr mode_t kOwnerRw = S_IRUSR | S_IWUSR;
    constexpr mode_t kGroupRw = S_IRGRP | S_IWGRP;
    constexpr mode_t kOtherRw = S_IROTH | S_IWOTH;
    if (geteuid() == 0)
        return true;
    if (st.st_uid == geteuid())
        return (st.st_mode & kOwnerRw) == kOwnerRw;
    bool inGroup = st.st_gid == getegid();
    if (!inGroup) {
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
        const int n = getgroups(static_cast<int>(groups.size()), groups.data());
        inGroup =
            n > 0 && std::find(groups.begin(), groups.begin() + n, st.st_gid) != groups.begin() + n;
    }
    if (inGroup)
        return (st.st_mode & kGroupRw) == kGroupRw;
    return (st.st_mode & kOtherRw) == kOtherRw;
}

}  // namespace

std::vector<ProgrammerAccess> checkProgrammerAccess(LibusbBus& bus, const std::string& place,
                                                    const std::string& heldPath) {
    std::vector<ProgrammerAccess> found;
    for (const std::string& path : bus.devicePaths()) {
        ProgrammerAccess a;
        a.path = path;
        a.place = devicePlace(path);
        if (!place.empty() && a.place != place)
            continue;
        const int busNumber = sysfsNumber(a.place, "busnum");
        const int address = sysfsNumber(a.place, "devnum");
        if (busNumber > 0 && address > 0) {
            char node[40];
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", busNumber, address);
            a.node = node;
            struct stat st {};
            if (::stat(node, &st) == 0) {
                a.nodeKnown = true;
                a.nodeMode = st.st_mode & 07777;
                a.nodeOwner = st.st_uid;
                a.nodeGroup = st.st_gid;
                a.nodeOpenToUser = userMayUse(st);
            }
        }
        // Opened and claimed exactly as the link does it, and let go at once.
        a.heldByCaller = !heldPath.empty() && path == heldPath;
        if (!a.heldByCaller && bus.openDevice(path) == nullptr) {
            a.failure = bus.lastOpenFailure();
            a.reason = bus.lastError();
        }
        a.kernelDriver = interfaceDriver(a.place);
        found.push_back(std::move(a));
    }
    return found;
}

std::vector<std::string> udevRuleFolders() {
    return {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"};
}

std::string findUdevRule(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        std::error_code error;
        std::vector<std::filesystem::path> files;
        // Not the range form: its increment throws on an unreadable entry.
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            if (it->path().extension() == ".rules")
                files.push_back(it->path());
        }
        // udev reads them in the order of their names.
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            std::ifstream in(file);
            std::string line;
            while (std::getline(in, line)) {
                const std::string l = lowerAscii(line);
                const std::size_t first = l.find_first_not_of(" \t");
                if (first != std::string::npos && l[first] != '#' &&
                    l.find("10c4") != std::string::npos && l.find("f5a2") != std::string::npos) {
                    return file.string();
                }
            }
        }
    }
    return {};
}

}  // namespace usblink
