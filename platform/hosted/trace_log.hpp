// The kernel's trace: one line per kernel event with its virtual time and
// thread, and a running FNV-1a hash over the text so that two runs can be
// compared cheaply.  Lines past the storage limit still count in the hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/hosted/kernel.hpp"

namespace hosted {

class TraceLog {
  public:
    explicit TraceLog(std::size_t storageLimit) : limit_(storageLimit) {}

    void add(Micros time, const std::string& thread, std::string what);

    const std::vector<TraceRecord>& records() const { return records_; }
    std::uint64_t hash() const { return hash_; }
    std::size_t dropped() const { return dropped_; }
    // The text the hash covers: every stored line, then a note of the lines
    // that were hashed but not stored.
    std::string text() const;

    static std::string formatTime(Micros time);
    static std::string line(const TraceRecord& record);

  private:
    std::size_t limit_;
    std::vector<TraceRecord> records_;
    std::uint64_t hash_ = 0xcbf29ce484222325ull;  // FNV-1a offset basis
    std::size_t dropped_ = 0;
};

}  // namespace hosted
