// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/sim_bus.h"

namespace sim {
namespace {

class SimPipe : public usblink::UsbPipe {
  public:
    SimPipe(std::shared_ptr<SimProgrammer> programmer, bool in)
        : programmer_(std::move(programmer)), in_(in) {}
    ~SimPipe() override { programmer_->closePipe(); }

    usblink::PipeResult transfer(std::uint8_t* data, std::uint32_t length, std::uint32_t timeoutMs,
                                 std::uint32_t* moved) override {
        return in_ ? programmer_->transferIn(data, length, timeoutMs, moved, &cancelled_)
                   : programmer_->transferOut(data, length, timeoutMs, moved, &cancelled_);
    }

    void cancel() override {
        {
            // Set under the device's lock, so a transfer about to wait cannot miss it.
            std::lock_guard<std::mutex> lock(programmer_->mutex());
            cancelled_ = true;
        }
        programmer_->wake();
    }

    void rearm() override {
        std::lock_guard<std::mutex> lock(programmer_->mutex());
        cancelled_ = false;
    }

  private:
    std::shared_ptr<SimProgrammer> programmer_;
    const bool in_;
    bool cancelled_ = false;  // guarded by the programmer's mutex
};

class SimDevice : public usblink::UsbDevice {
  public:
    explicit SimDevice(std::shared_ptr<SimProgrammer> programmer)
        : programmer_(std::move(programmer)) {}
    ~SimDevice() override { programmer_->closeDevice(); }

    std::unique_ptr<usblink::UsbPipe> openPipe(std::string_view name) override {
        const bool in = name == usblink::kReadPipeName;
        if (!in && name != usblink::kWritePipeName)
            return nullptr;
        if (!programmer_->openPipe(name))
            return nullptr;
        return std::make_unique<SimPipe>(programmer_, in);
    }

    bool reset() override { return programmer_->reset(); }

  private:
    std::shared_ptr<SimProgrammer> programmer_;
};

}  // namespace

void SimBus::addProgrammer(std::shared_ptr<SimProgrammer> programmer) {
    std::string path = programmer->path();
    entries_.push_back({std::move(path), std::move(programmer)});
}

void SimBus::addOtherDevice(std::string path) {
    entries_.push_back({std::move(path), nullptr});
}

std::vector<std::string> SimBus::devicePaths() {
    std::vector<std::string> paths;
    for (const Entry& e : entries_) {
        if (!e.programmer || e.programmer->present())
            paths.push_back(e.path);
    }
    return paths;
}

std::unique_ptr<usblink::UsbDevice> SimBus::openDevice(const std::string& path) {
    for (const Entry& e : entries_) {
        if (e.path != path)
            continue;
        if (!e.programmer) {
            lastError_ = "cannot open " + path + ": not a programmer";
            return nullptr;
        }
        if (!e.programmer->openDevice(&lastError_))
            return nullptr;
        return std::make_unique<SimDevice>(e.programmer);
    }
    lastError_ = "cannot open " + path + ": no such device";
    return nullptr;
}

std::string SimBus::lastError() const {
    return lastError_;
}

}  // namespace sim
