#include "windowing/session.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

namespace windowing {

// ---- PendingCapture ----

struct PendingCapture::State {
    PFN_TouchPanelReadCalibrationPoint read = nullptr;
    PFN_TouchPanelReadCalibrationAbort abort = nullptr;
    hosted::Kernel* kernel = nullptr;
    HANDLE thread = nullptr;  // closed (and null) once released
    std::atomic<bool> finished{false};
    CaptureResult result;
};

namespace {

// The capturing thread.  It owns one reference to the shared state, so the
// state outlives a PendingCapture that was dropped before the call returned.
DWORD captureThread(LPVOID parameter) {
    std::unique_ptr<std::shared_ptr<PendingCapture::State>> reference(
        static_cast<std::shared_ptr<PendingCapture::State>*>(parameter));
    PendingCapture::State& state = **reference;
    INT x = 0;
    INT y = 0;
    const BOOL result = state.read(&x, &y);
    state.result = CaptureResult{result, Point{x, y}, GetLastError(), state.kernel->now()};
    state.finished.store(true);
    return 0;
}

// Ends a capture that has not returned (abort, then a bounded wait for its
// thread) and closes its thread handle.  Runs on the session's thread.
void stopCapture(PendingCapture::State& state) {
    if (state.thread == nullptr) {
        return;
    }
    if (!state.finished.load()) {
        state.abort();
    }
    WaitForSingleObject(state.thread, Session::kCaptureStopWaitMs);
    CloseHandle(state.thread);
    state.thread = nullptr;
}

}  // namespace

PendingCapture::PendingCapture(std::shared_ptr<State> state) : state_(std::move(state)) {}

PendingCapture::PendingCapture(PendingCapture&& other) noexcept = default;

PendingCapture& PendingCapture::operator=(PendingCapture&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

PendingCapture::~PendingCapture() {
    release();
}

void PendingCapture::release() {
    if (state_) {
        stopCapture(*state_);
        state_.reset();
    }
}

bool PendingCapture::finished() const {
    return state_ && state_->finished.load();
}

bool PendingCapture::waitFor(DWORD timeoutMs) {
    if (state_ && state_->thread != nullptr && !state_->finished.load()) {
        WaitForSingleObject(state_->thread, timeoutMs);
    }
    return finished();
}

const CaptureResult& PendingCapture::result() const {
    if (!finished()) {
        throw std::logic_error("windowing::PendingCapture: the capture has not returned yet");
    }
    return state_->result;
}

// ---- Session ----

Session::Session(SessionConfig config)
    : config_(std::move(config)),
      ownedKernel_(std::make_unique<hosted::Kernel>(config_.kernel)),
      kernel_(ownedKernel_.get()) {
    setUp();
}

Session::Session(hosted::Kernel& kernel, SessionConfig config)
    : config_(std::move(config)), kernel_(&kernel) {
    setUp();
}

Session::~Session() {
    tearDown();
}

void Session::setUp() {
    machine_ = std::make_unique<sim::Machine>(*kernel_, config_.machine);
    if (config_.describeBoard) {
        machine_->describeInRegistry(registry());
    }
    if (!config_.registryText.empty()) {
        registry().loadText(config_.registryText, config_.registryName, config_.registryDefines);
    }
    recorder_ = std::make_unique<Recorder>();
}

void Session::tearDown() noexcept {
    // Each step is attempted even when an earlier one failed: a run stopped
    // by the kernel (deadlock report) must still leave the process usable.
    for (const std::weak_ptr<PendingCapture::State>& weak : captures_) {
        if (std::shared_ptr<PendingCapture::State> state = weak.lock()) {
            try {
                stopCapture(*state);
            } catch (...) {
            }
        }
    }
    captures_.clear();
    if (enableOutstanding_ && library_) {
        try {
            disable();
        } catch (...) {
        }
    }
    try {
        unload();
    } catch (...) {
    }
}

DriverLibrary& Session::library() {
    if (!library_) {
        throw std::logic_error("windowing::Session: no driver library is loaded");
    }
    return *library_;
}

const DriverEntryPoints& Session::entry() {
    return library().entry();
}

void Session::load() {
    if (library_) {
        throw std::logic_error("windowing::Session: the driver library is loaded already");
    }
    library_ = std::make_unique<DriverLibrary>(config_.library);
}

bool Session::unload() {
    if (!library_) {
        return false;
    }
    library_->unload();
    const bool unmapped = !library_->keptMapped();
    library_.reset();
    enableOutstanding_ = false;
    return unmapped;
}

BOOL Session::enable() {
    return enable(Recorder::callback());
}

BOOL Session::enable(PFN_TOUCH_PANEL_CALLBACK callback) {
    const PFN_TouchPanelEnable call = entry().enable;
    enableOutstanding_ = true;
    return call(callback);
}

void Session::disable() {
    const PFN_TouchPanelDisable call = entry().disable;
    call();
    enableOutstanding_ = false;
}

void Session::touch(double x, double y) {
    panel().press(sim::Point{x, y});
}

void Session::move(double x, double y) {
    panel().moveTo(sim::Point{x, y});
}

void Session::lift() {
    panel().lift();
}

void Session::tap(double x, double y, DWORD holdMs) {
    touch(x, y);
    wait(holdMs);
    lift();
}

void Session::play(const sim::TouchScript& script) {
    panel().play(script);
}

void Session::wait(DWORD ms) {
    waitMicros(static_cast<hosted::Micros>(ms) * hosted::kMicrosPerMilli);
}

void Session::waitMicros(hosted::Micros us) {
    kernel_->advance(us);
}

hosted::Micros Session::now() const {
    return kernel_->now();
}

BOOL Session::getDeviceCaps(INT query, void* record) {
    return entry().getDeviceCaps(query, record);
}

std::optional<int> Session::calibrationPointCount() {
    TPDC_CALIBRATION_POINT_COUNT record{};
    if (getDeviceCaps(TPDC_CALIBRATION_POINT_COUNT_ID, &record) == FALSE) {
        return std::nullopt;
    }
    return record.cCalibrationPoints;
}

TargetAnswer Session::calibrationTarget(int pointNumber, int width, int height) {
    TPDC_CALIBRATION_POINT record{};
    record.PointNumber = pointNumber;
    record.cDisplayWidth = width;
    record.cDisplayHeight = height;
    TargetAnswer answer;
    answer.result = getDeviceCaps(TPDC_CALIBRATION_POINT_ID, &record);
    answer.lastError = GetLastError();
    answer.target = Point{record.CalibrationX, record.CalibrationY};
    return answer;
}

BOOL Session::setMode(INT mode) {
    return entry().setMode(mode, nullptr);
}

void Session::powerHandler(BOOL off) {
    entry().powerHandler(off);
}

BOOL Session::setCalibration(const std::vector<Point>& screen, const std::vector<Point>& raw) {
    if (screen.size() != raw.size()) {
        throw std::invalid_argument(
            "windowing::Session::setCalibration: " + std::to_string(screen.size()) +
            " screen points but " + std::to_string(raw.size()) + " raw points");
    }
    std::vector<INT32> screenX, screenY, rawX, rawY;
    for (std::size_t i = 0; i < screen.size(); ++i) {
        screenX.push_back(screen[i].x);
        screenY.push_back(screen[i].y);
        rawX.push_back(raw[i].x);
        rawY.push_back(raw[i].y);
    }
    return setCalibration(static_cast<INT32>(screen.size()), screenX.data(), screenY.data(),
                          rawX.data(), rawY.data());
}

BOOL Session::setCalibration(INT32 count, INT32* screenX, INT32* screenY, INT32* rawX,
                             INT32* rawY) {
    return entry().setCalibration(count, screenX, screenY, rawX, rawY);
}

Point Session::calibrateAPoint(INT32 rawX, INT32 rawY) {
    INT32 screenX = 0;
    INT32 screenY = 0;
    entry().calibrateAPoint(rawX, rawY, &screenX, &screenY);
    return Point{screenX, screenY};
}

CaptureResult Session::readCalibrationPoint() {
    INT x = 0;
    INT y = 0;
    const BOOL result = entry().readCalibrationPoint(&x, &y);
    return CaptureResult{result, Point{x, y}, GetLastError(), now()};
}

PendingCapture Session::startCapture(int priority) {
    auto state = std::make_shared<PendingCapture::State>();
    state->read = entry().readCalibrationPoint;
    state->abort = entry().readCalibrationAbort;
    state->kernel = kernel_;
    auto* reference = new std::shared_ptr<PendingCapture::State>(state);
    state->thread = CreateThread(nullptr, 0, &captureThread, reference, 0, nullptr);
    if (state->thread == nullptr) {
        delete reference;
        throw std::runtime_error("windowing::Session: cannot create the capture thread");
    }
    CeSetThreadPriority(state->thread, priority);
    std::erase_if(captures_, [](const auto& weak) { return weak.expired(); });
    captures_.push_back(state);
    // Claimed (the call waits on the driver's event) or refused (it returned);
    // a call still on its way in would miss an abort made now.
    HANDLE thread = state->thread;
    kernel_->advanceUntil(
        [this, thread] {
            const hosted::ThreadActivity activity = kernel_->activityOf(thread);
            return activity == hosted::ThreadActivity::WaitsOnEvent ||
                   activity == hosted::ThreadActivity::Ended;
        },
        kCaptureClaimWaitMs * hosted::kMicrosPerMilli);
    return PendingCapture(std::move(state));
}

void Session::abortCapture() {
    entry().readCalibrationAbort();
}

DWORD Session::lastError() const {
    return GetLastError();
}

void Session::setLastError(DWORD error) {
    SetLastError(error);
}

CursorPosition placeCursor(const hosted::CursorMove& move, const sim::DisplayConfig& display) {
    constexpr int kQuarterTurn = 90;
    const bool turned = display.orientation % (2 * kQuarterTurn) == kQuarterTurn;
    const int width = turned ? display.height : display.width;
    const int height = turned ? display.width : display.height;
    const Point requested{move.x, move.y};
    return CursorPosition{
        move.time, Point{std::clamp(move.x, 0, width - 1), std::clamp(move.y, 0, height - 1)},
        requested};
}

std::vector<CursorPosition> Session::cursor() const {
    std::vector<CursorPosition> out;
    out.reserve(kernel_->cursorMoves().size());
    for (const hosted::CursorMove& move : kernel_->cursorMoves()) {
        out.push_back(placeCursor(move, config_.machine.display));
    }
    return out;
}

const std::vector<hosted::CursorMove>& Session::cursorMoves() const {
    return kernel_->cursorMoves();
}

std::vector<sim::Click> Session::clicks() const {
    return machine_->speaker().clicks();
}

const std::vector<hosted::KernelFault>& Session::faults() const {
    return kernel_->faults();
}

const std::vector<hosted::TraceRecord>& Session::trace() const {
    return kernel_->trace();
}

}  // namespace windowing
