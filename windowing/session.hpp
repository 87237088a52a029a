// A scripted session of the windowing system with the TOUCH driver on the
// simulated board: the API the driver tests and touchsim drive.
//
// A Session puts together
//   - a hosted::Kernel (its own, or one the caller lends it),
//   - a sim::Machine built from a sim::MachineConfig on that kernel,
//   - the registry settings (the board's "ioBase" and "sysIntr", then any .reg
//     text given; or anything set in code through registry()),
//   - the driver library (a fresh instance at every load()) and
//   - a Recorder that receives every sample the driver delivers.
//
// Every operation runs on the thread that made the Session, which is the
// kernel's main thread: entry points are called there, and wait() lets
// virtual time pass there while the driver's threads and the devices run.
// Nothing here waits on the wall clock.
//
// Typical use:
//
//   windowing::Session session;                  // 800 x 480 board, working registry
//   session.load();
//   ASSERT_EQ(session.enable(), TRUE);
//   session.tap(400, 240, 30);              // press, hold 30 ms, lift
//   session.wait(10);
//   for (const windowing::Sample& s : session.samples()) ...
//
// A calibration capture blocks its caller, so a test that drives touches
// while one is pending starts it on a second kernel thread:
//
//   windowing::PendingCapture capture = session.startCapture();
//   session.touch(100, 100);
//   session.wait(1600);                    // held longer than the driver's hold time
//   ASSERT_TRUE(capture.finished());
//   EXPECT_EQ(capture.result().result, TRUE);
//
// Destroying the Session ends what is still running, in the platform's order:
// pending captures are aborted and waited for, an enabled driver is disabled,
// the library is unloaded, then the machine and (if owned) the kernel go.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted/kernel.hpp"
#include "sim/machine.hpp"
#include "windowing/driver_library.hpp"
#include "windowing/recorder.hpp"

namespace windowing {

// A position in whole units: pixels, quarter pixels or raw controller units,
// as the call that gives it says.
struct Point {
    int x = 0;
    int y = 0;
    bool operator==(const Point&) const = default;
};

// Where the windowing system put the cursor: it keeps the cursor on the
// screen, so a position the driver asks for beyond an edge is clipped to it.
// The screen is the display as turned: 480 x 800 for an 800 x 480 display at
// 90 or 270 degrees.
struct CursorPosition {
    hosted::Micros time = 0;
    Point at;         // on the screen
    Point requested;  // as the driver asked (SetCursorPos)
    bool clipped() const { return at != requested; }
};

CursorPosition placeCursor(const hosted::CursorMove& move, const sim::DisplayConfig& display);

// What TouchPanelReadCalibrationPoint gave back.
struct CaptureResult {
    BOOL result = FALSE;            // TRUE only for a completed capture
    Point raw;                      // the raw position it wrote, whatever the result
    DWORD lastError = 0;            // the calling thread's last error after the call
    hosted::Micros returnedAt = 0;  // virtual time of the return
};

// What TouchPanelGetDeviceCaps answered for one calibration target.
struct TargetAnswer {
    BOOL result = FALSE;
    Point target;  // CalibrationX, CalibrationY in pixels (written even on FALSE)
    DWORD lastError = 0;
};

// A TouchPanelReadCalibrationPoint running on a kernel thread of its own.
// Move-only.  Destroying a capture that has not returned aborts it
// (TouchPanelReadCalibrationAbort) and waits, in virtual time and bounded,
// for its thread to leave.
class PendingCapture {
  public:
    PendingCapture(PendingCapture&&) noexcept;
    PendingCapture& operator=(PendingCapture&&) noexcept;
    PendingCapture(const PendingCapture&) = delete;
    PendingCapture& operator=(const PendingCapture&) = delete;
    ~PendingCapture();

    // True once TouchPanelReadCalibrationPoint has returned.
    bool finished() const;
    // Let virtual time pass until the call returns or `timeoutMs` has passed;
    // returns finished().
    bool waitFor(DWORD timeoutMs);
    // The outcome; throws std::logic_error while the call has not returned.
    const CaptureResult& result() const;

    struct State;  // shared with the capturing thread

  private:
    friend class Session;
    explicit PendingCapture(std::shared_ptr<State> state);
    void release();

    std::shared_ptr<State> state_;
};

struct SessionConfig {
    // Used only when the Session makes its own kernel.
    hosted::KernelConfig kernel;
    sim::MachineConfig machine;
    // Write the board's "ioBase" and "sysIntr" into the registry first.
    bool describeBoard = true;
    // .reg text loaded after the board's values (may add, change or delete).
    std::string registryText;
    std::string registryName = "session.reg";  // names registryText in errors
    std::vector<std::string> registryDefines;  // for IF blocks in the text
    DriverLibraryOptions library;
};

class Session {
  public:
    // How long the teardown waits, in virtual time, for a capture thread to
    // return after it was aborted.
    static constexpr DWORD kCaptureStopWaitMs = 1000;
    // How long startCapture waits, in virtual time, for the call to claim the
    // capture or return.
    static constexpr DWORD kCaptureClaimWaitMs = 1000;

