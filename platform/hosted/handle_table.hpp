// The kernel's handle table: slots with generation counts, so that a HANDLE
// value is never 0, never collides with HKEY_LOCAL_MACHINE, and a stale value
// (a closed handle) never names the object that later reuses its slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace hosted {

struct Object;

// A slot index (1-based) and the generation it had when the handle was made.
struct HandleId {
    std::uint32_t slot = 0;
    std::uint32_t generation = 0;
    bool operator==(const HandleId&) const = default;
};

class HandleTable {
  public:
    // Slot numbers take the low 16 bits of a handle value and generations the
    // next 15, so every value stays below 0x80000000 (the predefined registry
    // keys live above it) and fits a 32-bit pointer.
    static constexpr std::uint32_t kMaxSlots = 0xFFFF;
    static constexpr std::uint32_t kMaxGeneration = 0x7FFF;

    // A new handle for the object; nullopt when the table is full.
    std::optional<HandleId> add(std::shared_ptr<Object> object);
    // The object a handle names, or null for a closed or unknown handle.
    std::shared_ptr<Object> find(HandleId id) const;
    // Closes a handle; false when it was not open.
    bool remove(HandleId id);
    std::size_t size() const { return open_; }

    // Every open handle and its object, in slot order.
    template <class Visit>
    void forEach(Visit visit) const {
        for (std::uint32_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].object) {
                visit(HandleId{i + 1, slots_[i].generation}, slots_[i].object);
            }
        }
    }

    static void* toHandle(HandleId id);
    static HandleId fromHandle(const void* handle);

  private:
    struct Slot {
        std::uint32_t generation = 1;
        std::shared_ptr<Object> object;
    };
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_;  // 0-based indices of reusable slots
    std::size_t open_ = 0;
};

}  // namespace hosted
