// The compiler's coverage callbacks, compiled only into the preempt build,
// whose driver is instrumented with -fsanitize-coverage=trace-pc-guard: every
// basic block of the driver calls the callback, which is a preemption point
// of the hosted kernel.  The blocks of a module are numbered by their place
// in it, so every loaded copy of the library numbers them alike.  (libFuzzer
// defines the same names; the fuzz build does not include this file.)
#include <cstdint>

#include "platform/hosted/kernel.hpp"

extern "C" void __sanitizer_cov_trace_pc_guard_init(std::uint32_t* start, std::uint32_t* stop) {
    std::uint32_t block = 0;
    for (std::uint32_t* guard = start; guard < stop; ++guard) {
        *guard = ++block;
    }
}

extern "C" void __sanitizer_cov_trace_pc_guard(std::uint32_t* guard) {
    hosted::preemptionPoint(*guard, __builtin_return_address(0));
}
