// SPDX-License-Identifier: GPL-3.0-or-later
// A station's run: the job from the line store in place of a local file, chip, serial
// numbering and count.
#include "cli/line_station.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "cli/run_session.h"

namespace cli {

LineStation::LineStation(std::unique_ptr<line::Store> store, line::Job job, std::string name,
                         std::string place)
    : store_(std::move(store)),
      job_(std::move(job)),
      name_(std::move(name)),
      place_(std::move(place)) {
    // What this station held when it last stopped without recording is no chip in
    // progress now.
    store_->giveBackHeld(job_, name_);
}

std::optional<std::uint64_t> LineStation::reserve(std::string* why) {
    try {
        const line::Reservation r = store_->reserve(job_, name_);
        switch (r.state) {
            case line::Reserved::Number:
                return r.number;
            case line::Reserved::Complete:
                *why = "job " + job_.name + " is complete";
                break;
            case line::Reserved::InProgress:
                *why = "job " + job_.name + ": the chips still to pass are in progress elsewhere";
                break;
            case line::Reserved::Exhausted:
                *why = "job " + job_.name + ": the serial numbers are used up";
                break;
            case line::Reserved::Closed:
                *why = "job " + job_.name + " is closed";
                break;
        }
    } catch (const line::StoreError& e) {
        *why = std::string(e.what()) + "; stopping before the next chip";
    }
    return std::nullopt;
}

bool LineStation::record(line::Attempt attempt, std::optional<std::uint64_t> held,
                         std::string* why) {
    using namespace std::chrono;
    attempt.atMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    attempt.station = name_;
    attempt.place = place_;
    attempt.job = job_.name;
    try {
        store_->record(attempt, held);
        return true;
    } catch (const line::StoreError& e) {
        *why = e.what();
        return false;
    }
}

namespace {

std::string hostName() {
    char host[256] = {};
    return gethostname(host, sizeof host - 1) == 0 ? host : "station";
}

}  // namespace

int runStation(const Options& options, const Streams& streams) {
    if (options.job.empty() || !options.repeat || options.command == "verify" ||
        !options.arguments.empty() || !options.chip.empty() || !options.serial.empty()) {
        std::fprintf(streams.err,
                     "chipwright-cli: a station takes --line URL --job JOB --repeat auto|write "
                     "and no FILE, -c or --serial: they come from the job (see --help)\n");
        return kExitUsage;
    }
    try {
        auto store = line::Store::open(options.lineUrl);
        std::optional<line::Job> job = store->loadJob(options.job);
        if (!job)
            throw line::StoreError("no job " + options.job + " in the line store");
        const std::string place =
            options.device.empty() ? (options.simulate ? "sim-1" : "first") : options.device;
        const std::string name =
            options.station.empty() ? hostName() + ":" + place : options.station;
        // The run's loader takes the job's image from a file of its own, removed after.
        char path[] = "/tmp/chipwright-job-XXXXXX";
        const int fd = mkstemp(path);
        const bool written = fd >= 0 && write(fd, job->image.data(), job->image.size()) ==
                                            static_cast<ssize_t>(job->image.size());
        if (fd >= 0)
            close(fd);
        Options o = options;
        o.chip = job->chip;
        o.serial = job->serial;
        o.arguments = {path};
        o.pad = true;
        LineStation station(std::move(store), std::move(*job), name, place);
        Run run(o, streams);
        run.setStation(&station);
        const int status = written ? run.execute() : kExitFailed;
        unlink(path);
        return status;
    } catch (const line::StoreError& e) {
        std::fprintf(streams.err, "chipwright-cli: %s\n", e.what());
        return kExitFailed;
    }
}

}  // namespace cli
