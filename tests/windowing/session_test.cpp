// The scripted session: registry set-up, the finger reaching the recorder in
// virtual time, captures on a second kernel thread, and an orderly teardown.
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "driver/core/driver_session.hpp"
#include "support/virtual_time.hpp"
#include "windowing/session.hpp"

namespace {

using touch_test::kMs;
using touch_test::kTouchKey;

windowing::Point rawAt(windowing::Session& session, double x, double y) {
    const sim::RawPoint raw = session.panel().toRawClamped(sim::Point{x, y});
    return windowing::Point{raw.x, raw.y};
}

TEST(HostSession, BoardRegistryComesFirstThenTheGivenText) {
    windowing::SessionConfig config;
    config.machine.sysIntr = 40;
    config.registryText = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"Cursor\"=dword:0\n";
    {
        windowing::Session session(config);
        EXPECT_EQ(session.registry().dword(kTouchKey, "ioBase"), 0x60u);
        EXPECT_EQ(session.registry().dword(kTouchKey, "sysIntr"), 40u);
        EXPECT_EQ(session.registry().dword(kTouchKey, "Cursor"), 0u);
    }

    config.registryText = "[HKEY_LOCAL_MACHINE\\X]\n\"broken\n";
    try {
        windowing::Session broken(config);
        ADD_FAILURE() << "bad registry text accepted";
    } catch (const hosted::RegParseError& error) {
        EXPECT_EQ(error.file(), "session.reg");
        EXPECT_EQ(error.line(), 2);
    }
}

TEST(HostSession, EntryPointsNeedALoadedLibraryAndOneLoadAtATime) {
    windowing::Session session;
    EXPECT_THROW(session.enable(), std::logic_error);
    EXPECT_THROW(session.abortCapture(), std::logic_error);
    session.load();
    EXPECT_THROW(session.load(), std::logic_error);
    EXPECT_TRUE(session.unload());
    EXPECT_FALSE(session.unload());
    session.load();  // loads again after an unload
    EXPECT_TRUE(session.loaded());
}

TEST(HostSession, WithoutTheBoardValuesTheEnableFails) {
    windowing::SessionConfig config;
    config.describeBoard = false;
    windowing::Session session(config);
    session.load();
    EXPECT_EQ(session.enable(), FALSE);
    session.disable();
    EXPECT_TRUE(session.faults().empty());
}

TEST(HostSession, ATapReachesTheRecorderInVirtualTime) {
    windowing::Session session;
    session.load();
    ASSERT_EQ(session.enable(), TRUE);
    const hosted::Micros pressed = session.now();
    session.tap(400, 240, 20);
    session.wait(20);

    const std::vector<windowing::Sample>& samples = session.samples();
    ASSERT_GE(samples.size(), 3u);
    EXPECT_EQ(samples.front().flags, DWORD{0x07});
    EXPECT_EQ(samples.back().flags, DWORD{0x0D});
    EXPECT_GE(samples.front().time, pressed);
    EXPECT_LT(samples.front().time, pressed + 10 * kMs);
    EXPECT_GT(samples.back().time, pressed + 20 * kMs);
    EXPECT_LT(samples.back().time, pressed + 40 * kMs);
    for (std::size_t i = 1; i < samples.size(); ++i) {
        EXPECT_LE(samples[i - 1].time, samples[i].time);
    }
    // Uncalibrated: the raw position of the finger, as the panel measured it.
    EXPECT_EQ((windowing::Point{samples.front().x, samples.front().y}), rawAt(session, 400, 240));
    EXPECT_FALSE(session.cursorMoves().empty());
    EXPECT_TRUE(session.faults().empty());
}

TEST(HostSession, CaptureOnASecondThreadWhileTheFingerIsDriven) {
    windowing::Session session;
    session.load();
    ASSERT_EQ(session.enable(), TRUE);
    windowing::PendingCapture capture = session.startCapture();
    EXPECT_FALSE(capture.finished());
    EXPECT_THROW(capture.result(), std::logic_error);

    // A second capture while one is pending is refused on its own thread.
    const windowing::CaptureResult refused = session.readCalibrationPoint();
    EXPECT_EQ(refused.result, FALSE);
    EXPECT_EQ(refused.lastError, DWORD{ERROR_POSSIBLE_DEADLOCK});

    const hosted::Micros pressed = session.now();
    session.touch(80, 48);
    session.wait(1600);
    ASSERT_TRUE(capture.finished());
    EXPECT_EQ(capture.result().result, TRUE);
    EXPECT_EQ(capture.result().raw, rawAt(session, 80, 48));
    EXPECT_GT(capture.result().returnedAt, pressed + 1500 * kMs);
    EXPECT_LT(capture.result().returnedAt, pressed + 1520 * kMs);
    // The samples of the held touch went to the capture, not the callback.
    for (const windowing::Sample& sample : session.samples()) {
        EXPECT_GT(sample.time, capture.result().returnedAt - kMs);
    }
    session.lift();
    session.wait(10);
    EXPECT_TRUE(session.faults().empty());
}

TEST(HostSession, AbortedAndDroppedCapturesLeaveNoThreadBehind) {
    windowing::Session session;
    session.load();
    ASSERT_EQ(session.enable(), TRUE);
    const std::size_t threads = session.kernel().liveThreadCount();

    windowing::PendingCapture aborted = session.startCapture();
    EXPECT_EQ(session.kernel().liveThreadCount(), threads + 1);
    session.abortCapture();
    ASSERT_TRUE(aborted.waitFor(10));
    EXPECT_EQ(aborted.result().result, FALSE);

    { windowing::PendingCapture dropped = session.startCapture(); }
    EXPECT_EQ(session.kernel().liveThreadCount(), threads);
    EXPECT_TRUE(session.faults().empty());
}

bool mappedInProcess(const std::string& file) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find(file) != std::string::npos;
}

TEST(HostSession, TeardownAbortsCapturesDisablesAndUnmaps) {
    hosted::Kernel kernel;
    std::string copy;
    std::optional<windowing::PendingCapture> pending;  // outlives the session
    {
        windowing::Session session(kernel, windowing::SessionConfig{});
        session.load();
        copy = session.library().copyPath().string();
        ASSERT_EQ(session.enable(), TRUE);
        pending.emplace(session.startCapture());
        session.touch(10, 10);
        session.wait(5);
    }
    EXPECT_EQ(kernel.liveThreadCount(), 1u);
    EXPECT_FALSE(mappedInProcess(copy));
    ASSERT_TRUE(pending->finished());
    EXPECT_EQ(pending->result().result, FALSE);
    pending.reset();  // after the session: nothing left to stop
    EXPECT_TRUE(kernel.faults().empty());
}

}  // namespace
