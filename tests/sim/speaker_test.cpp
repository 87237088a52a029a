#include "sim/speaker.hpp"

#include <gtest/gtest.h>
#if TOUCH_SIM_WAV
#include <sndfile.h>
#endif

#include <cmath>
#include <filesystem>

#include <unistd.h>

#include "sim/manual_clock.hpp"

namespace {

using sim::Speaker;
using simtest::ManualClock;

constexpr std::uint16_t kCounter = 0x42;
constexpr std::uint16_t kControl = 0x43;
constexpr std::uint16_t kSystem = 0x61;

class SpeakerTest : public ::testing::Test {
  protected:
    // What the click sounds with: control word, divisor low then high byte.
    void program(std::uint32_t divisor) {
        speaker.writePort(kControl, 0xB6);
        speaker.writePort(kCounter, static_cast<std::uint8_t>(divisor & 0xFF));
        speaker.writePort(kCounter, static_cast<std::uint8_t>(divisor >> 8));
    }
    void on() { speaker.writePort(kSystem, speaker.readPort(kSystem) | 0x03); }
    void off() { speaker.writePort(kSystem, speaker.readPort(kSystem) & 0xFC); }

    ManualClock clock;
    Speaker speaker{clock};
};

// Frequency of a rendered tone, from its sign changes.
double measure(const std::vector<std::int16_t>& samples, int rate) {
    std::size_t crossings = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0) && samples[i] != 0 && samples[i - 1] != 0) {
            if (crossings == 0) {
                first = i;
            }
            last = i;
            ++crossings;
        }
    }
    // (crossings - 1) half periods lie between the first and the last change.
    return (crossings - 1) / 2.0 / (static_cast<double>(last - first) / rate);
}

// The rendered samples as they come back from the WAV file (or straight from
// render() in a build without WAV output).
std::vector<std::int16_t> renderedSamples(const Speaker& speaker, int& rate) {
#if TOUCH_SIM_WAV
    const auto path = std::filesystem::temp_directory_path() /
                      ("speaker_test_" + std::to_string(::getpid()) + ".wav");
    speaker.writeWav(path.string(), 48'000);
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (file == nullptr) {
        return {};
    }
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames));
    EXPECT_EQ(sf_read_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    std::filesystem::remove(path);
    rate = info.samplerate;
    return samples;
#else
    rate = 48'000;
    return speaker.render(rate);
#endif
}

