#include "windowing/calibration_screen.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

namespace windowing {

namespace {

std::string targetName(std::size_t index) {
    return "target " + std::to_string(index);
}

}  // namespace

CalibrationScreen::CalibrationScreen(Session& session, CalibrationScreenConfig config)
    : session_(session), config_(std::move(config)) {}

int CalibrationScreen::width() const {
    return config_.displayWidth > 0 ? config_.displayWidth
                                    : session_.machine().config().display.width;
}

int CalibrationScreen::height() const {
    return config_.displayHeight > 0 ? config_.displayHeight
                                     : session_.machine().config().display.height;
}

CalibrationReport CalibrationScreen::run() {
    CalibrationReport report;
    const std::optional<int> count = session_.calibrationPointCount();
    if (!count) {
        report.failure = "the driver did not give the number of calibration points (last error " +
                         std::to_string(session_.lastError()) + ")";
        return report;
    }
    report.pointCount = *count;
    if (*count < 1 || *count > kMaxPoints) {
        report.failure = "the driver asks for " + std::to_string(*count) +
                         " calibration points; the screen shows 1 to " + std::to_string(kMaxPoints);
        return report;
    }
    for (std::size_t index = 0; index < static_cast<std::size_t>(*count); ++index) {
        if (!visit(index, report)) {
            return report;
        }
    }
    std::vector<Point> screen;
    std::vector<Point> raw;
    for (const CalibrationPointResult& point : report.points) {
        screen.push_back(point.target);
        raw.push_back(point.capture.raw);
    }
    report.verdict = session_.setCalibration(screen, raw);
    report.calibrationSet = true;
    measure(report);
    return report;
}

bool CalibrationScreen::visit(std::size_t index, CalibrationReport& report) {
    const TargetAnswer answer =
        session_.calibrationTarget(static_cast<int>(index), width(), height());
    if (answer.result == FALSE) {
        report.failure = targetName(index) +
                         ": the driver refused the position query (last error " +
                         std::to_string(answer.lastError) + ")";
        return false;
    }
    CalibrationPointResult point;
    point.index = index;
    point.target = answer.target;
    const Point offset = index < config_.offsets.size() ? config_.offsets[index] : Point{};
    point.pressed = Point{answer.target.x + offset.x, answer.target.y + offset.y};

    const bool abortHere = config_.abort && config_.abort->point == index;
    std::optional<PendingCapture> started;
    try {
        started.emplace(session_.startCapture(config_.capturePriority));
    } catch (const std::runtime_error& error) {
        report.failure = targetName(index) + ": " + error.what();
        return false;
    }
    PendingCapture& capture = *started;
    session_.wait(config_.settleMs);
    if (capture.finished()) {
        // Returned before any touch: the driver refused the capture.
        point.capture = capture.result();
        report.points.push_back(point);
        report.failure = targetName(index) +
                         ": the capture returned before the touch (last error " +
                         std::to_string(point.capture.lastError) + ")";
        return false;
    }
    if (abortHere && config_.abort->when == CalibrationAbort::When::BeforePress) {
        session_.abortCapture();
    } else {
        session_.touch(point.pressed.x, point.pressed.y);
        if (abortHere) {
            session_.wait(config_.abort->heldMs);
            session_.abortCapture();
        } else {
            session_.wait(config_.holdMs);
        }
        session_.lift();
    }
    if (!capture.waitFor(config_.captureTimeoutMs)) {
        session_.abortCapture();
        capture.waitFor(config_.captureTimeoutMs);
        report.failure = targetName(index) + ": no capture within " +
                         std::to_string(config_.captureTimeoutMs) + " ms of the lift";
        report.points.push_back(point);
        return false;
    }
    point.capture = capture.result();
    report.points.push_back(point);
    // Let the touch end (its pen-up sample) before the next target or the fit.
    session_.wait(config_.gapMs);
    if (abortHere) {
        report.aborted = true;
        return false;
    }
    if (point.capture.result == FALSE) {
        report.failure = targetName(index) + ": the capture failed (last error " +
                         std::to_string(point.capture.lastError) + ")";
        return false;
    }
    return true;
}

void CalibrationScreen::measure(CalibrationReport& report) {
    for (CalibrationPointResult& point : report.points) {
        const Point quarter = session_.calibrateAPoint(point.capture.raw.x, point.capture.raw.y);
        // Whole pixels, truncated as the driver's own tolerance check does.
        point.mapped = Point{quarter.x / 4, quarter.y / 4};
        point.error = Point{point.mapped.x - point.target.x, point.mapped.y - point.target.y};
        point.residual =
            std::hypot(static_cast<double>(point.error.x), static_cast<double>(point.error.y));
        if (point.residual > report.worstResidual) {
            report.worstResidual = point.residual;
            report.worstPoint = point.index;
        }
    }
}

}  // namespace windowing
