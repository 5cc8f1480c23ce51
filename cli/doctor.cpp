// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/doctor.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/json_report.h"
#include "link/device_finder.h"
#include "link/libusb/access_check.h"
#include "sim/sim_programmer.h"

namespace cli {
namespace {

struct Finding {
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
};

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
void explainDenied(const usblink::ProgrammerAccess& a, const std::string& rule,
                   const std::string& node, Finding* f) {
    // A node whose group may use it is reached by joining that group, whichever rule
    // made it so. The shipped rule gives it to plugdev, and through uaccess to the user
    // logged in at the seat, which an ssh login or a second session is not.
    if (a.nodeKnown && !a.nodeOpenToUser && (a.nodeMode & 0006) != 0006 &&
        (a.nodeMode & 0060) == 0060 && a.nodeGroup != 0) {
        const std::string group = groupName(a.nodeGroup);
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

Finding explain(const usblink::ProgrammerAccess& a, const std::string& rule) {
    Finding f;
    f.place = a.place;
    f.node = a.node;
    f.reason = a.reason;
    if (a.kernelDriver != "usbfs")
        f.kernelDriver = a.kernelDriver;
    const std::string node = a.node.empty() ? "its device node" : a.node;
    switch (a.failure) {
        case usblink::OpenFailure::None:
            f.openable = true;
            if (!f.kernelDriver.empty())
                f.explanation = "the kernel driver " + f.kernelDriver +
                                " is bound to it; Chipwright detaches it while it works";
            break;
        case usblink::OpenFailure::AccessDenied:
            explainDenied(a, rule, node, &f);
            break;
        case usblink::OpenFailure::InUse:
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
        case usblink::OpenFailure::Unplugged:
            f.problem = "unplugged";
            f.explanation = "it went away while it was looked at";
            f.fix = "check the cable and plug it in again";
            break;
        case usblink::OpenFailure::Other:
            f.problem = "other";
            f.explanation = a.reason;
            f.fix = "unplug and replug the programmer";
            break;
    }
    return f;
}

// What doctor found: each programmer, the udev rule, and why none is listed if none is.
struct Examination {
    std::vector<Finding> findings;
    std::string rule;
    std::string none;
    bool anyOpenable() const {
        for (const Finding& f : findings) {
            if (f.openable)
                return true;
        }
        return false;
    }
};

Examination examine(const Options& o) {
    Examination e;
    std::string libusbError;
    if (o.simulate) {
        Finding f;
        f.place = usblink::devicePlace(sim::kDefaultDevicePath);
        f.openable = true;
        f.explanation = "the simulated programmer";
        if (o.device.empty() || o.device == f.place)
            e.findings.push_back(f);
    } else {
        usblink::LibusbBus bus;
        if (!bus.initialised())
            libusbError = bus.lastError();
        e.rule = usblink::findUdevRule(usblink::udevRuleFolders());
        for (const usblink::ProgrammerAccess& a : usblink::checkProgrammerAccess(bus, o.device))
            e.findings.push_back(explain(a, e.rule));
    }
    const std::string wanted = o.device.empty() ? "" : " at " + o.device;
    if (!libusbError.empty())
        e.none = libusbError;
    else if (e.findings.empty())
        e.none = "no programmer (USB 10c4:f5a2)" + wanted +
                 " on the bus: plug it in and check the cable (lsusb lists it as 10c4:f5a2)";
    return e;
}

// The fields every run's object has, and doctor's own: the rule and the programmers.
void printJson(const Options& o, const Streams& s, const Examination& e, int status) {
    Report report;
    report.command = "doctor";
    report.simulated = o.simulate;
    report.result = status == kExitDone ? "ready" : "no-programmer";
    report.exitStatus = status;
    if (!e.none.empty())
        report.messages = {e.none};
    nlohmann::ordered_json j = reportObject(report);
    j["udevRule"] = e.rule;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Finding& f : e.findings) {
        list.push_back({{"place", f.place},
                        {"node", f.node},
                        {"openable", f.openable},
                        {"problem", f.problem},
                        {"reason", f.reason},
                        {"explanation", f.explanation},
                        {"fix", f.fix},
                        {"kernelDriver", f.kernelDriver}});
    }
    j["programmers"] = std::move(list);
    if (!e.none.empty())
        j["message"] = e.none;
    std::fprintf(s.out, "%s\n", jsonText(j).c_str());
}

void printText(const Streams& s, const Examination& e) {
    if (!e.none.empty())
        std::fprintf(s.out, "%s\n", e.none.c_str());
    for (const Finding& f : e.findings) {
        std::fprintf(s.out, "programmer at %s%s: %s\n", f.place.c_str(),
                     f.node.empty() ? "" : (" (" + f.node + ")").c_str(),
                     f.openable ? "ready" : "cannot be opened");
        if (!f.explanation.empty())
            std::fprintf(s.out, "  %s\n", f.explanation.c_str());
        if (!f.fix.empty())
            std::fprintf(s.out, "  fix: %s\n", f.fix.c_str());
    }
    if (e.findings.size() > 1)
        std::fprintf(s.out, "pick one with --device PLACE, e.g. --device %s\n",
                     e.findings.front().place.c_str());
}

}  // namespace

int runDoctor(const Options& o, const Streams& s) {
    const Examination e = examine(o);
    const int status = e.anyOpenable() ? kExitDone : kExitNoProgrammer;
    if (o.json)
        printJson(o, s, e, status);
    else
        printText(s, e);
    std::fflush(s.out);
    return status;
}

}  // namespace cli
