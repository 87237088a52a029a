// Fuzz target: the report reader (ReadTouchReport) on an arbitrary auxiliary
// byte stream with keyboard bytes mixed in, through the hosted kernel and the
// simulated i8042, in virtual time.
//
// Input: byte 0 sets the keyboard driver's polling period (0: no keyboard
// driver, so a keyboard byte stays in the output buffer for good); then
// records of two bytes, (control, value):
//   control bits 0-1: 0 or 1 an auxiliary byte, 2 a keyboard byte, 3 a pause
//                     of `value` ms before the next record;
//   control bits 2-7: delay before the byte is ready to send, in 64 us units.
//
// Every call of ReadTouchReport is checked against the packet format from the
// auxiliary bytes it took: a success is exactly one packet (5 bytes, or 6 when
// byte 0 says so) decoded right; a failure leaves the report unwritten and
// either stops at the first byte that breaks the format or ran out of time
// 50 to 51 ms after its last byte.  The reader never takes a keyboard byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "driver/controller/controller.h"
#include "platform/hosted/kernel.hpp"
#include "sim/i8042.hpp"

namespace {

using hosted::Micros;

constexpr std::uint16_t kBase = 0x60;
constexpr std::size_t kMaxRecords = 512;
constexpr Micros kDelayUnit = 64;
constexpr Micros kWindowMin = 50'000;  // a byte's window: more than 50 ms of ticks
constexpr Micros kWindowMax = 51'100;  // at most 51 ms, plus the polling loop's cost
constexpr int kMaxIdleCalls = 1;       // calls that read nothing once the stream is over

[[noreturn]] void fault(const char* what, unsigned call) {
    std::fprintf(stderr, "report reader, call %u: %s\n", call, what);
    std::abort();
}

// A PS/2 device whose bytes the fuzz input schedules.
class ScriptedDevice : public sim::Ps2Device {
  public:
    void hostByte(std::uint8_t) override {}
    bool hasByte() const override { return !queue_.empty(); }
    std::uint8_t takeByte() override {
        const std::uint8_t b = queue_.front();
        queue_.pop_front();
        return b;
    }
    void push(std::uint8_t b) {
        queue_.push_back(b);
        wakeHost();
    }

  private:
    std::deque<std::uint8_t> queue_;
};

// The other user of the i8042: a keyboard driver that takes keyboard bytes
// from the output buffer every `period` us, and only those.
class KeyboardReader {
  public:
    KeyboardReader(hosted::DeviceContext& context, sim::I8042& i8042, Micros period)
        : context_(context), i8042_(i8042), period_(period) {
        if (period_ != 0) {
            schedule();
        }
    }
    unsigned taken() const { return taken_; }

  private:
    void schedule() {
        context_.schedule(context_.now() + period_, [this] {
            const std::uint8_t status = i8042_.status();
            if ((status & 0x21) == 0x01) {
                (void)i8042_.readPort(i8042_.dataPort());
                ++taken_;
            }
            schedule();
        });
    }

