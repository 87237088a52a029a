// The machine description: checks, and its JSON form.
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/hosted/win32.h"
#include "sim/machine.hpp"

namespace sim {

namespace {

using nlohmann::json;

// Limits of the description, shared by the JSON reader and validate().
constexpr std::int64_t kMaxDisplay = 8192;
constexpr std::int64_t kMaxPort = 0xFFFF - 4;
constexpr std::int64_t kMaxBusyUs = 1'000'000;
constexpr std::int64_t kMinPs2Clock = 1'000;
constexpr std::int64_t kMaxPs2Clock = 1'000'000;
constexpr std::int64_t kMaxSysIntr = 255;
constexpr std::int64_t kMaxReportRate = 1'000;
constexpr std::int64_t kMaxCount = std::numeric_limits<std::int64_t>::max();
constexpr double kMaxTimeMs = 86'400'000;  // one day of virtual time
constexpr double kMinScale = 0.01;
constexpr double kMaxScale = 1'000;
constexpr double kMaxOffset = 100'000;
constexpr double kMaxRotation = 360;
constexpr double kMaxSkew = 1;
constexpr double kMaxNoise = 1'000;
constexpr int kRawMargin = 256;
constexpr std::uint16_t kSpeakerPorts[] = {0x42, 0x43, 0x61};

[[noreturn]] void fail(const std::string& field, const std::string& message) {
    throw ConfigError(field, message);
}

std::string hex(std::int64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

void checkInt(const std::string& field, std::int64_t value, std::int64_t min, std::int64_t max) {
    if (value < min || value > max) {
        fail(field, "must be " + std::to_string(min) + " to " + std::to_string(max) + ", not " +
                        std::to_string(value));
    }
}

void checkDouble(const std::string& field, double value, double min, double max) {
    if (!std::isfinite(value) || value < min || value > max) {
        std::ostringstream out;
        out << "must be " << min << " to " << max << ", not " << value;
        fail(field, out.str());
    }
}

// The members of one JSON object: each is read at most once, and whatever
// is left unread at the end is an unknown field.
class Fields {
  public:
    Fields(const json& object, std::string path) : object_(object), path_(std::move(path)) {
        if (!object_.is_object()) {
            fail(path_, "must be an object");
        }
    }

    std::string at(const std::string& key) const { return path_ + "." + key; }

    const json* find(const std::string& key) {
        read_.insert(key);
        const auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    const json& require(const std::string& key) {
        const json* value = find(key);
        if (value == nullptr) {
            fail(at(key), "missing");
        }
        return *value;
    }

    void finish() const {
        for (const auto& [key, value] : object_.items()) {
            if (read_.count(key) == 0) {
                fail(at(key), "unknown field");
            }
        }
    }

  private:
    const json& object_;
    std::string path_;
    std::set<std::string> read_;
};

std::int64_t intValue(const json& value, const std::string& field, std::int64_t min,
                      std::int64_t max) {
    if (!value.is_number_integer()) {
        fail(field, "must be a whole number");
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(kMaxCount)) {
        fail(field, "must be " + std::to_string(min) + " to " + std::to_string(max));
    }
    const auto number = value.get<std::int64_t>();
    checkInt(field, number, min, max);
    return number;
}

double doubleValue(const json& value, const std::string& field, double min, double max) {
    if (!value.is_number()) {
        fail(field, "must be a number");
    }
    const auto number = value.get<double>();
    checkDouble(field, number, min, max);
    return number;
}

template <typename T>
void readInt(Fields& fields, const std::string& key, T& out, std::int64_t min, std::int64_t max) {
    if (const json* value = fields.find(key)) {
        out = static_cast<T>(intValue(*value, fields.at(key), min, max));
    }
}

void readDouble(Fields& fields, const std::string& key, double& out, double min, double max) {
    if (const json* value = fields.find(key)) {
        out = doubleValue(*value, fields.at(key), min, max);
    }
}

void readBool(Fields& fields, const std::string& key, bool& out) {
    if (const json* value = fields.find(key)) {
        if (!value->is_boolean()) {
            fail(fields.at(key), "must be true or false");
        }
        out = value->get<bool>();
    }
}

Micros timeValue(const json& value, const std::string& field) {
    return static_cast<Micros>(std::llround(doubleValue(value, field, 0, kMaxTimeMs) * 1000));
}

std::vector<std::uint8_t> bytesValue(const json& value, const std::string& field) {
    if (!value.is_array() || value.empty()) {
        fail(field, "must be a non-empty array of bytes");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < value.size(); ++i) {
        bytes.push_back(static_cast<std::uint8_t>(
            intValue(value[i], field + "[" + std::to_string(i) + "]", 0, 0xFF)));
    }
    return bytes;
}

// Each element of an optional array, as an object with its indexed path.
template <typename Read>
void readEach(Fields& fields, const std::string& key, Read read) {
    const json* value = fields.find(key);
    if (value == nullptr) {
        return;
    }
    if (!value->is_array()) {
        fail(fields.at(key), "must be an array");
    }
    for (std::size_t i = 0; i < value->size(); ++i) {
        Fields element((*value)[i], fields.at(key) + "[" + std::to_string(i) + "]");
        read(element);
        element.finish();
    }
}

template <typename Kind>
Kind kindValue(const json& value, const std::string& field,
               const std::vector<std::pair<const char*, Kind>>& names) {
    std::string choices;
    if (value.is_string()) {
        for (const auto& [name, kind] : names) {
            if (value.get<std::string>() == name) {
                return kind;
            }
        }
    }
    for (const auto& [name, kind] : names) {
        choices +=
            choices.empty() ? std::string("\"") + name + "\"" : std::string(", \"") + name + "\"";
    }
    fail(field, "must be one of " + choices);
}

void readFaults(Fields& f, ControllerFaults& faults) {
    using F = ControllerFaults;
    readBool(f, "silent", faults.silent);
    readEach(f, "acks", [&](Fields& e) {
        F::AckFault fault;
        fault.byte =
            static_cast<std::uint64_t>(intValue(e.require("byte"), e.at("byte"), 1, kMaxCount));
        fault.kind =
            kindValue<F::AckKind>(e.require("kind"), e.at("kind"),
                                  {{"none", F::AckKind::None}, {"wrong", F::AckKind::Wrong}});
        readInt(e, "value", fault.value, 0, 0xFF);
        faults.acks.push_back(fault);
    });
    readEach(f, "replies", [&](Fields& e) {
        F::ReplyFault fault;
        fault.command = static_cast<std::uint64_t>(
            intValue(e.require("command"), e.at("command"), 1, kMaxCount));
        fault.kind = kindValue<F::ReplyKind>(e.require("kind"), e.at("kind"),
                                             {{"none", F::ReplyKind::None},
                                              {"wrongHeader", F::ReplyKind::WrongHeader},
                                              {"wrongEcho", F::ReplyKind::WrongEcho}});
        faults.replies.push_back(fault);
    });
    readEach(f, "garbage", [&](Fields& e) {
        F::Garbage garbage;
        garbage.at = timeValue(e.require("atMs"), e.at("atMs"));
        garbage.bytes = bytesValue(e.require("bytes"), e.at("bytes"));
        faults.garbage.push_back(garbage);
    });
    readEach(f, "brokenPackets", [&](Fields& e) {
        F::BrokenPacket fault;
        fault.packet =
            static_cast<std::uint64_t>(intValue(e.require("packet"), e.at("packet"), 1, kMaxCount));
        fault.kind = kindValue<F::PacketKind>(
            e.require("kind"), e.at("kind"),
            {{"missingSync", F::PacketKind::MissingSync}, {"highBit", F::PacketKind::HighBit}});
        readInt(e, "byte", fault.byte, 1, 4);
        faults.brokenPackets.push_back(fault);
    });
    readEach(f, "extraBytes", [&](Fields& e) {
        F::ExtraBytes extra;
        extra.packet =
            static_cast<std::uint64_t>(intValue(e.require("packet"), e.at("packet"), 1, kMaxCount));
        extra.bytes = bytesValue(e.require("bytes"), e.at("bytes"));
        faults.extraBytes.push_back(extra);
    });
}

void readController(Fields& f, TouchControllerConfig& controller) {
    readInt(f, "reportRate", controller.reportRate, 1, kMaxReportRate);
    if (const json* size = f.find("packetSize")) {
        const std::int64_t bytes = intValue(*size, f.at("packetSize"), 5, 6);
        controller.sixBytePackets = bytes == 6;
    }
    if (const json* faults = f.find("faults")) {
        Fields ff(*faults, f.at("faults"));
        readFaults(ff, controller.faults);
        ff.finish();
    }
}

void readPanel(Fields& f, PanelDescription& panel) {
    for (const char* key : {"scaleX", "scaleY"}) {
        if (const json* value = f.find(key)) {
            const double scale = doubleValue(*value, f.at(key), -kMaxScale, kMaxScale);
            if (std::abs(scale) < kMinScale) {
                fail(f.at(key), "must be at least 0.01 raw units per pixel in size");
            }
            (std::string(key) == "scaleX" ? panel.scaleX : panel.scaleY) = scale;
        }
    }
    readDouble(f, "offsetX", panel.offsetX, -kMaxOffset, kMaxOffset);
    readDouble(f, "offsetY", panel.offsetY, -kMaxOffset, kMaxOffset);
    readDouble(f, "rotation", panel.rotationDegrees, -kMaxRotation, kMaxRotation);
    readDouble(f, "skew", panel.skew, -kMaxSkew, kMaxSkew);
    readBool(f, "swapAxes", panel.swapAxes);
    readBool(f, "mirrorX", panel.mirrorX);
    readBool(f, "mirrorY", panel.mirrorY);
    readDouble(f, "noise", panel.noise, 0, kMaxNoise);
}

template <typename Read>
void readObject(Fields& parent, const std::string& key, Read read) {
    if (const json* value = parent.find(key)) {
        Fields fields(*value, parent.at(key));
        read(fields);
        fields.finish();
    }
}

}  // namespace

ConfigError::ConfigError(std::string field, const std::string& message, const std::string& file)
    : std::runtime_error((file.empty() ? "" : file + ": ") +
                         (field.empty() ? message : field + ": " + message)),
      field_(std::move(field)),
      message_(message) {}

PanelConfig MachineConfig::panelConfig() const {
    PanelConfig config;
    config.displayWidth = display.width;
    config.displayHeight = display.height;
    const double span = kRawMax - 2 * kRawMargin + 1;
    config.map.scaleX = panel.scaleX.value_or(span / display.width);
    config.map.scaleY = panel.scaleY.value_or(span / display.height);
    config.map.offsetX = panel.offsetX;
    config.map.offsetY = panel.offsetY;
    config.map.rotationDegrees = panel.rotationDegrees;
    config.map.skew = panel.skew;
    config.map.swapAxes = panel.swapAxes;
    config.map.mirrorX = panel.mirrorX;
    config.map.mirrorY = panel.mirrorY;
    config.noise = panel.noise;
    config.seed = seed;
    return config;
}

std::uint32_t MachineConfig::displayOrientation() const {
    switch (display.orientation) {
        case 90:
            return DMDO_90;
        case 180:
            return DMDO_180;
        case 270:
            return DMDO_270;
        default:
            return DMDO_0;
    }
}

void MachineConfig::validate(const std::string& path) const {
    checkInt(path + ".display.width", display.width, 1, kMaxDisplay);
    checkInt(path + ".display.height", display.height, 1, kMaxDisplay);
    if (display.orientation != 0 && display.orientation != 90 && display.orientation != 180 &&
        display.orientation != 270) {
        fail(path + ".display.orientation",
             "must be 0, 90, 180 or 270, not " + std::to_string(display.orientation));
    }
    const std::string base = path + ".i8042.base";
    checkInt(base, i8042.base, 0, kMaxPort);
    for (std::uint16_t port : kSpeakerPorts) {
        if (i8042.base == port || i8042.base + 4 == port) {
            fail(base, hex(i8042.base) + " puts an i8042 port on the speaker's port " + hex(port));
        }
    }
    checkInt(path + ".i8042.inputBusyUs", static_cast<std::int64_t>(i8042.inputBusyTime), 0,
             kMaxBusyUs);
    checkInt(path + ".i8042.ps2ClockHz", i8042.ps2ClockHz, kMinPs2Clock, kMaxPs2Clock);
    checkInt(path + ".sysIntr", sysIntr, 1, kMaxSysIntr);
    checkInt(path + ".controller.reportRate", controller.reportRate, 1, kMaxReportRate);
    const ControllerFaults& faults = controller.faults;
    for (std::size_t i = 0; i < faults.brokenPackets.size(); ++i) {
        checkInt(path + ".controller.faults.brokenPackets[" + std::to_string(i) + "].byte",
                 faults.brokenPackets[i].byte, 1, 4);
    }
    const std::string panelPath = path + ".panel.";
    for (const auto& [name, scale] :
         {std::pair{"scaleX", panel.scaleX}, {"scaleY", panel.scaleY}}) {
        if (scale) {
            checkDouble(panelPath + name, std::abs(*scale), kMinScale, kMaxScale);
        }
    }
    checkDouble(panelPath + "offsetX", panel.offsetX, -kMaxOffset, kMaxOffset);
    checkDouble(panelPath + "offsetY", panel.offsetY, -kMaxOffset, kMaxOffset);
    checkDouble(panelPath + "rotation", panel.rotationDegrees, -kMaxRotation, kMaxRotation);
    checkDouble(panelPath + "skew", panel.skew, -kMaxSkew, kMaxSkew);
    checkDouble(panelPath + "noise", panel.noise, 0, kMaxNoise);
    checkInt(path + ".speaker.port61", speaker.port61, 0, 0x0F);
}

MachineConfig MachineConfig::fromJson(const json& json, const std::string& path) {
    MachineConfig config;
    Fields root(json, path);
    {
        Fields display(root.require("display"), root.at("display"));
        config.display.width = static_cast<int>(
            intValue(display.require("width"), display.at("width"), 1, kMaxDisplay));
        config.display.height = static_cast<int>(
            intValue(display.require("height"), display.at("height"), 1, kMaxDisplay));
        // Any whole number here; validate() names the four that are allowed.
        readInt(display, "orientation", config.display.orientation, std::numeric_limits<int>::min(),
                std::numeric_limits<int>::max());
        display.finish();
    }
    readObject(root, "i8042", [&](Fields& f) {
        readInt(f, "base", config.i8042.base, 0, kMaxPort);
        readInt(f, "inputBusyUs", config.i8042.inputBusyTime, 0, kMaxBusyUs);
        readBool(f, "inputStuck", config.i8042.inputStuck);
        readInt(f, "ps2ClockHz", config.i8042.ps2ClockHz, kMinPs2Clock, kMaxPs2Clock);
        readInt(f, "commandByte", config.i8042.commandByte, 0, 0xFF);
        readBool(f, "answerIrqWhileKeyboardOff", config.i8042.answerIrqWhileKeyboardOff);
        readBool(f, "auxAfterKeyboardByte", config.i8042.auxAfterKeyboardByte);
    });
    readInt(root, "sysIntr", config.sysIntr, 1, kMaxSysIntr);
    readObject(root, "controller", [&](Fields& f) { readController(f, config.controller); });
    readObject(root, "panel", [&](Fields& f) { readPanel(f, config.panel); });
    readEach(root, "keyboard", [&](Fields& e) {
        KeyboardInjection injection;
        injection.at = timeValue(e.require("atMs"), e.at("atMs"));
        injection.bytes = bytesValue(e.require("bytes"), e.at("bytes"));
        config.keyboard.push_back(injection);
    });
    readObject(root, "speaker",
               [&](Fields& f) { readInt(f, "port61", config.speaker.port61, 0, 0x0F); });
    if (const nlohmann::json* seed = root.find("seed")) {
        if (!seed->is_number_unsigned() &&
            !(seed->is_number_integer() && seed->get<std::int64_t>() >= 0)) {
            fail(root.at("seed"), "must be a whole number 0 or more");
        }
        config.seed = seed->get<std::uint64_t>();
    }
    root.finish();
    config.validate(path);
    return config;
}

MachineConfig MachineConfig::load(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        throw ConfigError("", "cannot open the file", file);
    }
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& error) {
        // Malformed text, or a number beyond every number type.
        throw ConfigError("", error.what(), file);
    }
    try {
        return fromJson(json);
    } catch (const ConfigError& error) {
        throw ConfigError(error.field(), error.message(), file);
    }
}

nlohmann::json MachineConfig::toJson() const {
    nlohmann::json faults = {{"silent", controller.faults.silent}};
    faults["acks"] = nlohmann::json::array();
    for (const auto& a : controller.faults.acks) {
        faults["acks"].push_back(
            {{"byte", a.byte},
             {"kind", a.kind == ControllerFaults::AckKind::None ? "none" : "wrong"},
             {"value", a.value}});
    }
    faults["replies"] = nlohmann::json::array();
    for (const auto& r : controller.faults.replies) {
        const char* kind = r.kind == ControllerFaults::ReplyKind::None          ? "none"
                           : r.kind == ControllerFaults::ReplyKind::WrongHeader ? "wrongHeader"
                                                                                : "wrongEcho";
        faults["replies"].push_back({{"command", r.command}, {"kind", kind}});
    }
    faults["garbage"] = nlohmann::json::array();
    for (const auto& g : controller.faults.garbage) {
        faults["garbage"].push_back(
            {{"atMs", static_cast<double>(g.at) / 1000}, {"bytes", g.bytes}});
    }
    faults["brokenPackets"] = nlohmann::json::array();
    for (const auto& b : controller.faults.brokenPackets) {
        const char* kind =
            b.kind == ControllerFaults::PacketKind::MissingSync ? "missingSync" : "highBit";
        faults["brokenPackets"].push_back({{"packet", b.packet}, {"kind", kind}, {"byte", b.byte}});
    }
    faults["extraBytes"] = nlohmann::json::array();
    for (const auto& x : controller.faults.extraBytes) {
        faults["extraBytes"].push_back({{"packet", x.packet}, {"bytes", x.bytes}});
    }
    nlohmann::json panelJson = {{"offsetX", panel.offsetX},          {"offsetY", panel.offsetY},
                                {"rotation", panel.rotationDegrees}, {"skew", panel.skew},
                                {"swapAxes", panel.swapAxes},        {"mirrorX", panel.mirrorX},
                                {"mirrorY", panel.mirrorY},          {"noise", panel.noise}};
    if (panel.scaleX) {
        panelJson["scaleX"] = *panel.scaleX;
    }
    if (panel.scaleY) {
        panelJson["scaleY"] = *panel.scaleY;
    }
    nlohmann::json keyboardJson = nlohmann::json::array();
    for (const auto& k : keyboard) {
        keyboardJson.push_back({{"atMs", static_cast<double>(k.at) / 1000}, {"bytes", k.bytes}});
    }
    return {
        {"display",
         {{"width", display.width},
          {"height", display.height},
          {"orientation", display.orientation}}},
        {"i8042",
         {{"base", i8042.base},
          {"inputBusyUs", i8042.inputBusyTime},
          {"inputStuck", i8042.inputStuck},
          {"ps2ClockHz", i8042.ps2ClockHz},
          {"commandByte", i8042.commandByte},
          {"answerIrqWhileKeyboardOff", i8042.answerIrqWhileKeyboardOff},
          {"auxAfterKeyboardByte", i8042.auxAfterKeyboardByte}}},
        {"sysIntr", sysIntr},
        {"controller",
         {{"reportRate", controller.reportRate},
          {"packetSize", controller.sixBytePackets ? 6 : 5},
          {"faults", faults}}},
        {"panel", panelJson},
        {"keyboard", keyboardJson},
        {"speaker", {{"port61", speaker.port61}}},
        {"seed", seed},
    };
}

}  // namespace sim
