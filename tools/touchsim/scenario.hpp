// A scenario: the machine, the registry, a timeline of steps and the
// expectations of one touchsim run, read from a JSON file.
//
//   {
//     "name": "rotated display",
//     "description": "free text",
//     "seed": 7,
//     "machine": { ...the simulated machine's own description... },
//     "registry": {"file": "touch.reg", "defines": ["BSP_TOUCH"],
//                  "values": {"HARDWARE\\DEVICEMAP\\TOUCH": {"BeepEnable": 1}}},
//     "timeline": [{"step": "enable"}, {"step": "calibrate"}, ...],
//     "expect": {"calibration": "passes", "samples": {"atLeast": 100}}
//   }
//
// Every field but "timeline" is optional.  Unknown fields are refused, and
// every error names the file, the line and the field (ScenarioError).  The
// README describes each step and expectation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "sim/machine.hpp"
#include "windowing/calibration_screen.hpp"

namespace touchsim {

// Bad input: a scenario, .reg or option that cannot be used.  what() reads
// "<file>:<line>: <field>: <message>", leaving out what is not known.
class ScenarioError : public std::runtime_error {
  public:
    ScenarioError(std::string file, int line, std::string field, std::string message);
    const std::string& file() const { return file_; }
    int line() const { return line_; }  // 0 when not known
    const std::string& field() const { return field_; }
    const std::string& message() const { return message_; }

  private:
    std::string file_;
    int line_;
    std::string field_;
    std::string message_;
};

// ---- Steps ----

struct EnableStep {};
struct DisableStep {};
struct CalibrateStep {
    // Shared, not held in place: the screen's settings are large, and a
    // long timeline of small steps would otherwise pay for them in each.
    std::shared_ptr<const windowing::CalibrationScreenConfig> screen;
};
struct CaptureStep {};  // TouchPanelReadCalibrationPoint on a thread of its own
struct AbortStep {};    // TouchPanelReadCalibrationAbort
struct TouchStep {
    sim::Point at;
};
struct MoveStep {
    sim::Point to;
    std::optional<double> speed;  // pixels per second; none: the finger jumps
};
struct LiftStep {};
struct TapStep {
    sim::Point at;
    double holdMs = 50;
    int count = 1;
    double gapMs = 250;  // finger off between two taps
};
struct PathStep {
    std::vector<sim::Point> points;  // pressed at the first, lifted at the last
    double speed = 300;
};
struct CircleStep {
    sim::Point centre;
    double radius = 100;  // pressed at centre + (radius, 0)
    double turns = 1;
    double speed = 300;
};
struct WaitStep {
    double ms = 0;
};
struct ModeStep {
    int mode = 0;  // TPSM_* identifier, or any number to try
};
struct PowerStep {
    bool off = true;
};
struct KeysStep {
    std::vector<std::uint8_t> bytes;  // sent by the keyboard now
};
struct RegistryValue {
    std::string key;
    std::string name;  // empty with RemoveKey
    enum class Kind { Dword, String, MultiString, Remove, RemoveKey } kind = Kind::Dword;
    std::uint32_t dword = 0;
    std::vector<std::string> strings;
};
// Registry values changed now (the driver reads them at its next enable).
struct RegistryStep {
    std::vector<RegistryValue> values;
};
// A keyboard driver that takes the keyboard's bytes off the i8042 (on), or
// its end (off).
struct KeyboardDriverStep {
    bool on = true;
    int priority = 145;
    std::uint32_t sysIntr = 16 + 1;  // IRQ 1
};

using Action = std::variant<EnableStep, DisableStep, CalibrateStep, CaptureStep, AbortStep,
                            TouchStep, MoveStep, LiftStep, TapStep, PathStep, CircleStep, WaitStep,
                            ModeStep, PowerStep, KeysStep, KeyboardDriverStep, RegistryStep>;

// Kept small: a long run's timeline holds thousands.
struct Step {
    Action action;
    const char* kind = "";  // as written: "enable", "tap", ... (the step names are static)
    int line = 0;
    std::uint32_t index = 0;    // in the timeline
    std::string field() const;  // "timeline[3]"
};

// ---- Expectations ----

// "n" (exactly n) or {"atLeast": a, "atMost": b}.
struct CountRange {
    std::optional<std::uint64_t> atLeast;
    std::optional<std::uint64_t> atMost;
    bool contains(std::uint64_t value) const;
    std::string describe() const;  // "exactly 3", "at least 100", "2 to 5"
};

// {"atLeast": a, "atMost": b} of a measured figure; either may be left out.
struct RealRange {
    std::optional<double> atLeast;
    std::optional<double> atMost;
    bool contains(double value) const;
    std::string describe(const std::string& unit) const;  // "45 to 55 ms", "at least 150 a second"
};

enum class CalibrationOutcome { Passes, Fails, Aborted, Incomplete };
enum class CaptureOutcome { Completes, Fails };

struct Expectations {
    std::optional<bool> enableSucceeds;             // every enable step
    std::optional<CalibrationOutcome> calibration;  // the last calibrate step
    std::optional<CaptureOutcome> capture;          // the last capture step
    std::optional<CountRange> samples;              // delivered samples
    std::optional<CountRange> touches;              // delivered pen-downs (0x07)
    std::optional<CountRange> clicks;               // clicks heard
    std::optional<double> clickFrequencyHz;         // every click, within 1 %
    std::optional<RealRange> clickMeanLengthMs;     // the mean length of the clicks
    std::optional<RealRange> clickLengthMs;         // every click's length (the worst)
    std::optional<RealRange> sampleRate;            // samples a second while the pen was down
    std::optional<double> strokeMeanErrorPx;        // at most
    std::optional<double> strokeWorstErrorPx;       // at most
    std::optional<CountRange> cursorMoves;
    std::optional<windowing::Point> lastCursor;  // pixels, within 1 on each axis
    std::optional<CountRange> kernelFaults;
    std::optional<CountRange> keyboardBytes;  // taken by the keyboard driver
    // The line of each expectation given, by its name ("samples").
    std::map<std::string, int> lines;
};

// ---- The scenario ----

struct RegistrySettings {
    std::string file;  // resolved path of a .reg file, or empty
    std::string fileText;
    std::vector<std::string> defines;
    std::vector<RegistryValue> values;  // applied after the file, in order
};

struct Scenario {
    std::string file;  // as given, for messages; "(built-in)" for the default
    std::string name;
    std::string description;
    // The run's seed: the scenario's "seed", else "machine.seed", else 1
    // (--seed replaces it).
    std::uint64_t seed = 1;
    sim::MachineConfig machine;
    RegistrySettings registry;
    std::vector<Step> timeline;
    Expectations expect;
};

// Reads a scenario.  `file` names it in errors; relative .reg paths are
// resolved against `directory`.  Throws ScenarioError.
Scenario parseScenario(const std::string& text, const std::string& file,
                       const std::filesystem::path& directory);
// Reads a scenario file.  Throws ScenarioError.
Scenario loadScenario(const std::filesystem::path& path);

// Seeds are whole numbers from 0 to 2^64 - 1, in a scenario and on the
// command line alike.
constexpr const char* kSeedRange = "a whole number from 0 to 18446744073709551615";
// The seed `text` spells in decimal digits, or empty when it is not one.
std::optional<std::uint64_t> parseSeed(const std::string& text);

// Reads a whole file; throws ScenarioError naming it when it cannot.
std::string readFile(const std::filesystem::path& path);

}  // namespace touchsim
