#include "platform/hosted/handle_table.hpp"

#include <utility>

namespace hosted {

std::optional<HandleId> HandleTable::add(std::shared_ptr<Object> object) {
    std::uint32_t index = 0;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else if (slots_.size() < kMaxSlots) {
        index = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    } else {
        return std::nullopt;
    }
    slots_[index].object = std::move(object);
    ++open_;
    return HandleId{index + 1, slots_[index].generation};
}

std::shared_ptr<Object> HandleTable::find(HandleId id) const {
    if (id.slot == 0 || id.slot > slots_.size()) {
        return nullptr;
    }
    const Slot& slot = slots_[id.slot - 1];
    if (slot.generation != id.generation) {
        return nullptr;
    }
    return slot.object;
}

bool HandleTable::remove(HandleId id) {
    if (!find(id)) {
        return false;
    }
    Slot& slot = slots_[id.slot - 1];
    slot.object.reset();
    --open_;
    // A slot whose generations are used up is retired, so that no stale
    // handle value can ever name a new object.
    if (slot.generation < kMaxGeneration) {
        ++slot.generation;
        free_.push_back(id.slot - 1);
    } else {
        slot.generation = 0;
    }
    return true;
}

void* HandleTable::toHandle(HandleId id) {
    const std::uintptr_t value = (static_cast<std::uintptr_t>(id.generation) << 16) | id.slot;
    return reinterpret_cast<void*>(value);
}

HandleId HandleTable::fromHandle(const void* handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if ((value >> 16) > kMaxGeneration) {
        return HandleId{};
    }
    return HandleId{static_cast<std::uint32_t>(value & 0xFFFF),
                    static_cast<std::uint32_t>(value >> 16)};
}

}  // namespace hosted
