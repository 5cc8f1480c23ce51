// SPDX-License-Identifier: GPL-3.0-or-later
// A station's run: the job from the line store in place of a local file, chip, serial
// numbering and count.
#include "cli/line_station.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/interrupt.h"
#include "cli/run_session.h"

namespace cli {

LineStation::LineStation(std::unique_ptr<line::Store> store, std::string url, line::Job job,
                         std::string name, std::string place, LineJournal journal)
    : store_(std::move(store)),
      url_(journalUrl(url)),
      job_(std::move(job)),
      name_(std::move(name)),
      place_(std::move(place)),
      journal_(std::move(journal)) {}

bool LineStation::begin(std::FILE* err, std::string* why) {
    err_ = err;
    const JournalSent sent = journal_.send(url_, *store_);
    // Its entries may hold numbers of chips that passed: none is given back unread.
    if (sent.unreadable) {
        *why = sent.why + "; no chip is programmed until it can be read";
        return false;
    }
    if (sent.sent > 0) {
        std::fprintf(err, "sent %zu result(s) from the journal %s to the line store\n", sent.sent,
                     journal_.path().c_str());
    }
    if (sent.keptHere > 0) {
        *why = std::to_string(sent.keptHere) + " result(s) in the journal " + journal_.path() +
               " could not be sent (" + sent.why + "); no chip is programmed until they are";
        return false;
    }
    if (sent.kept > 0) {
        std::fprintf(err, "%zu result(s) for other line stores stay in the journal %s (%s)\n",
                     sent.kept, journal_.path().c_str(), sent.why.c_str());
    }
    try {
        // Only now: a number whose chip is in the journal stays held until it is sent.
        store_->giveBackHeld(job_, name_);
        return true;
    } catch (const line::StoreError& e) {
        *why = e.what();
        return false;
    }
}

namespace {

constexpr auto kWaitForOthers = std::chrono::milliseconds(500);

// Why a job takes no further chip; empty while it may.
std::string endOf(line::Reserved state, const std::string& job) {
    switch (state) {
        case line::Reserved::Number:
        case line::Reserved::InProgress:
            return "";
        case line::Reserved::Complete:
            return "job " + job + " is complete";
        case line::Reserved::Exhausted:
            return "job " + job + ": the serial numbers are used up";
        case line::Reserved::Closed:
            return "job " + job + " is closed";
    }
    return "";
}

}  // namespace

std::optional<std::uint64_t> LineStation::reserve(std::string* why, bool* complete) {
    // While it waits no chip is being programmed: Ctrl-C says so, and the note of a
    // running transfer is back once it ends.
    struct WaitNote {
        bool shown = false;
        ~WaitNote() {
            if (shown)
                setInterruptNote(nullptr);
        }
    } note;
    try {
        for (;;) {
            const line::Reservation r = store_->reserve(job_, name_);
            if (r.state == line::Reserved::Number)
                return r.number;
            *complete = r.state == line::Reserved::Complete;
            if (r.state != line::Reserved::InProgress) {
                *why = endOf(r.state, job_.name);
                return std::nullopt;
            }
            if (!note.shown) {
                note.shown = true;
                setInterruptNote(
                    "\ninterrupted: the run ends here (no chip is being programmed)\n");
                std::fprintf(err_,
                             "job %s: the chips still to pass are in progress at other "
                             "stations; waiting for their results\n",
                             job_.name.c_str());
            }
            if (interruptRequested()) {
                *why = "interrupted while waiting for the other stations";
                return std::nullopt;
            }
            std::this_thread::sleep_for(kWaitForOthers);
        }
    } catch (const line::StoreError& e) {
        *why = std::string(e.what()) + "; stopping before the next chip";
    }
    return std::nullopt;
}

bool LineStation::wantsAnotherChip(bool verifying, std::string* why, bool* complete) {
    try {
        const line::Reserved state = store_->outlook(job_);
        if (verifying && state != line::Reserved::Closed)
            return true;
        *complete = state == line::Reserved::Complete;
        *why = endOf(state, job_.name);
        return why->empty();
    } catch (const line::StoreError& e) {
        *why = std::string(e.what()) + "; stopping before the next chip";
        return false;
    }
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
    }
    std::string lost;
    if (journal_.append({url_, held, attempt}, &lost))
        *why += "; the chip's result is kept in the journal " + journal_.path() +
                " and sent by the next station run";
    else
        *why += "; " + lost + ": the chip's result is lost";
    return false;
}

namespace {

std::string hostName() {
    char host[256] = {};
    return gethostname(host, sizeof host - 1) == 0 ? host : "station";
}

// The run's loader takes the job's image from a file of its own, removed after.
int runJob(LineStation& station, const Options& options, const Streams& streams) {
    const line::Job& job = station.job();
    char path[] = "/tmp/chipwright-job-XXXXXX";
    const int fd = mkstemp(path);
    const bool written = fd >= 0 && write(fd, job.image.data(), job.image.size()) ==
                                        static_cast<ssize_t>(job.image.size());
    if (fd >= 0)
        close(fd);
    Options o = options;
    o.chip = job.chip;
    o.serial = job.serial;
    o.arguments = {path};
    o.pad = true;
    Run run(o, streams);
    run.setStation(&station);
    const int status = written ? run.execute() : kExitFailed;
    unlink(path);
    return status;
}

}  // namespace

int runStation(const Options& options, const Streams& streams) {
    if (options.job.empty() || !options.repeat || !options.arguments.empty() ||
        !options.chip.empty() || !options.serial.empty()) {
        std::fprintf(streams.err,
                     "chipwright-cli: a station takes --line URL --job JOB --repeat "
                     "auto|write|verify and no FILE, -c or --serial: they come from the job "
                     "(see --help)\n");
        return kExitUsage;
    }
    try {
        auto store = line::Store::open(options.lineUrl);
        std::optional<line::Job> job = store->loadJob(options.job);
        if (!job)
            throw line::StoreError("no job " + options.job + " in the line store");
        const std::string journal = LineJournal::defaultPath();
        if (journal.empty())
            throw line::StoreError("a station needs a folder for its journal (beside the log)");
        const std::string place =
            options.device.empty() ? (options.simulate ? "sim-1" : "first") : options.device;
        const std::string name =
            options.station.empty() ? hostName() + ":" + place : options.station;
        LineStation station(std::move(store), options.lineUrl, std::move(*job), name, place,
                            LineJournal(journal));
        if (std::string why; !station.begin(streams.err, &why))
            throw line::StoreError(why);
        return runJob(station, options, streams);
    } catch (const line::StoreError& e) {
        std::fprintf(streams.err, "chipwright-cli: %s\n", e.what());
        return kExitFailed;
    }
}

}  // namespace cli
