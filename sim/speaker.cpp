#include "sim/speaker.hpp"

#if TOUCH_SIM_WAV
#include <sndfile.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>

namespace sim {

namespace {

constexpr std::uint8_t kGate = 0x01;
constexpr std::uint8_t kSpeakerData = 0x02;
constexpr std::uint8_t kWritableBits = 0x0F;
constexpr std::uint8_t kRefreshBit = 0x10;
constexpr std::uint8_t kTimerOutputBit = 0x20;
constexpr Micros kRefreshHalfPeriodNanos = 15'085;  // the refresh bit toggles this often

constexpr int kChannel2 = 2;
constexpr int kAccessLatch = 0;
constexpr int kAccessLow = 1;
constexpr int kAccessHigh = 2;
constexpr int kAccessLowHigh = 3;
constexpr int kFullCount = 65'536;
constexpr int kFullCountBcd = 10'000;

constexpr int kMinSampleRate = 1'000;
constexpr int kMaxSampleRate = 192'000;

std::uint32_t decodeCount(std::uint32_t written, bool bcd) {
    if (!bcd) {
        return written == 0 ? kFullCount : written;
    }
    std::uint32_t value = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
        value = value * 10 + ((written >> shift) & 0xF);
    }
    return value == 0 ? kFullCountBcd : value;
}

std::uint64_t ticksBetween(Micros from, Micros to) {
    return (to - from) * kTimerClockHz / 1'000'000;
}

}  // namespace

Speaker::Speaker(hosted::DeviceContext& context, SpeakerConfig config)
    : context_(context), port61_(config.port61 & kWritableBits) {}

std::uint8_t Speaker::readPort(std::uint16_t port) {
    switch (port) {
        case kCounterPort:
            return readCounter();
        case kSystemPort: {
            const Micros nanos = context_.now() * 1000;
            std::uint8_t value = port61_;
            if ((nanos / kRefreshHalfPeriodNanos) % 2 == 1) {
                value |= kRefreshBit;
            }
            if (timerOutput()) {
                value |= kTimerOutputBit;
            }
            return value;
        }
        default:
            return 0xFF;  // the control port cannot be read
    }
}

void Speaker::writePort(std::uint16_t port, std::uint8_t value) {
    switch (port) {
        case kCounterPort:
            writeCounter(value);
            break;
        case kControlPort:
            writeControl(value);
            break;
        case kSystemPort: {
            const bool gateRises = (value & kGate) != 0 && (port61_ & kGate) == 0;
            port61_ = value & kWritableBits;
            if (gateRises) {
                loadedAt_ = context_.now();  // a rising gate restarts the count in modes 2 and 3
            }
            update();
            break;
        }
        default:
            break;
    }
}

void Speaker::writeControl(std::uint8_t value) {
    if ((value >> 6) != kChannel2) {
        ++ignoredControlWords_;
        return;
    }
    const int access = (value >> 4) & 3;
    if (access == kAccessLatch) {
        if (!latch_) {
            latch_ = static_cast<std::uint16_t>(currentCount());
        }
        return;
    }
    access_ = access;
    mode_ = (value >> 1) & 7;
    if (mode_ > 5) {
        mode_ -= 4;  // 6 and 7 are the same as 2 and 3
    }
    bcd_ = (value & 1) != 0;
    writeHigh_ = false;
    readHigh_ = false;
    latch_.reset();
    divisor_.reset();  // the counter waits for a new count
    update();
}

void Speaker::writeCounter(std::uint8_t value) {
    std::uint32_t written = 0;
    switch (access_) {
        case kAccessLow:
            written = value;
            break;
        case kAccessHigh:
            written = std::uint32_t{value} << 8;
            break;
        case kAccessLowHigh:
        default:
            if (!writeHigh_) {
                lowByte_ = value;
                writeHigh_ = true;
                return;
            }
            writeHigh_ = false;
            written = lowByte_ | (std::uint32_t{value} << 8);
            break;
    }
    rawCount_ = written;
    divisor_ = decodeCount(written, bcd_);
    loadedAt_ = context_.now();
    update();
}

