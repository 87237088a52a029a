// Fuzz target: one controller command and its reply (SendControllerCommand)
// against an arbitrary device on the i8042's two ports, in virtual time.
//
// Input: length, command, argument, then the device's answers: every read of
// either port returns the next input byte (0x00 once the input is used up:
// nothing to read, ready to take a write).
//
// The port trace is checked against the protocol: a write only right after a
// status read showing the input buffer empty; a data read only right after a
// status read showing an auxiliary byte; the writes are 0xD4 and one frame
// byte, in frame order, each answered by one read; the exchange stops at the
// first wrong acknowledge, header or echo, and the result is true exactly when
// the whole frame was acknowledged with 0xFA and a reply with the right header
// and echo was read to its last byte.  A missing answer ends the exchange
// 50 to 51 ms after the last progress, and no step waits longer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "driver/controller/controller.h"
#include "platform/hosted/kernel.hpp"

namespace {

using hosted::Micros;

constexpr std::uint16_t kData = 0x60;
constexpr std::uint16_t kStatus = kData + 4;
constexpr std::size_t kMaxAnswers = 4096;
constexpr Micros kWindowMax = 51'100;
constexpr Micros kWindowMin = 50'000;

enum class Kind { StatusRead, DataRead, CommandWrite, DataWrite };

struct Access {
    Kind kind;
    std::uint8_t value;
    Micros time;
};

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "controller command: %s\n", what);
    std::abort();
}

class ScriptedPorts : public hosted::PortDevice {
  public:
    ScriptedPorts(hosted::DeviceContext& context, const std::uint8_t* answers, std::size_t count)
        : context_(context), answers_(answers), count_(count) {}

    std::uint8_t readPort(std::uint16_t port) override {
        const std::uint8_t value = next_ < count_ ? answers_[next_++] : 0x00;
        log_.push_back(
            {port == kStatus ? Kind::StatusRead : Kind::DataRead, value, context_.now()});
        return value;
    }
    void writePort(std::uint16_t port, std::uint8_t value) override {
        log_.push_back(
            {port == kStatus ? Kind::CommandWrite : Kind::DataWrite, value, context_.now()});
    }
    const std::vector<Access>& log() const { return log_; }

  private:
    hosted::DeviceContext& context_;
    const std::uint8_t* answers_;
    std::size_t count_;
    std::size_t next_ = 0;
    std::vector<Access> log_;
};

// The accesses that make progress (writes and data reads), each checked to
// follow the status read that allowed it, and never a wait past its window.
std::vector<Access> progressOf(const std::vector<Access>& log, Micros start) {
    std::vector<Access> progress;
    Micros last = start;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const Access& a = log[i];
        if (a.kind == Kind::StatusRead) {
            continue;
        }
        if (i == 0 || log[i - 1].kind != Kind::StatusRead) {
            fault("a port access without the status test before it");
        }
        const std::uint8_t status = log[i - 1].value;
        if (a.kind == Kind::DataRead && (status & 0x21) != 0x21) {
            fault("read the data port without an auxiliary byte waiting");
        }
        if (a.kind != Kind::DataRead && (status & 0x02) != 0) {
            fault("wrote while the input buffer was full");
        }
        if (a.time - last > kWindowMax) {
            fault("a wait went on past its 50 ms window");
        }
        last = a.time;
        progress.push_back(a);
    }
    return progress;
}

// What the exchange must have done, given the answers it read: the result,
// or the point at which it had to give up.
struct Expectation {
    bool result = false;
    bool timedOut = false;
};

Expectation replay(const std::vector<Access>& progress, std::uint8_t length, std::uint8_t command,
                   std::uint8_t argument) {
    const std::uint8_t frame[] = {0x0A, length, command, argument};
    const std::size_t frameBytes = length + 2u;
    std::size_t p = 0;
    auto take = [&](Kind kind) -> const Access* {
        if (p == progress.size()) {
            return nullptr;
        }
        if (progress[p].kind != kind) {
            fault("port accesses out of protocol order");
        }
        return &progress[p++];
    };
    auto finish = [&](bool result) {
        if (p != progress.size()) {
            fault("went on after the exchange had ended");
        }
        return Expectation{result, false};
    };
    const Expectation timedOut{false, true};

    for (std::size_t i = 0; i < frameBytes; ++i) {
        const Access* c = take(Kind::CommandWrite);
        if (c == nullptr) {
            return timedOut;
        }
        if (c->value != 0xD4) {
            fault("a frame byte not announced with 0xD4");
        }
        const Access* d = take(Kind::DataWrite);
        if (d == nullptr) {
            return timedOut;
        }
        if (d->value != frame[i]) {
            fault("a wrong frame byte");
        }
        const Access* ack = take(Kind::DataRead);
        if (ack == nullptr) {
            return timedOut;
        }
        if (ack->value != 0xFA) {
            return finish(false);
        }
    }
    const Access* header = take(Kind::DataRead);
    if (header == nullptr) {
        return timedOut;
    }
    if (header->value != 0x0A) {
        return finish(false);
    }
    const Access* n = take(Kind::DataRead);
    if (n == nullptr) {
        return timedOut;
    }
    const Access* echo = take(Kind::DataRead);
    if (echo == nullptr) {
        return timedOut;
    }
    if (echo->value != command) {
        return finish(false);
    }
    for (int payload = 1; payload < n->value; ++payload) {
        if (take(Kind::DataRead) == nullptr) {
            return timedOut;
        }
    }
    return finish(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint8_t length = data[0];
    const std::uint8_t command = data[1];
    const std::uint8_t argument = data[2];

    hosted::KernelConfig config;
    config.traceKernel = false;
    hosted::Kernel kernel(config);
    ScriptedPorts ports(kernel.devices(), data + 3, std::min(size - 3, kMaxAnswers));
    kernel.mapPorts(kData, kData, ports);
    kernel.mapPorts(kStatus, kStatus, ports);
    SetPorts(kData);

    const Micros start = kernel.now();
    const bool result = SendControllerCommand(length, command, argument) != FALSE;
    const Micros end = kernel.now();
    kernel.unmapPorts(ports);

    if (length > 2) {
        if (result || !ports.log().empty()) {
            fault("a frame longer than 2 was not refused before any port access");
        }
        return 0;
    }
    const std::vector<Access> progress = progressOf(ports.log(), start);
    const Expectation expected = replay(progress, length, command, argument);
    if (result != expected.result) {
        fault(result ? "succeeded on a failed exchange" : "failed a good exchange");
    }
    if (expected.timedOut) {
        const Micros lastProgress = progress.empty() ? start : progress.back().time;
        if (end - lastProgress < kWindowMin || end - lastProgress > kWindowMax) {
            fault("gave up on a missing answer outside its 50 ms window");
        }
    }
    return 0;
}
