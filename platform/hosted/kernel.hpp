// The hosted kernel: the platform's services on Linux in deterministic
// virtual time.
//
// Every thread that the driver or the host creates is a real OS thread, but
// only one runs at a time: it holds the baton and hands it over only inside a
// platform call.  Time is a virtual clock in microseconds; code runs in no
// time, each port access and each Sleep(0) costs a fixed small amount, and
// when every thread is blocked the clock jumps to the earliest timeout or
// device event.  The same configuration and seed give the same trace.
//
// A thread that yields with Sleep(0) when nothing else could run, and then
// yields alone again with no kernel activity in between but port accesses (a
// polling loop), skips ahead to the next device event, timeout or millisecond
// boundary, whichever comes first: a poll bounded by GetTickCount and device
// state sees the same things as it would spinning, only faster.  A single
// lone Sleep(0) costs exactly yieldCost.
//
// One Kernel exists at a time per process.  The thread that constructs it
// becomes the kernel's first thread ("main") and holds the baton; the platform
// calls of platform/hosted/win32.h act on the current kernel and abort with a
// message when there is none or when the caller is not one of its threads.
// Destroying the kernel ends every thread it still has: each is unwound from
// the blocking call it waits in, then joined.
//
// When a run cannot go on (deadlock, time or step cap), RunStopped is thrown
// once in the main thread.  From then on the main thread runs alone: no other
// thread gets the baton again, a timed wait lets its time pass and times out,
// and an untimed wait fails at once, so tidying up after a stop cannot hang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/hosted/devices.hpp"
#include "platform/hosted/registry.hpp"

