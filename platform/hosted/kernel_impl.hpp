// Private to the hosted kernel: its objects, its threads and the scheduler
// that passes the baton between them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/hosted/handle_table.hpp"
#include "platform/hosted/kernel.hpp"
#include "platform/hosted/trace_log.hpp"
#include "platform/hosted/win32.h"

namespace hosted {

constexpr DWORD kStillActive = 259;  // GetExitCodeThread of a running thread
constexpr int kPriorityErrorReturn = 0x7FFFFFFF;
constexpr int kLowestPriority = 255;
// GetCurrentThread's pseudo-handle: the board's value, slot 65 of generation
// 0, which no handle of the table ever has (generations start at 1).
inline void* const kCurrentThreadPseudoHandle = reinterpret_cast<void*>(std::uintptr_t{65});

enum class ObjectKind { Event, Semaphore, Thread, CriticalSection, Key };
const char* kindName(ObjectKind kind);
std::string withArticle(ObjectKind kind);  // "an event", "a semaphore", ...
// ":symbol" naming a thread's start routine when the dynamic linker knows it.
std::string routineName(LPTHREAD_START_ROUTINE start);
// "preemption pct:2:100, stalls 1/(20 n) within 0.020000 s", for traces and reports.
std::string describePreemption(const Preemption& preempt);

struct Thread;

// A kernel object; threads blocked on it queue in `waiters`, first come
// first served.
struct Object {
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    const ObjectKind kind;
    std::deque<Thread*> waiters;
};

struct Event : Object {
    Event(bool manual, bool initial)
        : Object(ObjectKind::Event), manualReset(manual), signaled(initial) {}
    bool manualReset;
    bool signaled;
    std::u16string name;
};

struct Semaphore : Object {
    Semaphore(LONG initial, LONG max)
        : Object(ObjectKind::Semaphore), count(initial), maximum(max) {}
    LONG count;
    LONG maximum;
};

struct CriticalSectionObject : Object {
    CriticalSectionObject() : Object(ObjectKind::CriticalSection) {}
    Thread* owner = nullptr;
    unsigned depth = 0;  // entries by the owner, counted so a double entry cannot hang
};

struct KeyObject : Object {
    explicit KeyObject(std::string p) : Object(ObjectKind::Key), path(std::move(p)) {}
    std::string path;  // without the root, as the registry takes it
};

enum class ThreadState { Ready, Running, Blocked, Finished, Parked };

// What a blocked thread waits for.
struct WaitInfo {
    std::shared_ptr<Object> object;  // null for Sleep and advance()
    void* handle = nullptr;          // as the waiter named it
    Micros since = 0;
    std::optional<Micros> deadline;
    std::uint64_t order = 0;         // ties between equal deadlines: first blocked wakes first
    bool wakeOnStep = false;         // advanceUntil: also woken when the machine falls quiet
    std::uint64_t activityMark = 0;  // ...after kernel activity beyond this count
    DWORD result = WAIT_FAILED;
};

struct Thread : Object {
    Thread() : Object(ObjectKind::Thread) {}
    DWORD id = 0;
    std::string name;
    int priority = THREAD_PRIORITY_NORMAL_256;
    ThreadState state = ThreadState::Ready;
    std::condition_variable turn;  // signalled when the baton comes to this thread
    std::thread os;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    WaitInfo wait;
    std::int64_t readyOrder = 0;
    std::uint64_t quietMark = ~std::uint64_t{0};  // kernel activity at its last lone Sleep(0)
    std::optional<Micros> tickReadAt;             // when it last called GetTickCount
    bool readyAsync = false;   // made ready by a timeout or a device event, not yet run since
    bool inPoint = false;      // inside a preemption point
    std::int64_t pctRank = 0;  // Pct: its priority, higher runs first
    DWORD lastError = 0;
    DWORD exitCode = kStillActive;
};

// Thrown from a blocking call to end a thread (ExitThread, or the kernel's
// destruction) and caught in the thread's trampoline.
struct ThreadEnd {
    DWORD exitCode;
};

struct InterruptBinding {
    unsigned line = 0;
    std::shared_ptr<Event> event;
    void* handle = nullptr;
    bool bound = false;
    bool masked = false;
    bool latched = false;  // an edge arrived while masked
};

// Sets a flag for the lifetime of a scope (device code running, for one).
class FlagScope {
  public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

