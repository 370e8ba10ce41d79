// A map from a 64-bit key to a pending_call, for finding calls by id and by
// waiting connection.  Open addressing with linear probing; it grows by
// doubling and reports a failed growth instead of throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct pending_call;

class pending_table {
public:
    pending_table() = default;
    pending_table(const pending_table&) = delete;
    pending_table& operator=(const pending_table&) = delete;

    pending_call* find(std::uint64_t key) const;
    // Enters or replaces the entry for key (value must not be null).
    // Returns false, changing nothing, when the table cannot grow.
    bool put(std::uint64_t key, pending_call* value);
    void erase(std::uint64_t key);
    void clear();
    std::size_t size() const { return count_; }

private:
    struct slot {
        std::uint64_t key;
        pending_call* value;  // null: free slot
    };

    std::size_t home(std::uint64_t key) const;
    bool grow();

    std::unique_ptr<slot[]> slots_;
    std::size_t capacity_ = 0;  // 0 or a power of two
    std::size_t count_ = 0;
};
