#include "webkvd/calls/pending.hpp"

#include <cstdint>
#include <new>

#include "webkvd/calls/pending_table.hpp"

namespace {

std::time_t monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

struct pending_state {
    pending_queue queue;
    pending_table by_id;      // id -> the latest call with that id
    pending_table by_waiter;  // connection -> first of its waiting calls
    std::time_t last_sweep = 0;
    bool swept_once = false;
    std::time_t (*now)() = monotonic_seconds;
};

pending_state& state() {
    static pending_state s;
    return s;
}

std::uint64_t id_key(std::int32_t id) { return static_cast<std::uint32_t>(id); }

std::uint64_t conn_key(const net::connection* c) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(c));
}

// Enters call into its waiter's list.  False when the index cannot grow.
bool waiter_link(pending_call* call, net::connection* c) {
    pending_state& s = state();
    pending_call* first = s.by_waiter.find(conn_key(c));
    if (first == nullptr) {
        if (!s.by_waiter.put(conn_key(c), call)) return false;
    } else {
        // Insert second, so the index entry stays as it is.
        call->waiter_next = first->waiter_next;
        call->waiter_prev = first;
        if (first->waiter_next) first->waiter_next->waiter_prev = call;
        first->waiter_next = call;
    }
    call->waiter = c;
    return true;
}

// The call no longer has a waiter.
void waiter_unlink(pending_call* call) {
    if (call->waiter == nullptr) return;
    pending_state& s = state();
    if (call->waiter_prev == nullptr) {
        // First of its waiter's list: the index names it.
        if (call->waiter_next) {
            call->waiter_next->waiter_prev = nullptr;
            s.by_waiter.put(conn_key(call->waiter), call->waiter_next);  // replaces; never grows
        } else {
            s.by_waiter.erase(conn_key(call->waiter));
        }
    } else {
        call->waiter_prev->waiter_next = call->waiter_next;
        if (call->waiter_next) call->waiter_next->waiter_prev = call->waiter_prev;
    }
    call->waiter_prev = nullptr;
    call->waiter_next = nullptr;
    call->waiter = nullptr;
}

// Lets go of the waiter, returning it so that its reply can be finished.
net::connection* take_waiter(pending_call* call) {
    net::connection* c = call->waiter;
    waiter_unlink(call);
    return c;
}

void finish_reply(net::connection* c) {
    c->send_last_chunk();
    c->close_after_send();
}

}  // namespace

void pending_init() {
    pending_state& s = state();
    s.queue.clear();
    s.by_id.clear();
    s.by_waiter.clear();
    s.last_sweep = 0;
    s.swept_once = false;
}

void pending_set_clock(std::time_t (*now)()) { state().now = now != nullptr ? now : monotonic_seconds; }

pending_call* pending_add(net::connection* waiter, std::int32_t id) {
    pending_state& s = state();
    std::unique_ptr<pending_call> call(new (std::nothrow) pending_call);
    if (!call) return nullptr;
    call->id = id;
    call->deadline = s.now() + call_lifetime_s;
    if (waiter != nullptr && !waiter_link(call.get(), waiter)) return nullptr;
    if (!s.by_id.put(id_key(id), call.get())) {
        waiter_unlink(call.get());
        return nullptr;
    }
    pending_call* raw = call.get();
    s.queue.push_back(std::move(call));
    return raw;
}

void pending_sweep() {
    pending_state& s = state();
    const std::time_t now = s.now();
    // The first sweep always runs, whatever the clock reads.
    if (s.swept_once && now - s.last_sweep < sweep_interval_s) return;
    s.swept_once = true;
    s.last_sweep = now;
    while (!s.queue.empty() && now > s.queue.front()->deadline) {
        std::unique_ptr<pending_call> call = s.queue.pop_front();
        // A later call may have taken the id over; its entry stays.
        if (s.by_id.find(id_key(call->id)) == call.get()) s.by_id.erase(id_key(call->id));
        if (net::connection* c = take_waiter(call.get())) {
            c->printf_chunk(call_code_chunk, call_timed_out);
            finish_reply(c);
        }
    }
}

pending_call* pending_find(std::int32_t id) { return state().by_id.find(id_key(id)); }

int pending_deliver(std::int32_t id, net::connection* fetcher) {
    pending_call* call = state().by_id.find(id_key(id));
    if (call == nullptr || call->result == nullptr) return -1;
    if (fetcher != nullptr) {
        fetcher->printf_chunk(call_result_chunk, call->result);
        return 0;
    }
    if (net::connection* c = take_waiter(call)) {
        c->printf_chunk(call_result_chunk, call->result);
        finish_reply(c);
    }
    return 0;
}

void pending_detach(std::int32_t id) {
    pending_call* call = state().by_id.find(id_key(id));
    // Called for a closing connection's call id.  When a later call on
    // another, open connection has taken the id, that browser still waits.
    if (call != nullptr && call->waiter != nullptr && call->waiter->closing()) waiter_unlink(call);
}

void pending_detach_conn(net::connection* c) {
    if (c == nullptr) return;
    pending_state& s = state();
    while (pending_call* call = s.by_waiter.find(conn_key(c))) waiter_unlink(call);
}
