// The simulated board: an i8042 with the touch controller on its auxiliary
// channel and a keyboard on its first channel, the touch panel in front of the
// display, and the 8254 channel 2 with the speaker on port 0x61.
//
// A MachineConfig describes it, built in code or read from JSON.  A Machine
// owns the devices and wires them to a hosted::Kernel: the i8042's two ports
// and the speaker's three on the port bus, IRQ 12 under the logical interrupt
// `sysIntr`, and the display orientation.
//
// JSON form (every field optional except display.width and display.height;
// the defaults are those of the structs below; unknown fields are refused):
//   {
//     "display":  {"width": 800, "height": 480, "orientation": 0},  // 0/90/180/270
//     "i8042":    {"base": 96, "inputBusyUs": 5, "inputStuck": false,
//                  "ps2ClockHz": 12000, "commandByte": 101,
//                  "answerIrqWhileKeyboardOff": true, "auxAfterKeyboardByte": false},
//     "sysIntr":  28,
//     "controller": {"reportRate": 200, "packetSize": 5,
//                    "faults": {"silent": false,
//                               "acks": [{"byte": 7, "kind": "none" | "wrong", "value": 254}],
//                               "replies": [{"command": 2, "kind": "none" | "wrongHeader"
//                                                                 | "wrongEcho"}],
//                               "garbage": [{"atMs": 12.5, "bytes": [1, 2]}],
//                               "brokenPackets": [{"packet": 3, "kind": "missingSync"
//                                                                        | "highBit",
//                                                  "byte": 2}],
//                               "extraBytes": [{"packet": 1, "bytes": [0]}]}},
//     "panel":    {"scaleX": 19.84, "scaleY": 33.07, "offsetX": 256, "offsetY": 256,
//                  "rotation": 0, "skew": 0, "swapAxes": false, "mirrorX": false,
//                  "mirrorY": false, "noise": 0},
//     "keyboard": [{"atMs": 100, "bytes": [28, 240, 28]}],
//     "speaker":  {"port61": 12},
//     "seed": 1
//   }
// Errors name the field by its path, e.g. "machine.panel.noise: must be 0 or more".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/i8042.hpp"
#include "sim/keyboard.hpp"
#include "sim/speaker.hpp"
#include "sim/touch_controller.hpp"
#include "sim/touch_panel.hpp"

namespace hosted {
class Kernel;
class Registry;
}  // namespace hosted

namespace sim {

// A machine description that cannot be used; field() is the path of the
// offending field ("machine.panel.noise"), what() is "<field>: <message>",
// preceded by "<file>: " when it came from a file.  A file that is not JSON
// at all has an empty field().
class ConfigError : public std::runtime_error {
  public:
    ConfigError(std::string field, const std::string& message, const std::string& file = "");
    const std::string& field() const { return field_; }
    const std::string& message() const { return message_; }

  private:
    std::string field_;
    std::string message_;
};

struct DisplayConfig {
    int width = 800;      // pixels, 1..8192
    int height = 480;     // pixels, 1..8192
    int orientation = 0;  // degrees: 0, 90, 180 or 270
};

// The panel's map; an empty scale spans the display's width (height) with
// 16383 - 511 raw units, so that with the default offsets of 256 the raw range
// keeps a margin of 256 units at each edge.
struct PanelDescription {
    std::optional<double> scaleX;
    std::optional<double> scaleY;
    double offsetX = 256;
    double offsetY = 256;
    double rotationDegrees = 0;  // -360..360
    double skew = 0;             // -1..1
    bool swapAxes = false;
    bool mirrorX = false;
    bool mirrorY = false;
    double noise = 0;  // raw units, 0..1000
};

struct MachineConfig {
    // The logical interrupt the kernel maps to IRQ 12: the board's firmware
    // interrupts start at 16, and IRQ n is 16 + n.
    static constexpr std::uint32_t kDefaultSysIntr = 16 + 12;

    DisplayConfig display;
    I8042Config i8042;  // base 0x60, 5 us busy, 12 kHz, command byte 0x65
    std::uint32_t sysIntr = kDefaultSysIntr;
    TouchControllerConfig controller;  // 200 reports/s, 5-byte packets, no faults
    PanelDescription panel;
    std::vector<KeyboardInjection> keyboard;
    SpeakerConfig speaker;  // port 0x61 bits 0..3 start as 0x0C
    std::uint64_t seed = 1;

    // The panel as the devices take it (scales filled in from the display).
    PanelConfig panelConfig() const;
    // DMDO_0, DMDO_90, DMDO_180 or DMDO_270 for the orientation.
    std::uint32_t displayOrientation() const;

    // Check every field; throws ConfigError naming the first bad one.
    void validate(const std::string& path = "machine") const;

    // Read a description; `path` prefixes the field names in errors.
    static MachineConfig fromJson(const nlohmann::json& json, const std::string& path = "machine");
    // Read a JSON file; errors name the file ("<file>: machine.seed: ...").
    static MachineConfig load(const std::string& file);
    nlohmann::json toJson() const;
};

// The machine must be destroyed before its kernel.
class Machine {
  public:
    // Validates the config (ConfigError), builds the devices on the kernel's
    // clock and maps them.  The keyboard injections and controller garbage are
    // scheduled now, relative to virtual time 0.
    Machine(hosted::Kernel& kernel, MachineConfig config);
    ~Machine();  // unmaps the devices
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    hosted::Kernel& kernel() { return kernel_; }
    const MachineConfig& config() const { return config_; }

    I8042& i8042() { return *i8042_; }
    TouchController& controller() { return *controller_; }
    TouchPanel& panel() { return *panel_; }
    Speaker& speaker() { return *speaker_; }
    Keyboard& keyboard() { return *keyboard_; }

    // Write what the driver needs to find this board: "ioBase" and "sysIntr"
    // under HARDWARE\DEVICEMAP\TOUCH.
    void describeInRegistry(hosted::Registry& registry) const;

  private:
    hosted::Kernel& kernel_;
    MachineConfig config_;
    std::unique_ptr<TouchPanel> panel_;
    std::unique_ptr<I8042> i8042_;
    std::unique_ptr<TouchController> controller_;
    std::unique_ptr<Keyboard> keyboard_;
    std::unique_ptr<Speaker> speaker_;
};

}  // namespace sim