    hosted::DeviceContext& context_;
    sim::I8042& i8042_;
    Micros period_;
    unsigned taken_ = 0;
};

bool validAt(std::size_t position, std::uint8_t b) {
    if (position == 0) {
        return (b & 0x80) != 0;
    }
    return position >= 5 || (b & 0x80) == 0;
}

void checkCall(unsigned call, BOOL ok, const TouchReport& report,
               const std::vector<std::uint8_t>& bytes, Micros lastByteAt, Micros end) {
    std::size_t expected = 5;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 0 && (bytes[0] & 0x60) != 0) {
            expected = 6;
        }
        const bool last = i + 1 == bytes.size();
        if (!validAt(i, bytes[i]) && !(last && !ok)) {
            fault("went on after a byte that breaks the packet format", call);
        }
    }
    if (ok) {
        if (bytes.size() != expected) {
            fault("succeeded without taking exactly one packet", call);
        }
        const DWORD x = (static_cast<DWORD>(bytes[1]) << 7) | bytes[2];
        const DWORD y = (static_cast<DWORD>(bytes[3]) << 7) | bytes[4];
        if (report.Touching != (bytes[0] & 1) || report.X != x || report.Y != y) {
            fault("decoded the packet wrongly", call);
        }
        return;
    }
    if (report.Touching != 0xEE || report.X != 0xDEADBEEF || report.Y != 0xDEADBEEF) {
        fault("wrote the report of a failed read", call);
    }
    const bool brokeFormat = !bytes.empty() && !validAt(bytes.size() - 1, bytes.back());
    if (!brokeFormat) {
        if (bytes.size() >= expected) {
            fault("failed although a whole packet was taken", call);
        }
        const Micros waited = end - lastByteAt;
        if (waited < kWindowMin || waited > kWindowMax) {
            std::fprintf(stderr, "waited %llu us for the missing byte\n",
                         static_cast<unsigned long long>(waited));
            fault("gave up on a missing byte outside its 50 ms window", call);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    hosted::KernelConfig config;
    config.traceKernel = false;
    hosted::Kernel kernel(config);
    hosted::DeviceContext& context = kernel.devices();

    sim::I8042Config i8042Config;
    i8042Config.base = kBase;
    i8042Config.commandByte = 0x44;  // both channels enabled, no interrupts
    sim::I8042 i8042(context, i8042Config);
    ScriptedDevice aux;
    ScriptedDevice keyboard;
    i8042.attachAux(&aux);
    i8042.attachKeyboard(&keyboard);
    kernel.mapPorts(i8042.dataPort(), i8042.dataPort(), i8042);
    kernel.mapPorts(i8042.statusPort(), i8042.statusPort(), i8042);

    KeyboardReader keyboardReader(context, i8042, data[0] == 0 ? 0 : 500 + data[0] * 40);

    // Schedule the streams.
    Micros at = context.now();
    const std::size_t records = std::min((size - 1) / 2, kMaxRecords);
    for (std::size_t r = 0; r < records; ++r) {
        const std::uint8_t control = data[1 + 2 * r];
        const std::uint8_t value = data[2 + 2 * r];
        at += (control >> 2) * kDelayUnit;
        switch (control & 3) {
            case 3:
                at += value * hosted::kMicrosPerMilli;
                break;
            case 2:
                context.schedule(at, [&keyboard, value] { keyboard.push(value); });
                break;
            default:
                context.schedule(at, [&aux, value] { aux.push(value); });
                break;
        }
    }
    const Micros streamEnd = at;

    SetPorts(kBase);
    std::size_t logged = 0;
    int idleCalls = 0;
    for (unsigned call = 0; idleCalls < kMaxIdleCalls; ++call) {
        TouchReport report;
        report.Touching = 0xEE;
        report.X = 0xDEADBEEF;
        report.Y = 0xDEADBEEF;
        const Micros start = kernel.now();
        const BOOL ok = ReadTouchReport(&report);
        const Micros end = kernel.now();

        std::vector<std::uint8_t> bytes;
        Micros lastByteAt = start;
        const std::vector<sim::OutputRecord>& log = i8042.outputLog();
        for (; logged < log.size() && log[logged].read; ++logged) {
            if (log[logged].source == sim::ByteSource::Aux) {
                bytes.push_back(log[logged].byte);
                lastByteAt = *log[logged].read;
            }
        }
        checkCall(call, ok, report, bytes, lastByteAt, end);
        idleCalls = (bytes.empty() && start >= streamEnd) ? idleCalls + 1 : 0;
    }

    unsigned keyboardRead = 0;
    for (const sim::OutputRecord& record : i8042.outputLog()) {
        if (record.source == sim::ByteSource::Keyboard && record.read) {
            ++keyboardRead;
        }
    }
    if (keyboardRead != keyboardReader.taken()) {
        fault("took a keyboard byte", 0);
    }
    kernel.unmapPorts(i8042);
    return 0;
}
