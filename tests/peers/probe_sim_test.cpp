// The port-level probe run against the simulated i8042 (with a keyboard and a
// PS/2 mouse), compared line by line with what QEMU's i8042 printed for the
// same probe: the two must differ exactly in the accepted differences, each
// with the simulator's line as written down there.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "peers/probe/probe.h"
#include "sim/i8042.hpp"
#include "sim/keyboard.hpp"
#include "sim/manual_clock.hpp"
#include "sim/ps2_mouse.hpp"

namespace {

constexpr hosted::Micros kPortAccess = 1;  // an ISA port access takes about 1 us
const std::string kQemuDir = std::string(TOUCH_SOURCE_ROOT) + "/peers/qemu-7.2/";

// The simulated i8042 with its two devices, in manual virtual time.
class SimBench {
  public:
    explicit SimBench(sim::I8042Config config) : i8042_(clock_, config), keyboard_(clock_) {
        i8042_.attachKeyboard(&keyboard_);
        i8042_.attachAux(&mouse_);
    }

    std::string run() {
        const ProbeIo io{this, &in, &out, &now, &irqs, &typeKey, &print};
        probe_run(&io);
        return output_;
    }

  private:
    static SimBench& self(void* context) { return *static_cast<SimBench*>(context); }
    static std::uint8_t in(void* context, std::uint16_t port) {
        self(context).clock_.advance(kPortAccess);
        return self(context).i8042_.readPort(port);
    }
    static void out(void* context, std::uint16_t port, std::uint8_t value) {
        self(context).clock_.advance(kPortAccess);
        self(context).i8042_.writePort(port, value);
    }
    static std::uint32_t now(void* context) {
        return static_cast<std::uint32_t>(self(context).clock_.now());
    }
    static std::uint32_t irqs(void* context, unsigned line) {
        std::uint32_t count = 0;
        for (const simtest::Raised& raised : self(context).clock_.raised()) {
            count += raised.line == line ? 1 : 0;
        }
        return count;
    }
    static void typeKey(void* context) {
        SimBench& bench = self(context);
        bench.keyboard_.inject(bench.clock_.now(), {0x1E, 0x9E});
    }
    static void print(void* context, const char* line) { self(context).output_ += line; }

    simtest::ManualClock clock_;
    sim::I8042 i8042_;
    sim::Keyboard keyboard_;
    sim::Ps2Mouse mouse_;
    std::string output_;
};

// One line of the probe's output split into its step and its items.
struct Line {
    std::string step;
    std::string items;
};

Line parseLine(const std::string& text) {
    const auto colon = text.find(": ");
    if (colon == std::string::npos) {
        return {text, ""};
    }
    return {text.substr(0, colon), text.substr(colon + 2)};
}

std::vector<Line> parseOutput(const std::string& text) {
    std::vector<Line> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(parseLine(line));
    }
    return lines;
}