  private:
    bool& flag_;
};

struct PortRange {
    std::uint16_t first;
    std::uint16_t last;
    PortDevice* device;
};

class Kernel::Impl : public DeviceContext {
  public:
    Impl(Kernel& kernel, KernelConfig config);
    ~Impl() override;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The kernel of a platform call and its calling thread; aborts with a
    // message when there is no kernel or the caller is not one of its threads.
    static Impl& forCall(const char* function);
    Thread& self();
    const KernelConfig& config() const { return config_; }

    // ---- DeviceContext ----
    Micros now() const override { return now_; }
    // The tick count at the current virtual time.
    std::uint32_t ticks() const {
        return static_cast<std::uint32_t>(config_.tickStart + now_ / kMicrosPerMilli);
    }
    DeviceEventId schedule(Micros at, std::function<void()> action) override;
    void cancel(DeviceEventId id) override;
    void raiseLine(unsigned line) override;

    // ---- Scheduling (the caller holds the baton) ----
    // A platform call at which another thread may take over: a higher
    // priority one that became ready, or any ready one under the random policy.
    void switchPoint();
    void yield();                                // Sleep(0)
    void sleep(std::optional<Micros> duration);  // Sleep(n), n > 0; nullopt: forever
    void portCycle();                            // the time of one port access
    std::uint32_t readTicks();                   // GetTickCount, noted for the poll skip
    void advance(Micros duration);
    bool advanceUntil(const std::function<bool()>& pred, Micros timeout);
    void shutdown();

    // ---- Preemption points (preemption.cpp) ----
    void preemptionPoint(std::uint32_t block, const void* site);
    bool runsPoints() const;  // the caller is the running thread and points may act

    // ---- Threads ----
    HANDLE createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD id);
    [[noreturn]] void exitThread(DWORD code);
    void setPriority(Thread& thread, int priority);
    void setThreadName(Thread& thread, std::string name) { thread.name = std::move(name); }
    std::size_t liveThreads() const;
    bool othersIdle() const;

    // ---- Objects and waits ----
    HANDLE addHandle(std::shared_ptr<Object> object);
    // The object of a handle, of the given kind; records a fault and sets
    // ERROR_INVALID_HANDLE when the handle is closed, unknown or of another kind.
    std::shared_ptr<Object> currentThreadObject();
    std::shared_ptr<Object> lookup(const void* handle, const char* call,
                                   std::optional<ObjectKind> kind = std::nullopt);
    bool closeHandle(HANDLE handle, const char* call,
                     std::optional<ObjectKind> kind = std::nullopt);
    HANDLE createEvent(BOOL manualReset, BOOL initialState, LPCWSTR name);
    HANDLE openEvent(LPCWSTR name);
    void signal(Event& event);
    void pulse(Event& event);
    BOOL releaseSemaphore(Semaphore& semaphore, LONG count, PLONG previous);
    DWORD waitFor(HANDLE handle, DWORD milliseconds);

    // ---- Critical sections ----
    void initSection(LPCRITICAL_SECTION section);
    void deleteSection(LPCRITICAL_SECTION section);
    void enterSection(LPCRITICAL_SECTION section);
    void leaveSection(LPCRITICAL_SECTION section);

    // ---- Interrupts ----
    void mapInterrupt(std::uint32_t sysIntr, unsigned line);
    BOOL interruptInitialize(DWORD sysIntr, HANDLE event);
    void interruptDone(DWORD sysIntr);
    void interruptDisable(DWORD sysIntr);

    // ---- Ports ----
    void mapPorts(std::uint16_t first, std::uint16_t last, PortDevice& device);
    void unmapPorts(PortDevice& device);
    UCHAR readPort(std::uintptr_t port);
    void writePort(std::uintptr_t port, UCHAR value);

    // ---- Fault injection ----
    void failCall(FaultPoint point, unsigned nth);
    void clearFailures() { failures_.clear(); }
    bool injectFailure(FaultPoint point);

    // ---- Records ----
    void setError(DWORD error) { self().lastError = error; }
    void fault(std::string what);
    // An argument the platform reserves or restricts and refuses with
    // ERROR_INVALID_PARAMETER when it is not as required: recorded as a
    // fault ("<call>: <what>").  True when refused.
    bool refuseArgument(const char* call, const char* what, bool allowed);
    void trace(std::string what);
    std::string threadReport() const;
    std::string describePolicy() const;    // policy and seed
    std::string describeSchedule() const;  // policy, seed and preemption
    std::string describeWait(const Thread& thread) const;
    std::string handleText(const void* handle) const;

    Kernel& kernel;
    Registry registry;
    std::uint32_t displayOrientation = DMDO_0;
    bool displayQueryFails = false;
    std::vector<CursorMove> cursorMoves;
    std::vector<KernelFault> faults;
    std::vector<PortAccess> portTrace;
    TraceLog traceLog;
    HandleTable handles;