    // Makes its own kernel (one kernel exists per process at a time).
    // Throws sim::ConfigError for a bad machine and hosted::RegParseError for
    // bad registry text.
    explicit Session(SessionConfig config = {});
    // Runs on the caller's kernel, which must outlive the Session; the calling
    // thread must be that kernel's main thread.
    Session(hosted::Kernel& kernel, SessionConfig config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // ---- The parts ----
    hosted::Kernel& kernel() { return *kernel_; }
    sim::Machine& machine() { return *machine_; }
    sim::TouchPanel& panel() { return machine_->panel(); }
    hosted::Registry& registry() { return kernel_->registry(); }
    Recorder& recorder() { return *recorder_; }
    // The loaded library; throws std::logic_error when none is loaded.
    DriverLibrary& library();
    const SessionConfig& config() const { return config_; }

    // ---- Library and lifecycle ----
    // Maps a fresh instance of the driver and attaches it (LoadError on
    // failure).  Throws std::logic_error if one is loaded already.
    void load();
    // Detaches and unmaps.  Does not disable first: a test that unloads an
    // enabled driver gets what the platform would, except that the instance
    // stays mapped while other kernel threads live.  Returns true when the
    // instance was unmapped, false when it stayed mapped or none was loaded.
    bool unload();
    bool loaded() const { return library_ != nullptr; }
    // TouchPanelEnable with the recorder's callback (or the one given).
    BOOL enable();
    BOOL enable(PFN_TOUCH_PANEL_CALLBACK callback);
    void disable();

    // ---- The finger, in display pixels (fractions allowed) ----
    void touch(double x, double y);  // put the finger down now
    void move(double x, double y);   // jump it to another place
    void lift();                     // take it off
    // touch, wait `holdMs`, lift (the session's clock moves on by holdMs).
    void tap(double x, double y, DWORD holdMs);
    // Schedule a whole script on the panel (sim::TouchScript, absolute times).
    void play(const sim::TouchScript& script);

    // ---- Time ----
    void wait(DWORD ms);  // virtual time passes; the driver and devices run
    void waitMicros(hosted::Micros us);
    hosted::Micros now() const;

    // ---- Entry points, on the session's thread ----
    BOOL getDeviceCaps(INT query, void* record);
    // TPDC_CALIBRATION_POINT_COUNT_ID; empty when the query fails.
    std::optional<int> calibrationPointCount();
    // TPDC_CALIBRATION_POINT_ID for one target on a width x height display.
    TargetAnswer calibrationTarget(int pointNumber, int width, int height);
    BOOL setMode(INT mode);
    void powerHandler(BOOL off);
    // screen[i] (pixels) was captured at raw[i]; the sizes must match.
    BOOL setCalibration(const std::vector<Point>& screen, const std::vector<Point>& raw);
    // The bare call, for counts and arrays the vector form cannot express.
    BOOL setCalibration(INT32 count, INT32* screenX, INT32* screenY, INT32* rawX, INT32* rawY);
    // Raw position to screen quarter pixels.
    Point calibrateAPoint(INT32 rawX, INT32 rawY);
    // On the session's thread: blocks until the driver answers, so the touch
    // must already be scheduled (play()) or the capture must be one that
    // returns at once (a refused one).
    CaptureResult readCalibrationPoint();
    // The same call on a new kernel thread at `priority`.  Returns once the
    // call has claimed the capture (it waits on an event) or returned, letting
    // virtual time pass meanwhile, for at most kCaptureClaimWaitMs.
    PendingCapture startCapture(int priority = THREAD_PRIORITY_NORMAL_256);
    void abortCapture();  // TouchPanelReadCalibrationAbort

    // The session thread's last-error value.
    DWORD lastError() const;
    void setLastError(DWORD error);

    // ---- What happened ----
    const std::vector<Sample>& samples() const { return recorder_->samples(); }
    void clearSamples() { recorder_->clear(); }
    std::vector<Sample> takeSamples() { return recorder_->take(); }
    // The driver's SetCursorPos calls, as made.
    const std::vector<hosted::CursorMove>& cursorMoves() const;
    // The cursor as the windowing system placed it, one per call.
    std::vector<CursorPosition> cursor() const;
    std::vector<sim::Click> clicks() const;
    const std::vector<hosted::KernelFault>& faults() const;
    const std::vector<hosted::TraceRecord>& trace() const;

  private:
    void setUp();
    void tearDown() noexcept;
    const DriverEntryPoints& entry();

    SessionConfig config_;
    std::unique_ptr<hosted::Kernel> ownedKernel_;
    hosted::Kernel* kernel_;
    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<DriverLibrary> library_;
    bool enableOutstanding_ = false;  // an enable not yet followed by a disable
    std::vector<std::weak_ptr<PendingCapture::State>> captures_;
};

}  // namespace windowing