// Items alike: equal but for "wire=<n>us" fields within the tolerance.
bool itemsAlike(const std::string& a, const std::string& b) {
    std::istringstream left(a);
    std::istringstream right(b);
    std::string x;
    std::string y;
    while (true) {
        const bool moreLeft = static_cast<bool>(left >> x);
        const bool moreRight = static_cast<bool>(right >> y);
        if (moreLeft != moreRight) {
            return false;
        }
        if (!moreLeft) {
            return true;
        }
        const bool timed = x.starts_with("wire=") && y.starts_with("wire=");
        if (!timed && x != y) {
            return false;
        }
        if (timed) {
            const long dx = std::strtol(x.c_str() + 5, nullptr, 10);
            const long dy = std::strtol(y.c_str() + 5, nullptr, 10);
            if (std::labs(dx - dy) > PROBE_TIME_TOLERANCE_US) {
                return false;
            }
        }
    }
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << "cannot read " << path;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// accepted-differences: blocks of "reason:" lines ended by a "sim:" line, the
// simulator's whole line for that step.
std::map<std::string, std::string> readAccepted(const std::string& path) {
    std::map<std::string, std::string> accepted;
    std::istringstream stream(readFile(path));
    bool reasoned = false;
    int number = 0;
    for (std::string line; std::getline(stream, line);) {
        ++number;
        if (line.starts_with("reason: ")) {
            reasoned = true;
        } else if (line.starts_with("sim: ")) {
            EXPECT_TRUE(reasoned) << path << ":" << number << ": a difference without a reason";
            const Line sim = parseLine(line.substr(5));
            accepted[sim.step] = sim.items;
            reasoned = false;
        }
    }
    return accepted;
}

// Every step of QEMU's output: the simulator's line equals it, or the step is
// an accepted difference, the simulator prints what was accepted, and QEMU
// still differs from it.
std::vector<std::string> compare(const std::string& qemuText, const std::string& simText,
                                 const std::map<std::string, std::string>& accepted) {
    std::vector<std::string> faults;
    const std::vector<Line> qemu = parseOutput(qemuText);
    const std::vector<Line> simLines = parseOutput(simText);
    if (qemu.size() != simLines.size()) {
        faults.push_back("QEMU printed " + std::to_string(qemu.size()) + " lines, the simulator " +
                         std::to_string(simLines.size()));
    }
    std::size_t matched = 0;
    for (std::size_t i = 0; i < qemu.size() && i < simLines.size(); ++i) {
        const Line& q = qemu[i];
        const Line& s = simLines[i];
        if (q.step != s.step) {
            faults.push_back("step " + std::to_string(i) + ": QEMU '" + q.step + "', simulator '" +
                             s.step + "'");
            continue;
        }
        const auto found = accepted.find(q.step);
        if (found == accepted.end()) {
            if (!itemsAlike(q.items, s.items)) {
                faults.push_back("new difference in '" + q.step + "': QEMU '" + q.items +
                                 "', simulator '" + s.items + "'");
            }
            continue;
        }
        ++matched;
        if (itemsAlike(q.items, s.items)) {
            faults.push_back("accepted difference gone in '" + q.step + "': both print '" +
                             q.items + "'");
        } else if (!itemsAlike(found->second, s.items)) {
            faults.push_back("'" + q.step + "': the simulator prints '" + s.items +
                             "', accepted was '" + found->second + "'");
        }
    }
    if (matched != accepted.size()) {
        faults.push_back("accepted-differences names steps the probe does not have");
    }
    return faults;
}

std::string joined(const std::vector<std::string>& faults) {
    std::string text;
    for (const std::string& fault : faults) {
        text += fault + "\n";
    }
    return text;
}

TEST(ProbeAgainstQemu, SimulatorDiffersOnlyAsAccepted) {
    const std::string sim = SimBench(sim::I8042Config{}).run();
    const auto faults = compare(readFile(kQemuDir + "probe.golden"), sim,
                                readAccepted(kQemuDir + "accepted-differences"));
    EXPECT_TRUE(faults.empty()) << joined(faults) << "simulator's output:\n" << sim;
}

// The i8042 settings where real i8042s differ, set as QEMU's behaves: the two
// differences they stand for go, and nothing else changes.
TEST(ProbeAgainstQemu, QemuVariantRemovesItsDifferences) {
    sim::I8042Config config;
    config.answerIrqWhileKeyboardOff = false;
    config.auxAfterKeyboardByte = true;
    const std::string sim = SimBench(config).run();
    auto accepted = readAccepted(kQemuDir + "accepted-differences");
    ASSERT_EQ(accepted.erase("0x20 answered with the keyboard off"), 1u);
    ASSERT_EQ(accepted.erase("key pressed while mouse bytes wait"), 1u);
    const auto faults = compare(readFile(kQemuDir + "probe.golden"), sim, accepted);
    EXPECT_TRUE(faults.empty()) << joined(faults) << "simulator's output:\n" << sim;
}

TEST(ProbeAgainstQemu, TimingFieldsComparedWithinTheirTolerance) {
    EXPECT_TRUE(itemsAlike("FA/s31 wire=10us", "FA/s31 wire=300us"));
    EXPECT_FALSE(itemsAlike("FA/s31 wire=10us", "FA/s31 wire=922us"));
    EXPECT_FALSE(itemsAlike("FA/s31 wire=10us", "FA/s31"));
}

}  // namespace