namespace hosted {

enum class SchedulePolicy {
    Priority,  // the platform's: strict priority, FIFO within a priority
    Random,    // seeded random choice among ready threads at every switch point
};

// Preemption inside the driver's own code.  A build that instruments the
// driver (the preempt preset) calls preemptionPoint() at the start of each of
// its basic blocks; this says what the kernel does there.  Off and without
// stalls, a point does nothing and the kernel runs as it would without them.
enum class PreemptMode {
    Off,
    // What the board can do: a thread of strictly higher priority made ready
    // by an interrupt or a timeout takes over at once, one of equal priority
    // when the running thread's time slice is over; never a lower priority,
    // never a thread woken by the running thread's own call.  The platform
    // calls then switch as the platform does (the priority policy), whatever
    // the schedule policy says.
    Target,
    // Any ready thread may take over, chosen as the random policy chooses.
    Any,
    // Probabilistic concurrency testing: every thread gets a random priority
    // of its own when it is created, and depth - 1 change points are drawn
    // over each window of `window` contested steps (steps at which another
    // thread is ready); at a change point the running thread drops below
    // every other thread, for good.  The highest ready
    // thread runs, at platform calls and at points alike; this replaces the
    // schedule policy.
    Pct,
};

struct Preemption {
    PreemptMode mode = PreemptMode::Off;
    unsigned depth = 2;          // Pct: d, so d - 1 change points a window
    std::uint64_t window = 100;  // Pct: k, contested steps a window
    // 0: no stalls.  Otherwise the n-th visit of a block stalls with
    // probability 1 / (stallOdds * n): virtual time jumps to the next device
    // event or timeout, if one is due within stallHorizon, so that interrupts
    // and timeouts land in the middle of driver code.
    unsigned stallOdds = 0;
    Micros stallHorizon = 20'000;
    Micros timeSlice = 100'000;  // Target: the quantum of equal priorities
};

struct CursorMove {
    Micros time;
    int x;
    int y;
};

struct KernelConfig {
    std::uint32_t tickStart = 0;  // GetTickCount() at virtual time 0
    SchedulePolicy policy = SchedulePolicy::Priority;
    std::uint64_t seed = 1;                       // for the random policy
    Micros portAccessCost = 1;                    // one ISA I/O cycle
    Micros yieldCost = 1;                         // Sleep(0)
    Micros timeLimit = 24ull * 3600 * 1'000'000;  // virtual time cap: a livelock report
    std::uint64_t stepLimit = 2'000'000'000;      // scheduler switch-point cap
    int mainPriority = 251;                       // priority of the constructing thread
    bool tracePorts = false;                      // record every port access with its time
    bool traceKernel = true;                      // record switches, waits, signals, interrupts
    std::size_t traceLimit = 1'000'000;  // trace lines kept; later ones only count in the hash
    // Every SetCursorPos is kept in cursorMoves() unless this is false (a
    // long run that needs only a summary); onCursorMove, when set, is told of
    // each as it happens, on the calling thread.
    bool keepCursorMoves = true;
    std::function<void(const CursorMove&)> onCursorMove;
    // What the platform leaves undefined is filled with this byte: the buffer
    // of a RegQueryValueExW too small for the value.
    std::uint8_t undefinedFill = 0xA5;
    Preemption preempt;
};

// A preemption point of instrumented code: `block` numbers the basic block
// within its module (the same in every loaded copy), `site` is an address in
// it that the trace names as module+offset.  Does nothing without a kernel,
// from a thread that is not the kernel's running thread, during a device
// action, after a stop, while the kernel ends, when re-entered, or with
// preemption off.
void preemptionPoint(std::uint32_t block, const void* site);

// What a kernel thread is doing, as the kernel knows it.
enum class ThreadActivity {
    Running,
    Ready,
    Sleeping,  // Sleep or advance(), no object
    WaitsOnEvent,
    WaitsOnSemaphore,
    WaitsOnThread,
    WaitsOnLock,  // a critical section
    Ended,
};

// One line of the kernel trace.
struct TraceRecord {
    Micros time;
    std::string thread;
    std::string what;
};

// A misuse the kernel caught instead of invoking undefined behaviour: a
// reserved argument that is not 0 or null, a closed, unknown or wrong-kind handle used, a handle
// closed while another thread waits on it, a critical section left by a thread that does not own
// it, entered twice by its owner (counted, so nothing hangs), used while null,
// uninitialized or deleted, deleted while in use, or still owned by a thread
// that ended; a port number outside the I/O space; a thread ended by an
// exception.
struct KernelFault {
    Micros time;
    std::string thread;
    std::string what;
};

struct PortAccess {
    Micros time;
    std::uint16_t port;
    std::uint8_t value;
    bool write;
};

// Calls that tests can make fail, to drive every failure path.
enum class FaultPoint {
    CreateEvent,
    CreateSemaphore,
    CreateThread,
    InterruptInitialize,
    RegistryOpen,  // RegOpenKeyExW and RegCreateKeyExW
};

// Thrown from the blocking call of the kernel's main thread when the run
// cannot go on: every thread blocked with nothing pending (deadlock), or the
// virtual time or step cap reached (livelock).  what() is the full report:
// each thread, what it waits on and since when, and the seed.
class RunStopped : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Kernel {
  public:
    explicit Kernel(KernelConfig config = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel the platform calls act on; null when there is none.
    static Kernel* current();

    const KernelConfig& config() const;

    // ---- Time ----
    Micros now() const;
    std::uint32_t tickCount() const;
    // Let virtual time pass on the calling (kernel) thread: the other
    // threads and the devices run meanwhile.  Same as Sleep, in microseconds.
    void advance(Micros duration);
    // Advance until pred() holds or the timeout passes; pred is evaluated at
    // every switch back to the caller.  Returns pred().
    bool advanceUntil(const std::function<bool()>& pred, Micros timeout);

    // ---- The device seam ----
    DeviceContext& devices();
    void mapPorts(std::uint16_t first, std::uint16_t last, PortDevice& device);
    void unmapPorts(PortDevice& device);
    // The interrupt controller: logical interrupt id -> device line.
    void mapInterrupt(std::uint32_t sysIntr, unsigned line);

    // ---- Registry ----
    Registry& registry();

    // ---- Windowing services ----
    void setDisplayOrientation(std::uint32_t dmdo);
    void setDisplayQueryFails(bool fails);
    const std::vector<CursorMove>& cursorMoves() const;

    // ---- Fault injection ----
    // Make the nth call (1-based, counted from this request) of the point
    // fail; nth 0 makes every call fail until clearFailures().  A failed
    // object creation sets ERROR_NOT_ENOUGH_MEMORY, a failed registry open
    // returns ERROR_FILE_NOT_FOUND, a failed InterruptInitialize sets
    // ERROR_INVALID_PARAMETER.
    void failCall(FaultPoint point, unsigned nth = 0);
    void clearFailures();

    // ---- Checks ----
    const std::vector<KernelFault>& faults() const;
    std::size_t openHandleCount() const;
    std::size_t liveThreadCount() const;  // the main thread included
    const std::vector<TraceRecord>& trace() const;
    std::uint64_t traceHash() const;  // FNV-1a over the trace text
    void writeTrace(const std::string& path) const;
    const std::vector<PortAccess>& portTrace() const;
    // A human-readable report of every thread and what it waits on.
    std::string threadReport() const;
    // Throws std::invalid_argument for anything but an open thread handle.
    ThreadActivity activityOf(void* thread) const;
    // Every kernel thread but the caller waits without a timeout or has
    // ended: the machine's threads have done all they had to do for now.
    bool othersIdle() const;

    // ---- Threads ----
    // Names a kernel thread in the trace and in reports.  A created thread is
    // "thread-N" (N its id; the main thread is 1), followed by ":routine"
    // when the dynamic linker can name its start routine.  Throws
    // std::invalid_argument for anything but an open thread handle.
    void setThreadName(void* thread, const std::string& name);

    // Private implementation; public so that the platform calls can reach it.
    class Impl;
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace hosted
