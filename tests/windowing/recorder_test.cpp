// The recording callback: virtual delivery times, one active recorder, and
// what happens to samples delivered when none is active.
#include <gtest/gtest.h>

#include "platform/hosted/kernel.hpp"
#include "windowing/recorder.hpp"

namespace {

TEST(HostRecorder, RecordsEverySampleAtItsVirtualTime) {
    hosted::Kernel kernel;
    windowing::Recorder recorder;
    const PFN_TOUCH_PANEL_CALLBACK callback = windowing::Recorder::callback();

    kernel.advance(1500);
    EXPECT_EQ(callback(0x07, 100, 200), TRUE);
    kernel.advance(2000);
    EXPECT_EQ(callback(0x0F, 101, -3), TRUE);
    kernel.advance(2000 * hosted::kMicrosPerMilli);
    recorder.setAnswer(FALSE);
    EXPECT_EQ(callback(0x0D, 101, -3), FALSE);

    const std::vector<windowing::Sample> expected = {
        {1500, 0x07, 100, 200}, {3500, 0x0F, 101, -3}, {2'003'500, 0x0D, 101, -3}};
    EXPECT_EQ(recorder.samples(), expected);
    EXPECT_TRUE(recorder.samples()[0].penDown());
    EXPECT_FALSE(recorder.samples()[1].penDown());
    EXPECT_TRUE(recorder.samples()[2].penUp());

    recorder.clear();
    EXPECT_TRUE(recorder.samples().empty());
}

TEST(HostRecorder, HookSeesEachRecordedSampleAndMayDeliverMore) {
    hosted::Kernel kernel;
    windowing::Recorder recorder;
    std::vector<windowing::Sample> seen;
    recorder.setHook([&](const windowing::Sample& sample) {
        seen.push_back(sample);
        if (sample.x == 1) {
            windowing::Recorder::callback()(0x01, 2, 2);  // re-entered from the hook
        }
    });
    windowing::Recorder::callback()(0x07, 1, 1);
    ASSERT_EQ(recorder.samples().size(), 2u);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].x, 1);
    EXPECT_EQ(seen[1].x, 2);
}

TEST(HostRecorder, OneActiveAtATimeAndSamplesWithoutOneAreDropped) {
    const std::size_t droppedBefore = windowing::Recorder::droppedSamples();
    {
        windowing::Recorder active;
        EXPECT_THROW(windowing::Recorder second, std::logic_error);
        windowing::Recorder::callback()(0x07, 5, 6);  // no kernel: time 0
        ASSERT_EQ(active.samples().size(), 1u);
        EXPECT_EQ(active.samples()[0].time, 0u);
    }
    EXPECT_EQ(windowing::Recorder::callback()(0x07, 5, 6), FALSE);
    EXPECT_EQ(windowing::Recorder::droppedSamples(), droppedBefore + 1);

    windowing::Recorder next;  // the slot is free again
    windowing::Recorder::callback()(0x0D, 7, 8);
    EXPECT_EQ(next.samples().size(), 1u);
}

}  // namespace
