// One started script call awaiting its result, and the FIFO that owns them.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>

#include "webkvd/net/connection.hpp"

// Results up to this many characters live in the record itself.
inline constexpr int inline_result_chars = 4095;
// Seconds from a call's start until it is answered with the time-out code.
inline constexpr std::time_t call_lifetime_s = 25;

struct pending_call {
    std::unique_ptr<pending_call> next;    // next call in the queue (owned)
    net::connection* waiter = nullptr;     // browser awaiting the result; null once answered or closed
    std::int32_t id = 0;
    char* result = nullptr;                // terminated text, inline_result or heap; null until posted
    int result_len = 0;
    int result_cap = 0;                    // 0, inline_result_chars, or heap block size - 1
    std::time_t deadline = 0;
    // Other calls of the same waiter, so a closing connection finds all of its calls.
    pending_call* waiter_prev = nullptr;
    pending_call* waiter_next = nullptr;
    std::unique_ptr<char[]> heap_result;   // owns result when it is not inline_result
    char inline_result[inline_result_chars + 1];

    // Replaces the stored result with text.  Returns false when a larger
    // block cannot be allocated; the call then has no result at all.
    bool store_result(std::string_view text);
};

// Calls in order of creation, which is also deadline order.
class pending_queue {
public:
    pending_queue() = default;
    pending_queue(const pending_queue&) = delete;
    pending_queue& operator=(const pending_queue&) = delete;
    ~pending_queue() { clear(); }

    void push_back(std::unique_ptr<pending_call> call);
    std::unique_ptr<pending_call> pop_front();
    pending_call* front() const { return head_.get(); }
    bool empty() const { return head_ == nullptr; }
    // Frees every call, iteratively (a long chain must not recurse).
    void clear();

private:
    std::unique_ptr<pending_call> head_;
    pending_call* tail_ = nullptr;
};
