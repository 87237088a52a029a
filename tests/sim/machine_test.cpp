#include "sim/machine.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"

namespace {

using nlohmann::json;
using sim::ConfigError;
using sim::MachineConfig;

json minimal() {
    return json::parse(R"({"display": {"width": 640, "height": 480}})");
}

std::string errorOf(const json& description) {
    try {
        MachineConfig::fromJson(description);
    } catch (const ConfigError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(MachineDescription, OnlyTheDisplaySizeIsRequired) {
    const MachineConfig config = MachineConfig::fromJson(minimal());
    MachineConfig expected;
    expected.display.width = 640;
    EXPECT_EQ(config.toJson(), expected.toJson());
    EXPECT_EQ(config.i8042.base, 0x60);
    EXPECT_EQ(config.sysIntr, 28u);
    EXPECT_EQ(config.controller.reportRate, 200u);
    // The default scale spans the display's own size.
    EXPECT_DOUBLE_EQ(config.panelConfig().map.scaleX, (16383 - 511) / 640.0);
}

TEST(MachineDescription, EveryFieldRoundTripsThroughJson) {
    const json full = json::parse(R"({
      "display": {"width": 1024, "height": 600, "orientation": 270},
      "i8042": {"base": 768, "inputBusyUs": 9, "inputStuck": true, "ps2ClockHz": 15000,
                "commandByte": 71, "answerIrqWhileKeyboardOff": false,
                "auxAfterKeyboardByte": true},
      "sysIntr": 17,
      "controller": {"reportRate": 150, "packetSize": 6,
        "faults": {"silent": true,
                   "acks": [{"byte": 7, "kind": "wrong", "value": 254}],
                   "replies": [{"command": 2, "kind": "wrongEcho"}],
                   "garbage": [{"atMs": 12.5, "bytes": [1, 2]}],
                   "brokenPackets": [{"packet": 3, "kind": "highBit", "byte": 2}],
                   "extraBytes": [{"packet": 1, "bytes": [0]}]}},
      "panel": {"scaleX": -15.5, "scaleY": 20, "offsetX": 16000, "offsetY": 300,
                "rotation": -2.5, "skew": 0.01, "swapAxes": true, "mirrorX": true,
                "mirrorY": false, "noise": 3.5},
      "keyboard": [{"atMs": 100, "bytes": [28, 240, 28]}],
      "speaker": {"port61": 0},
      "seed": 18446744073709551615
    })");
    const MachineConfig config = MachineConfig::fromJson(full);
    EXPECT_EQ(config.displayOrientation(), static_cast<std::uint32_t>(DMDO_270));
    EXPECT_EQ(config.controller.faults.garbage.at(0).at, 12'500u);
    EXPECT_EQ(config.keyboard.at(0).at, 100'000u);
    EXPECT_EQ(config.seed, ~std::uint64_t{0});
    EXPECT_EQ(MachineConfig::fromJson(config.toJson()).toJson(), config.toJson());
    for (const auto& [key, value] : full.items()) {
        EXPECT_EQ(config.toJson().at(key), value) << key;
    }
}

TEST(MachineDescription, BadFieldsAreNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({})", "machine.display: missing"},
        {R"({"display": {"width": 640}})", "machine.display.height: missing"},
        {R"({"display": {"width": 64.5, "height": 480}})",
         "machine.display.width: must be a whole"},
        {R"({"display": {"width": 640, "height": 480, "orientation": 45}})",
         "machine.display.orientation: must be 0, 90, 180 or 270, not 45"},
        {R"({"display": {"width": 640, "height": 480}, "panel": {"noise": -1}})",
         "machine.panel.noise: must be 0 to 1000, not -1"},
        {R"({"display": {"width": 640, "height": 480}, "panel": {"scaleX": 0}})",
         "machine.panel.scaleX: must be at least 0.01"},
        {R"({"display": {"width": 640, "height": 480}, "panel": {"nosie": 1}})",
         "machine.panel.nosie: unknown field"},
        {R"({"display": {"width": 640, "height": 480}, "i8042": {"base": 93}})",
         "machine.i8042.base: 0x5d puts an i8042 port on the speaker's port 0x61"},
        {R"({"display": {"width": 640, "height": 480},
             "controller": {"faults": {"acks": [{"byte": 1, "kind": "late"}]}}})",
         "machine.controller.faults.acks[0].kind: must be one of \"none\", \"wrong\""},
        {R"({"display": {"width": 640, "height": 480},
             "controller": {"faults": {"brokenPackets": [{"packet": 1, "kind": "highBit",
                                                          "byte": 5}]}}})",
         "machine.controller.faults.brokenPackets[0].byte: must be 1 to 4"},
        {R"({"display": {"width": 640, "height": 480},
             "keyboard": [{"atMs": 1, "bytes": [1]}, {"atMs": 2, "bytes": [1, 2, 300]}]})",
         "machine.keyboard[1].bytes[2]: must be 0 to 255"},
        {R"({"display": {"width": 640, "height": 480}, "keyboard": [{"bytes": [1]}]})",
         "machine.keyboard[0].atMs: missing"},
        {R"({"display": {"width": 640, "height": 480}, "seed": -1})", "machine.seed: must be"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(errorOf(json::parse(text)).rfind(expected, 0), 0u)
            << text << "\n  gave: " << errorOf(json::parse(text));
    }

    // The same checks guard a description built in code.
    MachineConfig config;
    config.panel.noise = 2000;
    EXPECT_THROW(config.validate(), ConfigError);
    config = {};
    config.controller.reportRate = 0;
    try {
        config.validate("scenario.machine");
        ADD_FAILURE() << "accepted";
    } catch (const ConfigError& error) {
        EXPECT_EQ(error.field(), "scenario.machine.controller.reportRate");
    }
}