std::uint8_t Speaker::readCounter() {
    const std::uint16_t count = latch_ ? *latch_ : static_cast<std::uint16_t>(currentCount());
    std::uint8_t byte = 0;
    switch (access_) {
        case kAccessLow:
            byte = static_cast<std::uint8_t>(count & 0xFF);
            latch_.reset();
            break;
        case kAccessHigh:
            byte = static_cast<std::uint8_t>(count >> 8);
            latch_.reset();
            break;
        case kAccessLowHigh:
        default:
            byte = static_cast<std::uint8_t>(readHigh_ ? count >> 8 : count & 0xFF);
            if (readHigh_) {
                latch_.reset();
            }
            readHigh_ = !readHigh_;
            break;
    }
    return byte;
}

std::uint32_t Speaker::currentCount() const {
    if (!divisor_) {
        return rawCount_;
    }
    if ((port61_ & kGate) == 0) {
        return *divisor_ % kFullCount;
    }
    const std::uint64_t ticks = ticksBetween(loadedAt_, context_.now());
    return static_cast<std::uint32_t>((*divisor_ - ticks % *divisor_) % kFullCount);
}

bool Speaker::timerOutput() const {
    if (!divisor_ || (port61_ & kGate) == 0 || (mode_ != 2 && mode_ != 3)) {
        return true;  // the output rests high
    }
    const std::uint64_t phase = ticksBetween(loadedAt_, context_.now()) % *divisor_;
    if (mode_ == 2) {
        return phase != *divisor_ - 1;  // one low clock at the end of each period
    }
    return phase < (*divisor_ + 1) / 2;
}

bool Speaker::sounding() const {
    return (port61_ & (kGate | kSpeakerData)) == (kGate | kSpeakerData) && divisor_ &&
           (mode_ == 2 || mode_ == 3);
}

std::optional<std::uint32_t> Speaker::divisor() const {
    return divisor_;
}

void Speaker::update() {
    const bool on = sounding();
    const std::uint32_t div = on ? *divisor_ : 0;
    const bool wasOn = !timeline_.empty() && timeline_.back().sounding;
    const std::uint32_t wasDiv = wasOn ? timeline_.back().divisor : 0;
    if (on == wasOn && div == wasDiv) {
        return;
    }
    const Micros now = context_.now();
    if (!timeline_.empty() && timeline_.back().time == now) {
        // Several writes in one instant make one change.
        timeline_.pop_back();
        const bool prevOn = !timeline_.empty() && timeline_.back().sounding;
        const std::uint32_t prevDiv = prevOn ? timeline_.back().divisor : 0;
        if (on == prevOn && div == prevDiv) {
            return;
        }
    }
    if (sink_) {
        // Changes before `now` are final (only one at `now` may still be
        // undone): the stretch from the one before the last to the last is a
        // finished click, if it sounded.
        while (timeline_.size() >= 2) {
            const SpeakerEvent& event = timeline_.front();
            if (event.sounding) {
                sink_(Click{event.time, timeline_[1].time - event.time, event.divisor,
                            event.frequency});
            }
            timeline_.erase(timeline_.begin());
        }
    }
    const double frequency = on ? static_cast<double>(kTimerClockHz) / div : 0.0;
    timeline_.push_back(SpeakerEvent{now, on, div, frequency});
}

std::vector<Click> Speaker::clicks() const {
    std::vector<Click> result;
    for (std::size_t i = 0; i < timeline_.size(); ++i) {
        const SpeakerEvent& event = timeline_[i];
        if (!event.sounding) {
            continue;
        }
        const Micros end = i + 1 < timeline_.size() ? timeline_[i + 1].time : context_.now();
        result.push_back(Click{event.time, end - event.time, event.divisor, event.frequency});
    }
    return result;
}

