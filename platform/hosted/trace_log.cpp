#include "platform/hosted/trace_log.hpp"

#include <cstdio>
#include <utility>

namespace hosted {

namespace {

constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

std::uint64_t fnv1a(std::uint64_t hash, const std::string& text) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= kFnvPrime;
    }
    return hash;
}

}  // namespace

std::string TraceLog::formatTime(Micros time) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llu.%06llu",
                  static_cast<unsigned long long>(time / 1'000'000),
                  static_cast<unsigned long long>(time % 1'000'000));
    return buffer;
}

std::string TraceLog::line(const TraceRecord& record) {
    std::string out = formatTime(record.time);
    out.append(" ").append(record.thread).append(" ").append(record.what).append("\n");
    return out;
}

void TraceLog::add(Micros time, const std::string& thread, std::string what) {
    TraceRecord record{time, thread, std::move(what)};
    hash_ = fnv1a(hash_, line(record));
    if (records_.size() < limit_) {
        records_.push_back(std::move(record));
    } else {
        ++dropped_;
    }
}

std::string TraceLog::text() const {
    std::string out;
    for (const TraceRecord& record : records_) {
        out += line(record);
    }
    if (dropped_ > 0) {
        char note[64];
        std::snprintf(note, sizeof note, "(%zu further lines not stored)\n", dropped_);
        out += note;
    }
    return out;
}

}  // namespace hosted
