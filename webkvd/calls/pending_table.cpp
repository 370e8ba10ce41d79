#include "webkvd/calls/pending_table.hpp"

#include <new>

namespace {

constexpr std::size_t first_capacity = 64;
// Grow before the table is more than half full, so probe runs stay short.
constexpr std::size_t max_load_divisor = 2;

// A 64-bit finaliser mix: ids chosen by browsers and connection addresses
// both cluster, so spread them over the whole table.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace

std::size_t pending_table::home(std::uint64_t key) const {
    return static_cast<std::size_t>(mix(key)) & (capacity_ - 1);
}

pending_call* pending_table::find(std::uint64_t key) const {
    if (count_ == 0) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & (capacity_ - 1)) {
        const slot& s = slots_[i];
        if (s.value == nullptr) return nullptr;
        if (s.key == key) return s.value;
    }
}

bool pending_table::grow() {
    const std::size_t new_capacity = capacity_ == 0 ? first_capacity : capacity_ * 2;
    std::unique_ptr<slot[]> fresh(new (std::nothrow) slot[new_capacity]);
    if (!fresh) return false;
    for (std::size_t i = 0; i < new_capacity; ++i) fresh[i] = slot{0, nullptr};
    std::unique_ptr<slot[]> old = std::move(slots_);
    const std::size_t old_capacity = capacity_;
    slots_ = std::move(fresh);
    capacity_ = new_capacity;
    for (std::size_t i = 0; i < old_capacity; ++i) {
        if (old[i].value == nullptr) continue;
        std::size_t j = home(old[i].key);
        while (slots_[j].value != nullptr) j = (j + 1) & (capacity_ - 1);
        slots_[j] = old[i];
    }
    return true;
}

bool pending_table::put(std::uint64_t key, pending_call* value) {
    if (capacity_ != 0) {
        for (std::size_t i = home(key);; i = (i + 1) & (capacity_ - 1)) {
            if (slots_[i].value == nullptr) break;
            if (slots_[i].key == key) {
                slots_[i].value = value;
                return true;
            }
        }
    }
    if ((count_ + 1) * max_load_divisor > capacity_ && !grow()) return false;
    std::size_t i = home(key);
    while (slots_[i].value != nullptr) i = (i + 1) & (capacity_ - 1);
    slots_[i] = slot{key, value};
    ++count_;
    return true;
}

void pending_table::erase(std::uint64_t key) {
    if (count_ == 0) return;
    std::size_t i = home(key);
    for (;; i = (i + 1) & (capacity_ - 1)) {
        if (slots_[i].value == nullptr) return;
        if (slots_[i].key == key) break;
    }
    // Backward-shift deletion: move later entries of the probe run into the
    // hole when their home lies at or before it, so no tombstones are needed.
    std::size_t hole = i;
    for (std::size_t j = (hole + 1) & (capacity_ - 1); slots_[j].value != nullptr; j = (j + 1) & (capacity_ - 1)) {
        const std::size_t h = home(slots_[j].key);
        // Distance from each entry's home, walking forward around the ring.
        const std::size_t dist_j = (j - h) & (capacity_ - 1);
        const std::size_t dist_hole = (j - hole) & (capacity_ - 1);
        if (dist_j >= dist_hole) {
            slots_[hole] = slots_[j];
            hole = j;
        }
    }
    slots_[hole] = slot{0, nullptr};
    --count_;
}

void pending_table::clear() {
    slots_.reset();
    capacity_ = 0;
    count_ = 0;
}
