// The sample registry of the board build (target/platform.reg) is what a board
// integrator starts from: it must load as board-support .reg text, make the
// driver run on a PC-compatible board as it stands, and set every optional
// value at its default, i.e. behave exactly as if the value were absent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hosted/registry.hpp"
#include "windowing/session.hpp"

namespace {

const std::filesystem::path kSourceRoot = TOUCH_SOURCE_ROOT;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sampleRegistry() {
    return readFile(kSourceRoot / "target" / "platform.reg");
}

// The sample with every value the driver can do without taken out: what is
// left is what a board must set.
std::string requiredOnly() {
    std::istringstream in(sampleRegistry());
    const std::vector<std::string> optional = {
        "\"MaxCalError\"", "\"Cursor\"",      "\"BeepEnable\"",     "\"BeepFreq\"",
        "\"BeepDelay\"",   "\"Priority256\"", "\"HighPriority256\""};
    std::string out;
    for (std::string line; std::getline(in, line);) {
        bool drop = false;
        for (const std::string& name : optional) {
            drop = drop || line.find(name + "=") != std::string::npos;
        }
        if (!drop) {
            out += line + "\n";
        }
    }
    return out;
}

windowing::SessionConfig boardWith(const std::string& registryText,
                                   std::vector<std::string> defines = {}) {
    windowing::SessionConfig config;
    config.kernel.timeLimit = 60'000'000;  // a driver that hangs fails in seconds, not hours
    config.describeBoard = false;          // the .reg text alone tells the driver the board
    config.registryText = registryText;
    config.registryName = "platform.reg";
    config.registryDefines = std::move(defines);
    return config;
}

struct Observed {
    BOOL enabled = FALSE;
    std::vector<windowing::Sample> samples;
    std::vector<hosted::CursorMove> cursor;
    std::vector<sim::Click> clicks;
};

// Enable, two taps, a held touch, disable; everything the registry values
// can change is observed.
Observed run(const windowing::SessionConfig& config) {
    windowing::Session session(config);
    session.load();
    Observed seen;
    seen.enabled = session.enable();
    session.tap(100, 100, 30);
    session.wait(100);
    session.tap(700, 400, 10);
    session.wait(100);
    session.touch(400, 240);
    session.wait(60);
    session.lift();
    session.wait(100);
    session.disable();
    seen.samples = session.samples();
    seen.cursor = session.cursorMoves();
    seen.clicks = session.clicks();
    return seen;
}

TEST(SampleRegistry, LoadsWithTheTouchBlockUnlessTouchIsLeftOut) {
    hosted::Registry registry;
    registry.loadText(sampleRegistry(), "platform.reg");
    // The driver names the touch key with and without a leading backslash.
    EXPECT_EQ(registry.dword("HARDWARE\\DEVICEMAP\\TOUCH", "ioBase"), 0x60u);
    EXPECT_EQ(registry.dword("\\HARDWARE\\DEVICEMAP\\TOUCH", "ioBase"), 0x60u);
    const auto activity = registry.value("System\\GWE", "ActivityEvent");
    ASSERT_TRUE(activity.has_value());
    EXPECT_EQ(activity->type, 1u /* REG_SZ: any other type is ignored by the driver */);

    hosted::Registry without;
    without.loadText(sampleRegistry(), "platform.reg", {"BSP_NOTOUCH"});
    EXPECT_FALSE(without.keyExists("HARDWARE\\DEVICEMAP\\TOUCH"));
    EXPECT_FALSE(without.keyExists("Drivers\\BuiltIn\\Touch"));
}

TEST(SampleRegistry, RunsTheDriverOnAPcCompatibleBoardAsItStands) {
    const Observed seen = run(boardWith(sampleRegistry()));
    ASSERT_EQ(seen.enabled, TRUE);
    ASSERT_FALSE(seen.samples.empty());
    EXPECT_EQ(seen.samples.front().flags, 0x07u);
    EXPECT_EQ(seen.samples.back().flags, 0x0Du);
    EXPECT_FALSE(seen.cursor.empty()) << "\"Cursor\"=1 lets the cursor follow the touch";
    EXPECT_TRUE(seen.clicks.empty()) << "\"BeepEnable\"=0 keeps the speaker silent";
}

TEST(SampleRegistry, OptionalValuesAreAtTheDriversDefaults) {
    hosted::Registry bareRegistry;
    bareRegistry.loadText(requiredOnly(), "required.reg");
    ASSERT_TRUE(bareRegistry.dword("HARDWARE\\DEVICEMAP\\TOUCH", "ioBase").has_value());
    ASSERT_FALSE(bareRegistry.value("HARDWARE\\DEVICEMAP\\TOUCH", "Cursor").has_value());
    ASSERT_FALSE(bareRegistry.value("Drivers\\BuiltIn\\Touch", "Priority256").has_value());

    const Observed sample = run(boardWith(sampleRegistry()));
    const Observed bare = run(boardWith(requiredOnly()));
    ASSERT_EQ(sample.enabled, TRUE);
    ASSERT_EQ(bare.enabled, TRUE);
    ASSERT_EQ(sample.samples.size(), bare.samples.size());
    for (std::size_t i = 0; i < sample.samples.size(); ++i) {
        EXPECT_EQ(sample.samples[i].time, bare.samples[i].time) << "sample " << i;
        EXPECT_EQ(sample.samples[i].flags, bare.samples[i].flags) << "sample " << i;
        EXPECT_EQ(sample.samples[i].x, bare.samples[i].x) << "sample " << i;
        EXPECT_EQ(sample.samples[i].y, bare.samples[i].y) << "sample " << i;
    }
    ASSERT_EQ(sample.cursor.size(), bare.cursor.size());
    for (std::size_t i = 0; i < sample.cursor.size(); ++i) {
        EXPECT_EQ(sample.cursor[i].x, bare.cursor[i].x) << "cursor move " << i;
        EXPECT_EQ(sample.cursor[i].y, bare.cursor[i].y) << "cursor move " << i;
    }
    EXPECT_EQ(sample.clicks.size(), bare.clicks.size());
}

TEST(SampleRegistry, ClickSettingsInTheSampleAreTheDefaultsWhenTheClickIsOn) {
    // The click is off in the sample; switched on, its tone and length must
    // be those the driver uses when "BeepFreq" and "BeepDelay" are absent.
    const std::string clickOn =
        "\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"BeepEnable\"=dword:1\n";
    const Observed sample = run(boardWith(sampleRegistry() + clickOn));
    const Observed bare = run(boardWith(requiredOnly() + clickOn));
    ASSERT_EQ(sample.enabled, TRUE);
    ASSERT_EQ(sample.clicks.size(), 3u) << "one click for each pen-down";
    ASSERT_EQ(bare.clicks.size(), sample.clicks.size());
    for (std::size_t i = 0; i < sample.clicks.size(); ++i) {
        EXPECT_EQ(sample.clicks[i].divisor, 1193180u / 1500u) << "click " << i;
        EXPECT_EQ(sample.clicks[i].divisor, bare.clicks[i].divisor) << "click " << i;
        EXPECT_EQ(sample.clicks[i].start, bare.clicks[i].start) << "click " << i;
        EXPECT_EQ(sample.clicks[i].length, bare.clicks[i].length) << "click " << i;
    }
}

TEST(SampleRegistry, LeavingTouchOutOfTheImageLeavesTheDriverWithoutItsBoard) {
    const Observed seen = run(boardWith(sampleRegistry(), {"BSP_NOTOUCH"}));
    EXPECT_EQ(seen.enabled, FALSE);
    EXPECT_TRUE(seen.samples.empty());
}

}  // namespace
