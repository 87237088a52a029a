// The driver on the simulated board for the driver and sampling tests: a
// fresh library per test, and at the end a disable after which the kernel
// must have caught no misuse and no driver thread may be left.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "windowing/session.hpp"

namespace touch_test {

inline constexpr const char* kTouchKey = "HARDWARE\\DEVICEMAP\\TOUCH";
inline constexpr DWORD kSysIntr = sim::MachineConfig::kDefaultSysIntr;

// .reg text setting 32-bit values under one key.
inline std::string regDwords(const std::string& key,
                             const std::vector<std::pair<std::string, DWORD>>& values) {
    std::string text = "[HKEY_LOCAL_MACHINE\\" + key + "]\n";
    for (const auto& [name, value] : values) {
        char number[16];
        std::snprintf(number, sizeof number, "%08x", value);
        text += "\"" + name + "\"=dword:" + number + "\n";
    }
    return text;
}

inline std::vector<DWORD> flagsOf(const std::vector<windowing::Sample>& samples) {
    std::vector<DWORD> flags;
    for (const windowing::Sample& sample : samples) {
        flags.push_back(sample.flags);
    }
    return flags;
}

// The trace lines of one kernel thread that contain `text`.
inline std::vector<std::string> traceOf(const windowing::Session& session,
                                        const std::string& thread, const std::string& text) {
    std::vector<std::string> lines;
    for (const hosted::TraceRecord& record : session.trace()) {
        if ((thread.empty() || record.thread == thread) &&
            record.what.find(text) != std::string::npos) {
            lines.push_back(record.what);
        }
    }
    return lines;
}

// The kernel name of the sample thread of the latest successful enable: the
// thread created right after the controller's interrupt was bound.
inline std::string sampleThreadName(const windowing::Session& session) {
    std::string name;
    bool bound = false;
    for (const hosted::TraceRecord& record : session.trace()) {
        if (record.what.rfind("binds interrupt", 0) == 0) {
            bound = true;
        } else if (bound && record.what.rfind("creates thread", 0) == 0) {
            name = record.what.substr(8, record.what.find(' ', 8) - 8);
            bound = false;
        }
    }
    return name;
}

class DriverSession : public testing::Test {
  protected:
    windowing::Session& start(windowing::SessionConfig config = {}) {
        // No test here runs for minutes of virtual time; a driver that spins
        // is reported as a livelock long before the kernel's own cap.
        config.kernel.timeLimit = 600ull * 1'000'000;
        session.reset();
        session = std::make_unique<windowing::Session>(std::move(config));
        session->load();
        return *session;
    }
    windowing::Session& enabled(windowing::SessionConfig config = {}) {
        start(std::move(config));
        EXPECT_EQ(session->enable(), TRUE);
        return *session;
    }
    void TearDown() override {
        if (!session) {
            return;
        }
        session->disable();
        for (const hosted::KernelFault& fault : session->faults()) {
            ADD_FAILURE() << "kernel fault at " << fault.time << " us in " << fault.thread << ": "
                          << fault.what;
        }
        EXPECT_EQ(session->kernel().liveThreadCount(), 1u) << session->kernel().threadReport();
    }

    std::unique_ptr<windowing::Session> session;
};

}  // namespace touch_test
