// Why an enable failed, told from what the simulated board saw.
//
// The driver logs nothing, but the board knows every byte it was given: the
// touch controller counts the bytes and command frames it received, the
// machine knows the faults it was told to commit, and the keyboard driver
// knows the bytes it took off the i8042.  The start-up sequence is fixed
// (commands 'A', 'D', 'E', then 'C' 0 to 63, each byte acknowledged, each
// command answered), so the byte the driver stopped at names the command and
// the step that failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/machine.hpp"

namespace touchsim {

struct EnableEvidence {
    const sim::MachineConfig* machine = nullptr;
    std::optional<std::uint32_t> ioBase;   // the registry's, as the driver read it
    std::uint64_t bytesBefore = 0;         // bytes the controller had received before the enable
    std::uint64_t framesBefore = 0;        // command frames likewise
    std::uint64_t bytes = 0;               // bytes received during the enable
    std::uint64_t frames = 0;              // command frames received during the enable
    std::uint64_t keyboardBytesTaken = 0;  // by the keyboard driver during the enable
    std::uint64_t enableStartMs = 0;
    std::uint64_t enableEndMs = 0;
};

// One sentence: what went wrong in a failed enable.
std::string enableFailure(const EnableEvidence& evidence);

}  // namespace touchsim