TEST_F(SpeakerTest, ClickTimelineWithTheDriversWrites) {
    EXPECT_EQ(speaker.readPort(kSystem) & 0x0F, 0x0C);  // as the firmware leaves it
    clock.advanceTo(1000);
    program(795);
    EXPECT_EQ(speaker.divisor(), 795u);
    EXPECT_EQ(speaker.mode(), 3);
    EXPECT_FALSE(speaker.sounding());
    on();
    EXPECT_TRUE(speaker.sounding());
    clock.advance(50'000);
    off();
    EXPECT_EQ(speaker.systemBits(), 0x0C);  // the other bits kept

    // A second click cut short at 20 ms by a new one of another pitch.
    clock.advance(100'000);
    program(397);
    on();
    clock.advance(20'000);
    off();
    program(11931);
    on();
    clock.advance(50'000);
    off();

    const std::vector<sim::Click> clicks = speaker.clicks();
    ASSERT_EQ(clicks.size(), 3u);
    EXPECT_EQ(clicks[0].start, 1000u);
    EXPECT_EQ(clicks[0].length, 50'000u);
    EXPECT_NEAR(clicks[0].frequency, 1500.855, 0.001);
    EXPECT_EQ(clicks[1].start, 151'000u);
    EXPECT_EQ(clicks[1].length, 20'000u);
    EXPECT_EQ(clicks[1].divisor, 397u);
    EXPECT_EQ(clicks[2].start, 171'000u);
    EXPECT_EQ(clicks[2].length, 50'000u);
    EXPECT_NEAR(clicks[2].frequency, 100.007, 0.001);
}

TEST_F(SpeakerTest, RenderedFrequencyMatchesTheDivisor) {
    for (std::uint32_t divisor : {795u, 397u, 11931u}) {
        ManualClock c;
        Speaker s(c);
        s.writePort(kControl, 0xB6);
        s.writePort(kCounter, static_cast<std::uint8_t>(divisor & 0xFF));
        s.writePort(kCounter, static_cast<std::uint8_t>(divisor >> 8));
        c.advanceTo(10'000);
        s.writePort(kSystem, 0x03);
        c.advance(2'000'000);  // the WAV file is written in blocks of 65536 samples
        s.writePort(kSystem, 0x00);
        c.advance(10'000);
        int rate = 0;
        const std::vector<std::int16_t> samples = renderedSamples(s, rate);
        EXPECT_EQ(rate, 48'000);
        ASSERT_EQ(samples.size(), 48'000u * 2020 / 1000);
        EXPECT_EQ(samples, s.render(rate));
        EXPECT_EQ(samples[100], 0);  // silence before the tone
        const double expected = 1'193'180.0 / divisor;
        EXPECT_NEAR(measure(samples, rate), expected, 0.5) << "divisor " << divisor;
    }
}

TEST_F(SpeakerTest, SystemPortBitsAsABoardKeepsThem) {
    speaker.writePort(kSystem, 0xF1);  // bits 4..7 are read-only
    EXPECT_EQ(speaker.systemBits(), 0x01);
    EXPECT_FALSE(speaker.sounding());  // gate alone, data off
    // Bit 4 toggles with the refresh cycle, every 15.085 us.
    clock.advanceTo(15);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x10, 0x00);
    clock.advanceTo(16);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x10, 0x10);
    clock.advanceTo(31);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x10, 0x00);

    // Bit 5 is the timer output: high while gated off, a square wave with the
    // gate on (divisor 1193: 1 ms period, high for the first half).
    program(1193);
    speaker.writePort(kSystem, 0x00);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x20, 0x20);
    speaker.writePort(kSystem, 0x01);
    const hosted::Micros start = clock.now();
    clock.advanceTo(start + 400);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x20, 0x20);
    clock.advanceTo(start + 600);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x20, 0x00);
    clock.advanceTo(start + 1100);
    EXPECT_EQ(speaker.readPort(kSystem) & 0x20, 0x20);
}

TEST_F(SpeakerTest, ControlWordsAccessModesAndLatch) {
    speaker.writePort(kControl, 0x36);  // channel 0: not modelled
    EXPECT_EQ(speaker.ignoredControlWords(), 1u);
    EXPECT_FALSE(speaker.divisor().has_value());

    speaker.writePort(kControl, 0xB7);  // BCD: 0x1500 counts 1500
    speaker.writePort(kCounter, 0x00);
    EXPECT_FALSE(speaker.divisor().has_value());  // half a count is no count
    speaker.writePort(kCounter, 0x15);
    EXPECT_EQ(speaker.divisor(), 1500u);
    speaker.writePort(kControl, 0xB4);  // mode 2, binary, then 0 counts 65536
    speaker.writePort(kCounter, 0);
    speaker.writePort(kCounter, 0);
    EXPECT_EQ(speaker.divisor(), 65536u);
    EXPECT_EQ(speaker.mode(), 2);

    program(1000);
    speaker.writePort(kSystem, 0x01);
    clock.advance(100);                 // 119 timer clocks
    speaker.writePort(kControl, 0x80);  // latch channel 2
    clock.advance(100);
    const int low = speaker.readPort(kCounter);
    const int high = speaker.readPort(kCounter);
    EXPECT_EQ(low | high << 8, 1000 - 119);
}

// A speaker that hands its clicks over as they end gives the clicks, and the
// sound, of one that keeps its whole timeline, while keeping almost none;
// written while the clicks come, a sound past the WAV limit becomes RF64.
TEST_F(SpeakerTest, ClicksHandedOverAsTheyEndMakeTheSameSound) {
    ManualClock streamedClock;
    Speaker streamed{streamedClock};
    std::vector<sim::Click> handed;
    streamed.setClickSink([&handed](const sim::Click& click) { handed.push_back(click); });
    std::size_t mostKept = 0;
    auto both = [&](hosted::Micros at, std::uint16_t port, std::uint8_t value) {
        clock.advanceTo(at);
        streamedClock.advanceTo(at);
        speaker.writePort(port, value);
        streamed.writePort(port, value);
        mostKept = std::max(mostKept, streamed.timeline().size());
    };
    const std::pair<hosted::Micros, std::uint32_t> clicks[] = {
        {1'000, 795}, {150'000, 780}, {3'000'000, 795}, {3'100'000, 795}};
    for (const auto& [at, divisor] : clicks) {
        both(at, kControl, 0xB6);
        both(at, kCounter, static_cast<std::uint8_t>(divisor & 0xFF));
        both(at, kCounter, static_cast<std::uint8_t>(divisor >> 8));
        both(at, kSystem, 0x0F);
        if (at == 3'100'000) {
            break;  // still sounding at the end
        }
        both(at + 50'000, kSystem, 0x0F);  // a change and its undoing in one instant
        both(at + 50'000, kSystem, 0x0C);
        both(at + 50'000, kSystem, 0x0F);
        both(at + 60'000, kSystem, 0x0C);
    }
    clock.advanceTo(3'200'000);
    streamedClock.advanceTo(3'200'000);
    for (const sim::Click& click : streamed.clicks()) {
        handed.push_back(click);
    }
    const std::vector<sim::Click> kept = speaker.clicks();
    ASSERT_EQ(handed.size(), kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(handed[i].start, kept[i].start) << i;
        EXPECT_EQ(handed[i].length, kept[i].length) << i;
        EXPECT_EQ(handed[i].divisor, kept[i].divisor) << i;
    }
    EXPECT_LE(mostKept, 2u);
#if TOUCH_SIM_WAV
    // Two blocks of samples fit the limit, the third does not.
    const auto path = std::filesystem::temp_directory_path() /
                      ("speaker_rf64_" + std::to_string(::getpid()) + ".wav");
    sim::WavWriter writer(path.string(), 48'000, 0.25, 2 * (1u << 17) + 100);
    for (const sim::Click& click : handed) {
        writer.add(click);
    }
    writer.finish(3'200'000);
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames));
    EXPECT_EQ(sf_read_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    std::filesystem::remove(path);
    EXPECT_EQ(samples, speaker.render(48'000, 3'200'000));
#endif
}

TEST_F(SpeakerTest, WavErrorsNameThePath) {
    program(795);
    on();
    clock.advance(1000);
    try {
        speaker.writeWav("/nonexistent-dir/clicks.wav");
        FAIL() << "no error";
    } catch (const sim::WavError& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent-dir/clicks.wav"), std::string::npos);
    }
    EXPECT_THROW(speaker.render(10), std::invalid_argument);
}

}  // namespace
