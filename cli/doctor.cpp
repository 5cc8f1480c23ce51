// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/doctor.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/json_report.h"
#include "link/device_finder.h"
#include "link/libusb/access_diagnosis.h"
#include "sim/sim_programmer.h"

namespace cli {
namespace {

using Finding = usblink::AccessFinding;
using Examination = usblink::AccessExamination;

Examination examine(const Options& o) {
    if (!o.simulate)
        return usblink::examineAccess(o.device);
    Examination e;
    Finding f;
    f.place = usblink::devicePlace(sim::kDefaultDevicePath);
    f.openable = true;
    f.explanation = "the simulated programmer";
    if (o.device.empty() || o.device == f.place)
        e.findings.push_back(f);
    else
        e.none = usblink::noProgrammerText(o.device);
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