TEST(MachineDescription, FileErrorsNameTheFile) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("machine_test_" + std::to_string(::getpid()) + ".json");
    std::ofstream(path) << R"({"display": {"width": 640, "height": 480}, "seed": "x"})";
    try {
        MachineConfig::load(path.string());
        ADD_FAILURE() << "accepted";
    } catch (const ConfigError& error) {
        EXPECT_EQ(std::string(error.what()),
                  path.string() + ": machine.seed: must be a whole number 0 or more");
        EXPECT_EQ(error.field(), "machine.seed");
    }
    // Malformed text, and a number too large for any number type: the error
    // names the file, then what the JSON reader found.
    const auto loadError = [&](const std::string& text) -> std::string {
        std::ofstream(path) << text;
        try {
            MachineConfig::load(path.string());
        } catch (const ConfigError& error) {
            return error.what();
        }
        return "accepted";
    };
    const std::string malformed = loadError("{\n  \"display\": {\n    \"width\": 640,,\n");
    EXPECT_EQ(malformed.rfind(path.string() + ": ", 0), 0u) << malformed;
    EXPECT_NE(malformed.find("line 3"), std::string::npos) << malformed;
    const std::string overflow = loadError(R"({"display": {"width": 1e999, "height": 480}})");
    EXPECT_EQ(overflow.rfind(path.string() + ": ", 0), 0u) << overflow;
    EXPECT_NE(overflow.find("number overflow"), std::string::npos) << overflow;
    std::filesystem::remove(path);
    EXPECT_THROW(MachineConfig::load(path.string()), ConfigError);
}

PUCHAR port(std::uint16_t number) {
    return reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(number));
}

TEST(Machine, WiresPortsInterruptDisplayAndRegistry) {
    hosted::Kernel kernel;
    MachineConfig config;
    config.display.orientation = 90;
    config.controller.faults.garbage = {{2000, {0x5A}}};
    config.keyboard = {{10'000, {0x1C}}};
    sim::Machine machine(kernel, config);

    EXPECT_EQ(READ_PORT_UCHAR(port(0x64)), 0x14);
    // Aux port and its interrupt on, keyboard interrupt off.
    WRITE_PORT_UCHAR(port(0x64), 0x60);
    kernel.advance(10);
    WRITE_PORT_UCHAR(port(0x60), 0x46);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(InterruptInitialize(config.sysIntr, event, nullptr, 0));
    // The controller's stray byte raises IRQ 12 one byte time after it is sent.
    EXPECT_EQ(WaitForSingleObject(event, 100), 0u);
    EXPECT_EQ(kernel.now(), 2000u + 917);
    EXPECT_EQ(READ_PORT_UCHAR(port(0x64)) & 0x21, 0x21);
    EXPECT_EQ(READ_PORT_UCHAR(port(0x60)), 0x5A);
    InterruptDone(config.sysIntr);

    kernel.advance(10'000 + 917 - kernel.now());
    EXPECT_EQ(READ_PORT_UCHAR(port(0x64)) & 0x21, 0x01);  // the keyboard's byte
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    WRITE_PORT_UCHAR(port(0x43), 0xB6);
    WRITE_PORT_UCHAR(port(0x42), 0x1B);
    WRITE_PORT_UCHAR(port(0x42), 0x03);
    WRITE_PORT_UCHAR(port(0x61), READ_PORT_UCHAR(port(0x61)) | 0x03);
    EXPECT_TRUE(machine.speaker().sounding());
    EXPECT_EQ(machine.speaker().divisor(), 795u);

    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    mode.dmFields = DM_DISPLAYORIENTATION;
    ChangeDisplaySettingsEx(nullptr, &mode, nullptr, CDS_TEST, nullptr);
    EXPECT_EQ(mode.dmDisplayOrientation, static_cast<DWORD>(DMDO_90));

    machine.describeInRegistry(kernel.registry());
    EXPECT_EQ(kernel.registry().dword("\\HARDWARE\\DEVICEMAP\\TOUCH", "ioBase"), 0x60u);
    EXPECT_EQ(kernel.registry().dword("HARDWARE\\DEVICEMAP\\TOUCH", "sysIntr"), 28u);
    InterruptDisable(config.sysIntr);
    CloseHandle(event);
}

TEST(Machine, RefusesABadDescription) {
    hosted::Kernel kernel;
    MachineConfig config;
    config.display.height = 0;
    EXPECT_THROW(sim::Machine(kernel, config), ConfigError);
}

}  // namespace