// Renders the square wave of the clicks block by block, so that a run of
// any length needs one block of memory and the clicks not yet rendered.  Not
// in the anonymous namespace: the WAV writer's implementation holds one.
class WaveRenderer {
  public:
    WaveRenderer(int sampleRate, double amplitude)
        : sampleRate_(sampleRate),
          level_(static_cast<std::int16_t>(std::lround(amplitude * 32767))) {}

    std::size_t sampleAt(Micros t) const {
        return static_cast<std::size_t>(std::ceil(static_cast<double>(t) * sampleRate_ /
                                                  static_cast<double>(hosted::kMicrosPerSecond)));
    }

    // The next click, in time order.
    void add(const Click& click) { clicks_.push_back(click); }

    // Samples [first, first + block.size()); no later block may start before
    // `first`, and no click to come may start before the block ends.
    void fill(std::size_t first, std::vector<std::int16_t>& block) {
        std::fill(block.begin(), block.end(), std::int16_t{0});
        const std::size_t stop = first + block.size();
        // Clicks are in time order: those that ended before the block are done.
        while (!clicks_.empty() &&
               sampleAt(clicks_.front().start + clicks_.front().length) <= first) {
            clicks_.pop_front();
        }
        for (const Click& click : clicks_) {
            const std::size_t from = std::max(sampleAt(click.start), first);
            if (from >= stop) {
                break;
            }
            const std::size_t to = std::min(sampleAt(click.start + click.length), stop);
            for (std::size_t i = from; i < to; ++i) {
                const double t = static_cast<double>(i) / sampleRate_ -
                                 static_cast<double>(click.start) /
                                     static_cast<double>(hosted::kMicrosPerSecond);
                const double cycles = t * click.frequency;
                const bool high = cycles - std::floor(cycles) < 0.5;
                block[i - first] = high ? level_ : static_cast<std::int16_t>(-level_);
            }
        }
    }

  private:
    std::deque<Click> clicks_;
    int sampleRate_;
    std::int16_t level_;
};

namespace {

void checkRendering(int sampleRate, double amplitude) {
    if (sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate) {
        throw std::invalid_argument("speaker: the sample rate must be 1000 to 192000 Hz");
    }
    if (!(amplitude >= 0 && amplitude <= 1)) {
        throw std::invalid_argument("speaker: the amplitude must be 0 to 1");
    }
}

}  // namespace

Micros Speaker::renderEnd(std::optional<Micros> end, const std::vector<Click>& all) const {
    Micros last = end.value_or(context_.now());
    if (!end && !all.empty()) {
        last = std::max(last, all.back().start + all.back().length);
    }
    return last;
}

std::vector<std::int16_t> Speaker::render(int sampleRate, std::optional<Micros> end,
                                          double amplitude) const {
    checkRendering(sampleRate, amplitude);
    const std::vector<Click> all = clicks();
    const Micros last = renderEnd(end, all);
    WaveRenderer renderer(sampleRate, amplitude);
    for (const Click& click : all) {
        renderer.add(click);
    }
    std::vector<std::int16_t> samples(renderer.sampleAt(last), 0);
    renderer.fill(0, samples);
    return samples;
}

void Speaker::writeWav(const std::string& path, int sampleRate, std::optional<Micros> end,
                       double amplitude) const {
    WavWriter writer(path, sampleRate, amplitude);
    const std::vector<Click> all = clicks();
    const Micros last = renderEnd(end, all);
    for (const Click& click : all) {
        if (click.start < last) {
            writer.add(click);
        }
    }
    writer.finish(last);
}

