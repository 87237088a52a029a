// Cost and throughput of the driver's sampling on the simulated board, in
// virtual time: the panel is held down while the touch controller reports
// faster than the PS/2 link can carry, so a packet is always waiting.
//
// Counters (per benchmark iteration, one virtual second of streaming):
//   samples_per_virtual_s  samples delivered to the callback
//   link_packets_per_s     what the link can carry: one 5-byte packet per
//                          5 PS/2 byte times
//   delivered_to_link      the ratio of the two
//   cpu_us_per_sample      virtual time the sample thread held the CPU
//                          (waiting for bytes by polling the i8042 included)
//   ports_per_sample       i8042 port accesses per delivered sample
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "windowing/session.hpp"

namespace {

constexpr hosted::Micros kStreaming = 1'000'000;
constexpr int kPacketBytes = 5;

// The sample thread of the enable: the thread created right after the
// controller's interrupt was bound.
std::string sampleThreadName(const std::vector<hosted::TraceRecord>& trace) {
    bool bound = false;
    for (const hosted::TraceRecord& record : trace) {
        if (record.what.rfind("binds interrupt", 0) == 0) {
            bound = true;
        } else if (bound && record.what.rfind("creates ", 0) == 0) {
            return record.what.substr(8, record.what.find(' ', 8) - 8);
        }
    }
    return {};
}

// Virtual time `thread` ran between `from` and `to`: from each time it got
// the CPU (switched to, or woken while the CPU was idle) until it blocked or
// handed the CPU over.
hosted::Micros cpuTime(const std::vector<hosted::TraceRecord>& trace, const std::string& thread,
                       hosted::Micros from, hosted::Micros to) {
    hosted::Micros total = 0;
    bool running = false;
    hosted::Micros since = 0;
    for (const hosted::TraceRecord& record : trace) {
        if (record.time < from || record.time > to) {
            continue;
        }
        const std::string& what = record.what;
        if (what == "switch to " + thread || what == "wakes " + thread ||
            what == "wakes " + thread + " (timeout)") {
            if (!running) {
                running = true;
                since = record.time;
            }
        } else if (record.thread == thread && running &&
                   (what.rfind("waits ", 0) == 0 || what.rfind("sleeps", 0) == 0 ||
                    what.rfind("switch to ", 0) == 0)) {
            total += record.time - since;
            running = false;
        }
    }
    return total + (running ? to - since : 0);
}

void BM_DeliveryAtTheLinkLimit(benchmark::State& state) {
    double samples = 0;
    double cpu = 0;
    double ports = 0;
    double linkPackets = 0;
    for (auto _ : state) {
        windowing::SessionConfig config;
        config.kernel.tracePorts = true;
        config.machine.controller.reportRate = 1000;
        windowing::Session session(config);
        session.load();
        if (session.enable() != TRUE) {
            state.SkipWithError("the driver did not enable");
            return;
        }
        const std::size_t portsBefore = session.kernel().portTrace().size();
        const hosted::Micros start = session.now();
        session.touch(400, 240);
        session.waitMicros(kStreaming);
        const hosted::Micros end = session.now();
        const std::size_t delivered = session.samples().size();
        const std::size_t accesses = session.kernel().portTrace().size() - portsBefore;
        session.lift();
        session.wait(100);

        const std::vector<hosted::TraceRecord>& trace = session.trace();
        samples += static_cast<double>(delivered);
        cpu += static_cast<double>(cpuTime(trace, sampleThreadName(trace), start, end));
        ports += static_cast<double>(accesses);
        linkPackets =
            1e6 / static_cast<double>(kPacketBytes * session.machine().i8042().byteTime());
        session.disable();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["samples_per_virtual_s"] = samples / runs;
    state.counters["link_packets_per_s"] = linkPackets;
    state.counters["delivered_to_link"] = samples / runs / linkPackets;
    state.counters["cpu_us_per_sample"] = cpu / samples;
    state.counters["ports_per_sample"] = ports / samples;
}
BENCHMARK(BM_DeliveryAtTheLinkLimit)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
