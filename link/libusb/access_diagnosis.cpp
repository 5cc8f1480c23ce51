// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/libusb/access_diagnosis.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>

namespace usblink {
namespace {

std::string groupName(gid_t id) {
    const group* g = getgrgid(id);
    return g ? g->gr_name : std::to_string(id);
}

std::string userName() {
    const passwd* p = getpwuid(geteuid());
    return p ? p->pw_name : std::to_string(geteuid());
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

// Why a node this user may not open stays closed, and what opens it.
void explainDenied(const ProgrammerAccess& a, const std::string& rule, const std::string& node,
                   AccessFinding* f) {
    // A node whose group may use it is reached by joining that group, whichever rule
    // made it so. The shipped rule gives it to plugdev, and through uaccess to the user
    // logged in at the seat, which an ssh login or a second session is not.
    if (a.nodeKnown && !a.nodeOpenToUser && (a.nodeMode & 0006) != 0006 &&
        (a.nodeMode & 0060) == 0060 && a.nodeGroup != 0) {
        const std::string group = groupName(a.nodeGroup);
        f->group = group;
        f->user = userName();
        f->problem = "no-group-access";
        f->explanation = node + " (mode " + modeText(a.nodeMode) + ") is open to group " + group +
                         ", and " + userName() + " is not in it";
        if (!rule.empty())
            f->explanation += "; the udev rule " + rule +
                              " also opens it to the user logged in at the seat, and this login "
                              "is not that one";
        f->fix = "sudo usermod -aG " + group + " " + userName() + "   (then log in again)";
    } else if (rule.empty()) {
        f->problem = "no-udev-rule";
        f->explanation =
            "no udev rule lets this user open it (none in /etc/udev/rules.d, "
            "/lib/udev/rules.d or /usr/lib/udev/rules.d names 10c4/f5a2); install "
            "60-chipwright.rules from the Chipwright source folder, then unplug and "
            "replug the programmer";
        f->fix = kUdevInstallLine;
    } else if (a.nodeKnown && !a.nodeOpenToUser) {
        f->problem = "plugged-in-before-rule";
        f->explanation = "the udev rule " + rule + " is installed, but " + node + " (mode " +
                         modeText(a.nodeMode) +
                         ") does not follow it yet: the programmer was plugged in "
                         "before the rule; unplug and replug it, or apply the rule now";
        f->fix =
            "sudo udevadm control --reload-rules && sudo udevadm trigger "
            "--subsystem-match=usb --attr-match=idVendor=10c4";
    } else {
        f->problem = "access-denied";
        f->explanation = "access denied although the udev rule " + rule + " is installed and " +
                         node +
                         "'s mode allows it (an access list or a security module "
                         "refuses it)";
        f->fix = "getfacl " + node;
    }
}

}  // namespace

AccessFinding explainAccess(const ProgrammerAccess& a, const std::string& rule) {
    AccessFinding f;
    f.place = a.place;
    f.node = a.node;
    f.reason = a.reason;
    f.heldByCaller = a.heldByCaller;
    f.rule = rule;
    if (a.nodeKnown)
        f.mode = modeText(a.nodeMode);
    if (a.kernelDriver != "usbfs")
        f.kernelDriver = a.kernelDriver;
    const std::string node = a.node.empty() ? "its device node" : a.node;
    switch (a.failure) {
        case OpenFailure::None:
            f.openable = true;
            if (!f.kernelDriver.empty())
                f.explanation = "the kernel driver " + f.kernelDriver +
                                " is bound to it; Chipwright detaches it while it works";
            break;
        case OpenFailure::AccessDenied:
            explainDenied(a, rule, node, &f);
            break;
        case OpenFailure::InUse:
            if (!f.kernelDriver.empty()) {
                f.problem = "kernel-driver";
                f.explanation = "the kernel driver " + f.kernelDriver +
                                " holds its interface and could not be detached";
                f.fix = "echo -n " + a.place + ":1.0 | sudo tee /sys/bus/usb/drivers/" +
                        f.kernelDriver + "/unbind";
            } else {
                f.problem = "in-use";
                f.explanation =
                    "in use by another program (a chipwright-cli, the Chipwright window, or "
                    "another tool); only one program at a time can use a programmer";
                f.fix = "wait for it to finish, or end it (fuser -v " + node + " names it)";
            }
            break;
        case OpenFailure::Unplugged:
            f.problem = "unplugged";
            f.explanation = "it went away while it was looked at";
            f.fix = "check the cable and plug it in again";
            break;
        case OpenFailure::Other:
            f.problem = "other";
            f.explanation = a.reason;
            f.fix = "unplug and replug the programmer";
            break;
    }
    return f;
}

bool AccessExamination::anyOpenable() const {
    for (const AccessFinding& f : findings) {
        if (f.openable)
            return true;
    }
    return false;
}

std::string noProgrammerText(const std::string& place) {
    const std::string wanted = place.empty() ? "" : " at " + place;
    return "no programmer (USB 10c4:f5a2)" + wanted +
           " on the bus: plug it in and check the cable (lsusb lists it as 10c4:f5a2)";
}

AccessExamination examineAccess(const std::string& place, const std::string& heldPath) {
    AccessExamination e;
    LibusbBus bus;
    const std::string libusbError = bus.initialised() ? std::string() : bus.lastError();
    e.rule = findUdevRule(udevRuleFolders());
    for (const ProgrammerAccess& a : checkProgrammerAccess(bus, place, heldPath))
        e.findings.push_back(explainAccess(a, e.rule));
    if (!libusbError.empty())
        e.none = libusbError;
    else if (e.findings.empty())
        e.none = noProgrammerText(place);
    return e;
}

}  // namespace usblink