  private:
    struct FailureRule {
        FaultPoint point;
        unsigned nth;       // 0: every call
        unsigned seen = 0;  // calls of the point since the rule was set
    };

    // Baton passing.
    void handOver(Thread& from, Thread& to);
    void handOverAndExit(Thread& from, Thread& to);
    void afterResume(Thread& thread);
    void trampoline(Thread& thread);
    void finishThread(Thread& thread, DWORD code);
    void reapFinished();

    // Choosing the next thread.
    void makeReady(Thread& thread, bool front);
    bool anyReadyAbove(int priority, bool orEqual) const;
    Thread& takeNext();
    Thread& pickNext(Thread& current);
    void block(Thread& thread);  // gives the baton away until woken
    std::optional<Micros> nextPending() const;
    Thread* earliestDeadline(Micros limit) const;
    // Runs device events and wakes timed-out threads up to `target`; false
    // when the run hit its time cap on the way.
    bool advanceClockTo(Micros target);
    void runDueEvents(Micros target);
    bool wakeStaleSteppers();
    void wake(Thread& thread, DWORD result);
    void cancelWait(Thread& thread);
    bool tryAcquire(Object& object, Thread& thread);

    // Stopping a run that cannot go on.
    Thread& stopRun(Thread& current, const std::string& why);
    [[noreturn]] void halt(Thread& current, const std::string& why);
    void runAlone(Thread& thread);

    CriticalSectionObject* sectionOf(LPCRITICAL_SECTION section, const char* call);
    void deliverInterrupt(std::uint32_t sysIntr, InterruptBinding& binding);
    std::string threadName(const Thread* thread) const;

    // Preemption (preemption.cpp).
    bool pct() const { return config_.preempt.mode == PreemptMode::Pct; }
    SchedulePolicy policy() const;  // at platform calls, when not pct
    void stallAt(std::uint32_t block, const void* site);
    Thread* targetCandidate(const Thread& me) const;
    void preemptAt(Thread& me, Thread& next, bool front, const void* site);
    void pctStep(Thread& me);
    void pctDraw();
    Thread* pctBest() const;
    bool pctSwitch(Thread& me, const void* site);
    void pctRankNew(Thread& thread);

    KernelConfig config_;
    std::mt19937_64 random_;
    // Draws of the preemption points, apart from random_ so that points that
    // never act leave the schedule as it was.
    std::mt19937_64 preemptRandom_;
    std::vector<std::uint32_t> visits_;        // by block number
    Micros sliceStart_ = 0;                    // when the running thread got the baton
    std::uint64_t contested_ = 0;              // Pct: contested steps so far
    std::uint64_t windowEnd_ = 0;              // Pct: the last step of the current window
    std::vector<std::uint64_t> changePoints_;  // Pct: steps of this window, ascending
    std::size_t changesFired_ = 0;             // of changePoints_
    std::int64_t pctFloor_ = 0;    // Pct: below every rank; each change point goes lower
    bool advancingClock_ = false;  // running due events: a wake is asynchronous

    // The baton: only the thread that owner_ names runs.  Atomic so that a
    // preemption point may check it from any thread.
    std::mutex batonMutex_;
    std::atomic<Thread*> owner_{nullptr};

    std::vector<std::shared_ptr<Thread>> threads_;  // creation order; [0] is main
    Thread* main_ = nullptr;
    std::vector<Thread*> ready_;
    std::int64_t backOrder_ = 0;
    std::int64_t frontOrder_ = 0;
    std::uint64_t waitOrder_ = 0;
    DWORD nextThreadId_ = 1;

    Micros now_ = 0;
    std::uint64_t steps_ = 0;
    std::map<std::pair<Micros, DeviceEventId>, std::function<void()>> events_;
    std::unordered_map<DeviceEventId, Micros> eventTimes_;
    DeviceEventId nextEventId_ = 1;
    bool inDeviceAction_ = false;
    std::uint64_t activity_ = 0;  // kernel events and device events; not port access or Sleep(0)

    bool stopped_ = false;
    bool stopThrown_ = false;  // RunStopped reaches the main thread once
    std::string stopReport_;
    bool shuttingDown_ = false;

    std::map<std::u16string, std::weak_ptr<Object>> names_;
    std::map<std::uint32_t, InterruptBinding> interrupts_;
    std::vector<PortRange> ports_;
    std::vector<FailureRule> failures_;
};

}  // namespace hosted
