// Channel 2 of the 8254 timer and the system control port 0x61: the PC
// speaker.
//
// Ports: 0x42 channel 2 counter, 0x43 control word, 0x61 system control.
// - Control word (0x43): bits 7..6 select the channel (only channel 2, 10b,
//   is modelled; words for channels 0 and 1 are counted and ignored, and the
//   read-back command 11b is ignored); bits 5..4 access mode (00 latch the
//   count, 01 low byte only, 10 high byte only, 11 low then high byte); bits
//   3..1 mode (6 and 7 read as 2 and 3); bit 0 BCD counting.  Writing a
//   control word resets the low/high byte order.
// - Counter (0x42): the divisor, written in the access mode's byte order; a
//   divisor of 0 counts 65536 (10000 in BCD).  Reading returns the latched
//   count if a latch is pending, else the running count, in the same order.
// - Port 0x61: bit 0 timer 2 gate, bit 1 speaker data, bits 2 and 3 (parity
//   and channel check disables) are kept as written; bit 4 toggles every
//   15.085 us (memory refresh), bit 5 shows the timer-2 output, bits 6 and 7
//   (check status) read 0.  Bits 4 to 7 are read-only: written values are
//   ignored there, as a board ignores them.
//
// The speaker sounds while the gate and the data bit are both set and the
// channel runs a periodic mode (2 or 3) with a divisor written; its pitch is
// 1193180 Hz / divisor.  Every change of that state is recorded in the
// timeline; each stretch of sound at one divisor is a click.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/hosted/devices.hpp"

namespace sim {

using hosted::Micros;

constexpr std::uint32_t kTimerClockHz = 1'193'180;

struct SpeakerConfig {
    std::uint8_t port61 = 0x0C;  // bits 0..3 as the firmware leaves them: checks disabled, quiet
};

// The sound turned on, off or to another pitch at `time`.
struct SpeakerEvent {
    Micros time;
    bool sounding;
    std::uint32_t divisor;  // 1..65536; meaningful while sounding
    double frequency;       // kTimerClockHz / divisor; 0 when silent
};

struct Click {
    Micros start;
    Micros length;
    std::uint32_t divisor;
    double frequency;
};

// A WAV file that cannot be written; what() names the path.
class WavError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Speaker : public hosted::PortDevice {
  public:
    static constexpr std::uint16_t kCounterPort = 0x42;
    static constexpr std::uint16_t kControlPort = 0x43;
    static constexpr std::uint16_t kSystemPort = 0x61;

    explicit Speaker(hosted::DeviceContext& context, SpeakerConfig config = {});

    std::uint8_t readPort(std::uint16_t port) override;
    void writePort(std::uint16_t port, std::uint8_t value) override;

    // ---- State ----
    bool sounding() const;
    std::optional<std::uint32_t> divisor() const;  // empty until one was written
    int mode() const { return mode_; }
    bool bcd() const { return bcd_; }
    std::uint8_t systemBits() const { return port61_; }  // bits 0..3 as written
    std::uint64_t ignoredControlWords() const { return ignoredControlWords_; }

    // ---- Recording ----
    const std::vector<SpeakerEvent>& timeline() const { return timeline_; }
    // Each stretch of sound at one divisor; one still sounding ends at now().
    // With a click sink set, only those not yet handed to it.
    std::vector<Click> clicks() const;
    // Hands each click to `sink` once it can no longer change (a later
    // change of the sound has come), and keeps no timeline before it, so
    // that a long run's memory does not grow with its clicks.  The clicks
    // not yet handed over are those clicks() gives.
    void setClickSink(std::function<void(const Click&)> sink) { sink_ = std::move(sink); }

    // Render the timeline from time 0 to `end` (default: now(), and at least
    // the end of the last click) as a square wave of the given amplitude
    // (0..1 of full scale), silence in between.
    std::vector<std::int16_t> render(int sampleRate = 44'100, std::optional<Micros> end = {},
                                     double amplitude = 0.25) const;
    // The same, written as a 16-bit mono WAV file a block at a time, so that
    // memory does not grow with the length of the run; past 4 GiB of samples
    // the file is RF64, the WAV form that holds more.  Throws WavError, also
    // in a build without libsndfile (TOUCH_SIM_WAV 0).
    void writeWav(const std::string& path, int sampleRate = 44'100, std::optional<Micros> end = {},
                  double amplitude = 0.25) const;

  private:
    // The end of a rendering: `end`, or now() and at least the last click's end.
    Micros renderEnd(std::optional<Micros> end, const std::vector<Click>& all) const;
    void writeControl(std::uint8_t value);
    void writeCounter(std::uint8_t value);
    std::uint8_t readCounter();
    std::uint32_t currentCount() const;
    bool timerOutput() const;
    void update();

    hosted::DeviceContext& context_;
    std::uint8_t port61_;  // bits 0..3
    int access_ = 3;
    int mode_ = 3;
    bool bcd_ = false;
    bool writeHigh_ = false;  // next counter write is the high byte (access 3)
    bool readHigh_ = false;
    std::uint16_t lowByte_ = 0;
    std::optional<std::uint32_t> divisor_;  // counts per period, 1..65536
    std::uint32_t rawCount_ = 0;            // as written, before BCD decoding
    Micros loadedAt_ = 0;                   // when the divisor took effect
    std::optional<std::uint16_t> latch_;
    std::uint64_t ignoredControlWords_ = 0;
    std::vector<SpeakerEvent> timeline_;
    std::function<void(const Click&)> sink_;
};

// Writes the speaker's sound as a 16-bit mono WAV file while the clicks
// come, a block at a time, so that neither the clicks nor the sound are held
// for the whole run.  Past `wavLimit` bytes of samples (4 GiB, the most a
// WAV file's 32-bit sizes hold, some 13.5 hours at 44.1 kHz) the file is
// rewritten as RF64, the WAV form with 64-bit sizes, and goes on as that.
// Throws WavError naming the path, also in a build without libsndfile
// (TOUCH_SIM_WAV 0).
class WavWriter {
  public:
    static constexpr std::uint64_t kWavDataLimit = 0xFFFF'FFFFu - 1024;

    explicit WavWriter(std::string path, int sampleRate = 44'100, double amplitude = 0.25,
                       std::uint64_t wavLimit = kWavDataLimit);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // The next click, in time order.
    void add(const Click& click);
    // The sound up to `end`, and the file closed.
    void finish(Micros end);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