#if TOUCH_SIM_WAV
namespace {

using SoundFile = std::unique_ptr<SNDFILE, int (*)(SNDFILE*)>;

int checkedRate(int sampleRate, double amplitude) {
    checkRendering(sampleRate, amplitude);
    return sampleRate;
}

SoundFile openSound(const std::string& path, int sampleRate, bool large) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = (large ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
    SoundFile file(sf_open(path.c_str(), SFM_WRITE, &info), &sf_close);
    if (!file) {
        throw WavError(path + ": cannot write the WAV file: " + sf_strerror(nullptr));
    }
    return file;
}

}  // namespace

struct WavWriter::Impl {
    // Samples rendered and written at a time: a second and a half at 44.1 kHz.
    static constexpr std::size_t kBlockSamples = 1 << 16;

    Impl(std::string p, int rate, double amplitude, std::uint64_t limit)
        : path(std::move(p)),
          sampleRate(rate),
          wavLimit(limit),
          renderer(checkedRate(rate, amplitude), amplitude),
          file(openSound(path, rate, false)) {}

    // Renders and writes samples [written, stop).
    void writeUpTo(std::size_t stop) {
        while (written < stop) {
            block.resize(std::min(kBlockSamples, stop - written));
            if (!large && (written + block.size()) * sizeof(std::int16_t) > wavLimit) {
                becomeLarge();
            }
            renderer.fill(written, block);
            const auto count = static_cast<sf_count_t>(block.size());
            if (sf_write_short(file.get(), block.data(), count) != count) {
                throw WavError(path + ": writing the samples failed: " + sf_strerror(file.get()));
            }
            written += block.size();
        }
    }

    // The samples so far go into an RF64 file that takes the WAV file's place.
    void becomeLarge() {
        const std::string wide = path + ".rf64";
        close();
        SF_INFO info{};
        SoundFile in(sf_open(path.c_str(), SFM_READ, &info), &sf_close);
        if (!in) {
            throw WavError(path + ": cannot read the WAV file back: " + sf_strerror(nullptr));
        }
        SoundFile out = openSound(wide, sampleRate, true);
        std::vector<std::int16_t> copy(kBlockSamples);
        for (;;) {
            const sf_count_t got =
                sf_read_short(in.get(), copy.data(), static_cast<sf_count_t>(copy.size()));
            if (got <= 0) {
                break;
            }
            if (sf_write_short(out.get(), copy.data(), got) != got) {
                throw WavError(wide + ": writing the samples failed: " + sf_strerror(out.get()));
            }
        }
        in.reset();
        if (std::rename(wide.c_str(), path.c_str()) != 0) {
            throw WavError(path + ": cannot replace it with the RF64 file");
        }
        file = std::move(out);
        large = true;
    }

    void close() {
        if (file && sf_close(file.release()) != 0) {
            throw WavError(path + ": closing the WAV file failed");
        }
    }

    std::string path;
    int sampleRate;
    std::uint64_t wavLimit;
    WaveRenderer renderer;
    SoundFile file;
    bool large = false;
    std::size_t written = 0;  // samples
    std::vector<std::int16_t> block;
};

WavWriter::WavWriter(std::string path, int sampleRate, double amplitude, std::uint64_t wavLimit)
    : impl_(std::make_unique<Impl>(std::move(path), sampleRate, amplitude, wavLimit)) {}

WavWriter::~WavWriter() = default;

void WavWriter::add(const Click& click) {
    impl_->renderer.add(click);
    // No later click starts before this one: the blocks that end before its
    // start are final.
    const std::size_t start = impl_->renderer.sampleAt(click.start);
    impl_->writeUpTo(start - start % Impl::kBlockSamples);
}

void WavWriter::finish(Micros end) {
    impl_->writeUpTo(impl_->renderer.sampleAt(end));
    impl_->close();
}
#else
struct WavWriter::Impl {};

WavWriter::WavWriter(std::string path, int, double, std::uint64_t) {
    throw WavError(path + ": this build has no WAV output (libsndfile is not available)");
}

WavWriter::~WavWriter() = default;
void WavWriter::add(const Click&) {}
void WavWriter::finish(Micros) {}
#endif

}  // namespace sim
