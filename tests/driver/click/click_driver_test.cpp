// The click in the running driver: a finger on the simulated panel reaches
// the speaker through the controller, the sample thread and the BeepThread.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/virtual_time.hpp"
#include "windowing/session.hpp"

namespace {

using hosted::Micros;

using touch_test::kMs;
constexpr std::uint32_t kDefaultDivisor = 795;  // 1193180 Hz / 1500 Hz

windowing::SessionConfig clicksOn(const std::string& more = "") {
    windowing::SessionConfig config;
    config.registryText =
        "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"BeepEnable\"=dword:1\n" + more;
    return config;
}

// Pitch of rendered audio, from the first to the last rise through zero.
double measuredFrequency(const std::vector<std::int16_t>& samples, int rate) {
    std::vector<std::size_t> rises;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            rises.push_back(i);
        }
    }
    if (rises.size() < 2) {
        return 0;
    }
    return static_cast<double>(rises.size() - 1) * rate /
           static_cast<double>(rises.back() - rises.front());
}

// ---- Tests ----

TEST(ClickInDriver, PenDownSoundsOneDefaultClickRenderedAt1500Hz) {
    windowing::Session session(clicksOn());
    session.load();
    ASSERT_EQ(session.enable(), TRUE);
    session.tap(400, 240, 100);
    session.wait(100);

    ASSERT_FALSE(session.samples().empty());
    const Micros firstSample = session.samples().front().time;
    const std::vector<sim::Click> clicks = session.clicks();
    ASSERT_EQ(clicks.size(), 1u);  // held for 100 ms, yet only the pen-down clicks
    EXPECT_GE(clicks[0].start, firstSample);
    EXPECT_LT(clicks[0].start, firstSample + 2 * kMs);  // before the next 2 ms poll
    EXPECT_GE(clicks[0].length, 50 * kMs);
    EXPECT_LE(clicks[0].length, 51 * kMs);
    EXPECT_EQ(clicks[0].divisor, kDefaultDivisor);

    constexpr int kRate = 44'100;
    EXPECT_NEAR(measuredFrequency(session.machine().speaker().render(kRate), kRate), 1500.0, 15.0);
}

// The click lasts its length whatever the hold: while the sample thread
// polls the controller through the touch and after the lift.
TEST(ClickInDriver, ClickLastsItsLengthWhateverTheHold) {
    for (const DWORD length : {10u, 50u, 200u}) {
        for (const DWORD hold : {0u, 10u, 40u, 100u}) {
            SCOPED_TRACE(testing::Message() << length << " ms click, " << hold << " ms hold");
            char delay[32];
            std::snprintf(delay, sizeof delay, "\"BeepDelay\"=dword:%x\n", length);
            windowing::Session session(clicksOn(delay));
            session.load();
            ASSERT_EQ(session.enable(), TRUE);
            session.tap(400, 240, hold);
            session.wait(300);
            const std::vector<sim::Click> clicks = session.clicks();
            ASSERT_EQ(clicks.size(), 1u);
            EXPECT_GE(clicks[0].length, length * kMs);
            EXPECT_LE(clicks[0].length, (length + 1) * kMs);
        }
    }
}

TEST(ClickInDriver, PenDownIsSilentWhenClicksAreNotSwitchedOn) {
    for (const char* text :
         {"", "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"BeepEnable\"=dword:0\n"}) {
        SCOPED_TRACE(text);
        windowing::SessionConfig config;
        config.registryText = text;
        windowing::Session session(config);
        session.load();
        ASSERT_EQ(session.enable(), TRUE);
        session.tap(400, 240, 10);
        session.wait(100);
        EXPECT_FALSE(session.samples().empty());
        EXPECT_TRUE(session.clicks().empty());
    }
}

TEST(ClickInDriver, TouchForACalibrationCaptureClicksToo) {
    windowing::Session session(clicksOn());
    session.load();
    ASSERT_EQ(session.enable(), TRUE);
    windowing::PendingCapture capture = session.startCapture();
    const Micros pressed = session.now();
    session.touch(100, 100);
    ASSERT_TRUE(capture.waitFor(2000));
    session.lift();
    session.wait(10);
    EXPECT_EQ(capture.result().result, TRUE);
    const std::vector<sim::Click> clicks = session.clicks();
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_GT(clicks[0].start, pressed);
    EXPECT_LT(clicks[0].start, capture.result().returnedAt);
    EXPECT_EQ(clicks[0].divisor, kDefaultDivisor);
}

TEST(ClickInDriver, ClickThatCannotBeSetUpLeavesTheDriverRunningWithoutLeaks) {
    struct Case {
        hosted::FaultPoint point;
        unsigned nth;  // the click's call among the enable's calls of that kind
    };
    for (const Case& c :
         {Case{hosted::FaultPoint::CreateEvent, 3}, Case{hosted::FaultPoint::CreateSemaphore, 1},
          Case{hosted::FaultPoint::CreateThread, 1}}) {
        SCOPED_TRACE(static_cast<int>(c.point));
        windowing::Session session(clicksOn());
        session.load();
        const std::size_t handles = session.kernel().openHandleCount();
        session.kernel().failCall(c.point, c.nth);
        ASSERT_EQ(session.enable(), TRUE);
        session.tap(400, 240, 10);
        session.wait(100);
        EXPECT_FALSE(session.samples().empty());
        EXPECT_TRUE(session.clicks().empty());
        session.disable();
        EXPECT_EQ(session.kernel().openHandleCount(), handles);
        EXPECT_TRUE(session.faults().empty());
    }
}

}  // namespace
