// SPDX-License-Identifier: GPL-3.0-or-later
// --simulate: the simulated programmer on its bus, its faults, the chip in its socket
// and the file that keeps that chip's cells, and --sim-swap's chip changes.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <vector>

#include "cli/run_session.h"
#include "sim/sim_bus.h"
#include "util/regular_file.h"
#include "util/safe_file.h"
#include "util/text_codec.h"

namespace cli {
namespace {

// The simulator's faults by name; false for an unknown name or a value that is no count.
bool applyFault(const std::string& setting, sim::Faults& f) {
    const auto eq = setting.find('=');
    const std::string name = setting.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : setting.substr(eq + 1);
    std::uint64_t n = 0;
    bool numeric = !value.empty();
    try {
        std::size_t used = 0;
        if (numeric)
            n = std::stoull(value, &used, 0);
        numeric = numeric && used == value.size();
    } catch (const std::exception&) {
        numeric = false;
    }
    auto count = [&](std::uint64_t fallback) { return value.empty() ? fallback : n; };
    if (!value.empty() && !numeric)
        return false;
    if (name == "stall")
        f.stallAfterBytes = count(0x10000);
    else if (name == "disconnect")
        f.disconnectAfterBytes = count(0x10000);
    else if (name == "cut-read")
        f.cutReadAfterBytes = count(0x10000);
    else if (name == "garbage")
        f.garbagePackets = static_cast<int>(count(2));
    else if (name == "bit-flip")
        f.bitFlipEvery = static_cast<std::uint32_t>(count(0x1000));
    else if (name == "loose-bit")
        f.looseBitAddress = static_cast<std::uint32_t>(count(0x1234));
    else if (name == "wrong-reply" && value.empty())
        f.wrongReplyByte = true;
    else if (name == "never-ready" && value.empty())
        f.neverReady = true;
    else if (name == "fail-self-test" && value.empty())
        f.failSelfTest = true;
    else if (name == "silent" && value.empty())
        f.silent = true;
    else if (name == "write-protect" && value.empty())
        f.writeProtected = true;
    else
        return false;
    return true;
}

}  // namespace

std::unique_ptr<usblink::UsbBus> Run::simulatedBus(std::string* unknownFault) {
    auto simBus = std::make_unique<sim::SimBus>();
    device_ = std::make_shared<sim::SimProgrammer>();
    sim::Faults faults;
    for (const std::string& fault : o_.simFaults) {
        emptySocket_ = emptySocket_ || fault == "empty-socket";
        if (fault != "empty-socket" && !applyFault(fault, faults)) {
            *unknownFault = fault;
            return nullptr;
        }
    }
    device_->setFaults(faults);
    device_->setThroughput(o_.simSpeed.value_or(sim::kInteractiveThroughput));
    simBus->addProgrammer(device_);
    return simBus;
}

std::optional<std::string> Run::fillSimulatedSocket(const catalogue::ChipRecord& chip) {
    device_->insertChip(chip);
    if (auto problem = loadSimulatedMemory(chip))
        return problem;
    if (emptySocket_)
        device_->removeChip();
    simMemoryChanges_ = device_->memoryChanges();
    return std::nullopt;
}

std::optional<std::string> Run::loadSimulatedMemory(const catalogue::ChipRecord& chip) {
    if (o_.simMemory.empty())
        return std::nullopt;
    // Only a regular file is read (never a FIFO that waits for a writer, nor an endless
    // device). The chip reads its cells from the file as they are asked for, so a whole
    // chip read copies the file once, into the buffer, and holds no second copy of it.
    int fd = -1;
    std::uint64_t bytes = 0;
    std::string error;
    const util::FileRead opened = util::openRegularFileSized(o_.simMemory, &fd, &bytes, &error);
    if (opened == util::FileRead::Failed)
        return "--sim-memory: " + error;
    // A file of another size than the chip fills what it can, but is never rewritten
    // to the chip's size: it is left as it is.
    simMemoryKept_ = opened == util::FileRead::Missing || bytes == chip.capacity;
    if (!simMemoryKept_) {
        ui_.note("the simulated chip is not kept in " + util::printableName(o_.simMemory) +
                 ": it is not the size of " + chip.nameText() + " (" +
                 std::to_string(chip.capacity) + " bytes)");
    }
    if (fd >= 0)
        device_->backMemoryWithFile(fd, bytes);
    return std::nullopt;
}

void Run::keepSimulatedChip() {
    if (o_.simTray.empty() || emptySocket_)
        return;
    const std::vector<std::uint8_t> cells = device_->memory();
    if (cells.empty())
        return;  // the socket is empty
    std::string error;
    // The folder is made (and tried) for the run's first chip only.
    if (trayChips_ == 0 && !util::folderTakesNewFiles(o_.simTray, &error)) {
        ui_.note("--sim-tray: " + error);
        return;
    }
    constexpr int kNamesTried = 10'000;  // names taken by an earlier run are skipped
    for (int tried = 0; tried < kNamesTried; ++tried) {
        char name[32];
        std::snprintf(name, sizeof name, "chip-%04u.bin", ++trayChips_);
        const std::string path = (std::filesystem::path(o_.simTray) / name).string();
        const util::NewFile made = util::createNewFile(path, cells, &error);
        if (made == util::NewFile::Failed)
            ui_.note("--sim-tray: " + error);
        if (made != util::NewFile::Exists)
            return;
    }
}

void Run::swapSimulatedChip(const catalogue::ChipRecord& chip) {
    stopSimulatedSwap();
    keepSimulatedChip();
    device_->removeChip();
    simSwapStop_ = false;
    simSwap_ = std::thread([this, chip, device = device_, delay = *o_.simSwapMs] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
        while (std::chrono::steady_clock::now() < until) {
            if (simSwapStop_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        device->insertChip(chip);
    });
}

void Run::stopSimulatedSwap() {
    simSwapStop_ = true;
    if (simSwap_.joinable())
        simSwap_.join();
}

}  // namespace cli
