#include "tools/touchsim/diagnosis.hpp"

#include <algorithm>
#include <cstdio>

namespace touchsim {

namespace {

using Faults = sim::ControllerFaults;

// The start-up sequence: three commands of one byte, then 'C' 0 to 63 with
// an argument.  Frame bytes: 0x0A, length, command [, argument].
constexpr std::uint64_t kShortCommands = 3;
constexpr std::uint64_t kShortFrameBytes = 3;
constexpr std::uint64_t kParameterFrameBytes = 4;
constexpr std::uint64_t kParameterCommands = 64;
constexpr std::uint64_t kSequenceBytes =
    kShortCommands * kShortFrameBytes + kParameterCommands * kParameterFrameBytes;
constexpr int kWindowMs = 50;  // the driver's wait for any one byte
constexpr std::uint8_t kAcknowledge = 0xFA;

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// The command of the sequence that the n-th byte (1-based) belongs to, and
// which byte of its frame it is.
struct Place {
    std::string command;
    std::uint64_t byte = 1;
    std::uint64_t frameBytes = 0;
};

Place placeOf(std::uint64_t n) {
    constexpr const char* kShortNames[] = {"'A'", "'D'", "'E'"};
    if (n <= kShortCommands * kShortFrameBytes) {
        const std::uint64_t index = (n - 1) / kShortFrameBytes;
        return Place{kShortNames[index], (n - 1) % kShortFrameBytes + 1, kShortFrameBytes};
    }
    const std::uint64_t rest = n - kShortCommands * kShortFrameBytes - 1;
    return Place{"'C " + std::to_string(rest / kParameterFrameBytes) + "'",
                 rest % kParameterFrameBytes + 1, kParameterFrameBytes};
}

// The command whose frame the driver sent last, whole.
std::string lastWholeCommand(std::uint64_t bytes) {
    return placeOf(bytes).command;
}

bool garbageDuring(const EnableEvidence& e) {
    const auto& garbage = e.machine->controller.faults.garbage;
    return std::any_of(garbage.begin(), garbage.end(), [&](const Faults::Garbage& g) {
        const std::uint64_t atMs = g.at / 1000;
        return atMs >= e.enableStartMs && atMs <= e.enableEndMs;
    });
}

std::string replyFailure(const EnableEvidence& e) {
    const std::string command = "command " + lastWholeCommand(e.bytes);
    const std::uint64_t frame = e.framesBefore + e.frames;
    for (const Faults::ReplyFault& f : e.machine->controller.faults.replies) {
        if (f.command != frame) {
            continue;
        }
        switch (f.kind) {
            case Faults::ReplyKind::None:
                return "the touch controller did not reply to " + command + " within " +
                       std::to_string(kWindowMs) + " ms";
            case Faults::ReplyKind::WrongHeader:
                return "the touch controller's reply to " + command + " did not begin with 0x0A";
            case Faults::ReplyKind::WrongEcho:
                return "the touch controller's reply to " + command + " echoed another command";
        }
    }
    if (garbageDuring(e)) {
        return "bytes the touch controller sent unasked came where its reply to " + command +
               " was expected";
    }
    return "the touch controller's reply to " + command + " was not what the driver expected";
}

std::string acknowledgeFailure(const EnableEvidence& e) {
    const Place place = placeOf(e.bytes);
    const std::string which = "byte " + std::to_string(place.byte) + " of command " + place.command;
    if (e.machine->controller.faults.silent) {
        return "the touch controller answered nothing: it did not acknowledge " + which +
               " within " + std::to_string(kWindowMs) + " ms";
    }
    for (const Faults::AckFault& f : e.machine->controller.faults.acks) {
        if (f.byte != e.bytesBefore + e.bytes) {
            continue;
        }
        if (f.kind == Faults::AckKind::None) {
            return "the touch controller did not acknowledge " + which + " within " +
                   std::to_string(kWindowMs) + " ms";
        }
        return "the touch controller acknowledged " + which + " with " + hex(f.value) +
               " instead of " + hex(kAcknowledge);
    }
    if (garbageDuring(e)) {
        return "a byte the touch controller sent unasked came where the acknowledge of " + which +
               " was expected";
    }
    if (e.keyboardBytesTaken > 0) {
        return "the acknowledge of " + which + " was taken by the keyboard driver";
    }
    return "the touch controller did not acknowledge " + which + " with " + hex(kAcknowledge);
}

}  // namespace

std::string enableFailure(const EnableEvidence& e) {
    const sim::I8042Config& i8042 = e.machine->i8042;
    if (e.ioBase && *e.ioBase != i8042.base) {
        return "no i8042 at port " + hex(*e.ioBase) +
               " (the registry's \"ioBase\"); the board's is at " + hex(i8042.base);
    }
    if (i8042.inputStuck) {
        return "the i8042 took no byte written to it (its input buffer stayed full)";
    }
    if (e.bytes == 0) {
        if (e.keyboardBytesTaken > 0) {
            return "the i8042's answer to 'read command byte' was taken by the keyboard driver";
        }
        return "the i8042 passed no byte to the touch controller";
    }
    if (e.bytes >= kSequenceBytes && e.frames >= kShortCommands + kParameterCommands) {
        // Every command went through: switching the controller's interrupt
        // on (read the i8042's command byte, write it back) failed.
        if (e.keyboardBytesTaken > 0) {
            return "the i8042's answer to 'read command byte' was taken by the keyboard driver";
        }
        return "the i8042 did not answer 'read command byte' when the interrupt was switched on";
    }
    const Place place = placeOf(e.bytes);
    const auto& acks = e.machine->controller.faults.acks;
    const bool ackFault = e.machine->controller.faults.silent ||
                          std::any_of(acks.begin(), acks.end(), [&](const Faults::AckFault& f) {
                              return f.byte == e.bytesBefore + e.bytes;
                          });
    return place.byte == place.frameBytes && !ackFault ? replyFailure(e) : acknowledgeFailure(e);
}

}  // namespace touchsim
