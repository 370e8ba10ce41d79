// Pending script calls: the id table, expiry, delivery and the two routes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/fake_connection.hpp"
#include "webkvd/calls/call_id.hpp"
#include "webkvd/calls/pending.hpp"
#include "webkvd/calls/pending_table.hpp"

namespace {

std::time_t fake_now = 0;
std::time_t fake_clock() { return fake_now; }

// What a connection receives for one chunk followed by the last chunk.
std::string chunk(const std::string& text) {
    char head[16];
    std::snprintf(head, sizeof head, "%zx\r\n", text.size());
    return head + text + "\r\n";
}
const std::string last_chunk = "0\r\n\r\n";
const std::string timed_out = chunk("{ \"result\": -6 }") + last_chunk;
const std::string rendezvous_head =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: application/json\r\n\r\n";

net::http_message request(std::string_view uri, std::string_view body = {}) {
    net::http_message m;
    m.method = "POST";
    m.target = uri;
    m.uri = uri;
    m.body = body;
    return m;
}

class Pending : public ::testing::Test {
protected:
    void SetUp() override {
        fake_now = 1000;
        pending_set_clock(fake_clock);
        pending_init();
    }
    void TearDown() override {
        pending_init();
        pending_set_clock(nullptr);
    }

    // Posts body to uri as a script would; returns what the poster got.
    std::string post(std::string_view uri, std::string_view body) {
        fake_connection poster;
        client_state cs;
        cs.client.conn = &poster;
        resp_request(cs, request(uri, body));
        EXPECT_TRUE(poster.after_send);
        EXPECT_EQ(cs.client.conn, nullptr);
        return poster.out;
    }
    std::string fetch(std::string_view uri, bool* closed = nullptr) {
        fake_connection fetcher;
        client_state cs;
        cs.client.conn = &fetcher;
        result_request(cs, request(uri));
        if (closed) *closed = fetcher.after_send;
        return fetcher.out;
    }
    static std::string resp_reply(int code) {
        return rendezvous_head + chunk("{\"result\":" + std::to_string(code) + "}\n") + last_chunk;
    }
};

TEST(PendingTable, AgreesWithAReferenceMapUnderChurn) {
    // Few distinct keys and many operations: long probe runs, wrap-around and
    // backward shifts on erase all happen.
    pending_table table;
    std::unordered_map<std::uint64_t, pending_call*> ref;
    std::mt19937_64 rng(7);
    std::vector<pending_call> calls(4);
    for (int step = 0; step < 200000; ++step) {
        const std::uint64_t key = rng() % 300;
        const int op = static_cast<int>(rng() % 3);
        if (op == 0) {
            pending_call* v = &calls[rng() % calls.size()];
            ASSERT_TRUE(table.put(key, v));
            ref[key] = v;
        } else if (op == 1) {
            table.erase(key);
            ref.erase(key);
        } else {
            auto it = ref.find(key);
            ASSERT_EQ(table.find(key), it == ref.end() ? nullptr : it->second) << "step " << step;
        }
        ASSERT_EQ(table.size(), ref.size());
    }
    for (const auto& [k, v] : ref) ASSERT_EQ(table.find(k), v);
}

TEST(CallId, ReadsLikeStrtol) {
    struct {
        const char* text;
        std::int32_t id;
    } cases[] = {
        {"42", 42}, {"", 0}, {"abc", 0}, {"12.5", 12}, {"1e3", 1}, {"-7", -7},
        {"+9", 9}, {" 8", 8}, {"12345678", 12345678}, {"00000017", 17}, {"7x", 7},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_call_id(c.text), c.id) << c.text;
}

TEST_F(Pending, SweepAnswersExpiredCallsOnlyAndAtMostEveryThreeSeconds) {
    fake_connection a, b, c;
    pending_add(&a, 1);  // due 1025
    pending_sweep();     // the first sweep runs; nothing is due
    fake_now = 1002;
    pending_add(&b, 2);  // due 1027
    fake_now = 1004;
    pending_add(&c, 3);  // due 1029

    fake_now = 1025;  // a's deadline reached but not passed
    pending_sweep();
    EXPECT_EQ(a.out, "");
    EXPECT_NE(pending_find(1), nullptr);

    fake_now = 1027;  // a is overdue, but the last sweep was 2 seconds ago
    pending_sweep();
    EXPECT_EQ(a.out, "");
    EXPECT_NE(pending_find(1), nullptr);

    fake_now = 1028;
    pending_sweep();
    EXPECT_EQ(a.out, timed_out);
    EXPECT_TRUE(a.after_send);
    EXPECT_EQ(b.out, timed_out);
    EXPECT_EQ(pending_find(1), nullptr);
    EXPECT_EQ(pending_find(2), nullptr);
    EXPECT_EQ(c.out, "");  // stops at the first call not yet due
    EXPECT_NE(pending_find(3), nullptr);

    fake_now = 1031;
    pending_sweep();
    EXPECT_EQ(c.out, timed_out);
}

TEST_F(Pending, SweepRemovesManyCallsInOneGo) {
    std::vector<fake_connection> waiters(10000);
    for (std::size_t i = 0; i < waiters.size(); ++i) pending_add(&waiters[i], static_cast<std::int32_t>(i + 1));
    fake_connection late;
    fake_now = 1010;
    pending_add(&late, 99999);
    fake_now = 1026;
    pending_sweep();
    for (const auto& w : waiters) ASSERT_EQ(w.out, timed_out);
    EXPECT_EQ(pending_find(1), nullptr);
    EXPECT_NE(pending_find(99999), nullptr);
    EXPECT_EQ(late.out, "");
}

TEST_F(Pending, PostedResultAnswersTheWaiterOnceAndStaysFetchable) {
    fake_connection browser;
    pending_add(&browser, 77);

    bool closed = false;
    EXPECT_EQ(fetch("/_result/77", &closed), rendezvous_head + chunk("-1") + last_chunk);  // no result yet
    EXPECT_TRUE(closed);
    EXPECT_EQ(browser.out, "");  // a fetch does not answer the waiter

    EXPECT_EQ(post("/_resp/77", "done 1"), resp_reply(0));
    EXPECT_EQ(browser.out, chunk("{\"result\": \"done 1\"}") + last_chunk);
    EXPECT_TRUE(browser.after_send);

    // A second post only replaces the stored text.
    EXPECT_EQ(post("/_resp/77", "done 2"), resp_reply(0));
    EXPECT_EQ(browser.out, chunk("{\"result\": \"done 1\"}") + last_chunk);
    EXPECT_EQ(fetch("/_result/77"), rendezvous_head + chunk("{\"result\": \"done 2\"}") + last_chunk);
    EXPECT_NE(pending_find(77), nullptr);
}

TEST_F(Pending, RespUriRules) {
    fake_connection w1, w0;
    pending_add(&w1, 12345678);
    pending_add(&w0, 0);
    struct {
        const char* uri;
        int code;
    } cases[] = {
        {"/_resp/12345678", 0},    // 8 id characters: accepted
        {"/_resp/123456789", -5},  // 9: refused before any lookup
        {"/_resp/4", -1},          // no such call
        {"/_resp/", 0},            // reads id 0, which exists
        {"/_resp/abc", 0},         // also id 0
    };
    for (const auto& c : cases) EXPECT_EQ(post(c.uri, "r"), resp_reply(c.code)) << c.uri;
    EXPECT_EQ(w1.out, chunk("{\"result\": \"r\"}") + last_chunk);
    EXPECT_EQ(w0.out, "");  // id 0 is stored but never delivered to a waiter
    EXPECT_EQ(fetch("/_result/0"), rendezvous_head + chunk("{\"result\": \"r\"}") + last_chunk);
}

TEST_F(Pending, ResultUriRules) {
    pending_add(nullptr, 12345678);
    post("/_resp/12345678", "x");
    EXPECT_EQ(fetch("/_result/12345678"), rendezvous_head + chunk("{\"result\": \"x\"}") + last_chunk);
    bool closed = false;
    EXPECT_EQ(fetch("/_result/123456789", &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(fetch("/_result/5"), rendezvous_head + chunk("-1") + last_chunk);
}

TEST_F(Pending, ResultsUpTo4095CharactersStayInTheRecord) {
    pending_call* call = pending_add(nullptr, 5);
    post("/_resp/5", std::string(4095, 'a'));
    EXPECT_EQ(call->result, call->inline_result);
    EXPECT_EQ(call->result_len, 4095);

    post("/_resp/5", std::string(4096, 'b'));
    EXPECT_NE(call->result, call->inline_result);
    EXPECT_EQ(call->result_cap, 4096);
    EXPECT_EQ(std::string(call->result), std::string(4096, 'b'));

    post("/_resp/5", "short");  // fits the heap block: kept
    EXPECT_EQ(call->result_cap, 4096);
    EXPECT_EQ(fetch("/_result/5"), rendezvous_head + chunk("{\"result\": \"short\"}") + last_chunk);

    post("/_resp/5", "");  // an empty post stores the empty text
    EXPECT_EQ(fetch("/_result/5"), rendezvous_head + chunk("{\"result\": \"\"}") + last_chunk);
}

TEST_F(Pending, ResultTextEndsAtItsFirstZeroByte) {
    fake_connection browser;
    pending_add(&browser, 3);
    post("/_resp/3", std::string("ab\0cd", 5));
    EXPECT_EQ(browser.out, chunk("{\"result\": \"ab\"}") + last_chunk);
}

TEST_F(Pending, AClosedWaiterIsNeverWrittenTo) {
    // Ids of 0, a repeated id, and two calls on one connection: every call of
    // the closing connection lets it go.
    fake_connection closing, other;
    pending_add(&closing, 0);
    pending_add(&closing, 8);
    pending_add(&other, 8);  // takes id 8 over
    pending_add(&closing, 9);
    pending_detach_conn(&closing);

    post("/_resp/9", "late");  // stored, nobody to answer
    EXPECT_EQ(fetch("/_result/9"), rendezvous_head + chunk("{\"result\": \"late\"}") + last_chunk);
    fake_now = 1026;
    pending_sweep();
    EXPECT_EQ(closing.out, "");
    EXPECT_EQ(other.out, timed_out);
}

TEST_F(Pending, DetachByIdLeavesTheCallUntilItsDeadline) {
    fake_connection browser, other;
    pending_add(&other, 22);
    browser.now = true;  // closing
    pending_add(&browser, 21);
    pending_detach(21);
    pending_detach(22);  // its waiter is open: it still waits
    EXPECT_EQ(post("/_resp/22", "for other"), resp_reply(0));
    EXPECT_EQ(other.out, chunk("{\"result\": \"for other\"}") + last_chunk);
    EXPECT_EQ(post("/_resp/21", "kept"), resp_reply(0));
    EXPECT_EQ(browser.out, "");
    pending_detach_conn(&browser);  // nothing left to clear
    fake_now = 1026;
    pending_sweep();
    EXPECT_EQ(browser.out, "");
    EXPECT_EQ(pending_find(21), nullptr);
}

TEST_F(Pending, ExpiryOfAnEarlierCallKeepsTheLaterCallWithItsId) {
    fake_connection first, second;
    pending_add(&first, 4);
    fake_now = 1010;
    pending_add(&second, 4);
    fake_now = 1026;
    pending_sweep();
    EXPECT_EQ(first.out, timed_out);
    // The later call still owns id 4: its result reaches its browser.
    EXPECT_EQ(post("/_resp/4", "ok"), resp_reply(0));
    EXPECT_EQ(second.out, chunk("{\"result\": \"ok\"}") + last_chunk);
}

}  // namespace
