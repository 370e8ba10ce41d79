#include "webkvd/calls/pending_call.hpp"

#include <cstring>
#include <new>

bool pending_call::store_result(std::string_view text) {
    const int len = static_cast<int>(text.size());
    if (result == nullptr) {
        result = inline_result;
        result_cap = inline_result_chars;
    }
    if (len > result_cap) {
        heap_result.reset();
        heap_result.reset(new (std::nothrow) char[text.size() + 1]);
        if (!heap_result) {
            result = nullptr;
            result_len = 0;
            result_cap = 0;
            return false;
        }
        result = heap_result.get();
        result_cap = len;
    }
    result_len = len;
    if (!text.empty()) std::memcpy(result, text.data(), text.size());
    result[len] = '\0';
    return true;
}

void pending_queue::push_back(std::unique_ptr<pending_call> call) {
    pending_call* raw = call.get();
    if (tail_ == nullptr)
        head_ = std::move(call);
    else
        tail_->next = std::move(call);
    tail_ = raw;
}

std::unique_ptr<pending_call> pending_queue::pop_front() {
    std::unique_ptr<pending_call> first = std::move(head_);
    if (first) {
        head_ = std::move(first->next);
        if (!head_) tail_ = nullptr;
    }
    return first;
}

void pending_queue::clear() {
    while (head_) head_ = std::move(head_->next);
    tail_ = nullptr;
}
