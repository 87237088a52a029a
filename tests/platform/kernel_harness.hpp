// Helpers shared by the hosted kernel's tests: a log that kernel threads
// append to (only the baton holder runs, so no locking is needed) and thread
// routines built from capture-less lambdas.
#pragma once

#include <string>
#include <vector>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"

namespace kernel_test {

// What a test's threads record, in the order they ran, with the virtual time.
struct Step {
    hosted::Micros time;
    std::string what;
    bool operator==(const Step&) const = default;
};

struct Log {
    std::vector<Step> steps;
    void add(const std::string& what) {
        steps.push_back(Step{hosted::Kernel::current()->now(), what});
    }
    std::vector<std::string> whats() const {
        std::vector<std::string> out;
        for (const Step& s : steps) {
            out.push_back(s.what);
        }
        return out;
    }
};

// A thread routine's argument: the shared log, the object it works on and a name.
struct Job {
    Log* log;
    HANDLE object;
    std::string name;
    DWORD milliseconds = INFINITE;
};

// A thread routine that logs its job's name once.
inline DWORD logOnce(LPVOID arg) {
    auto& job = *static_cast<Job*>(arg);
    job.log->add(job.name);
    return 0;
}

inline HANDLE startThread(LPTHREAD_START_ROUTINE routine, Job& job, int priority = -1) {
    HANDLE thread = CreateThread(nullptr, 0, routine, &job, 0, nullptr);
    if (thread != nullptr && priority >= 0) {
        CeSetThreadPriority(thread, priority);
    }
    return thread;
}

}  // namespace kernel_test
