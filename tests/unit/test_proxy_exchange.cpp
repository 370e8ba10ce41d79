// One proxied exchange driven event by event: a browser and a parked backend
// link on recording fake connections, so the exact bytes, the flow control
// and the hand-over of the link can be checked.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "support/fake_connection.hpp"
#include "webkvd/backend/attach.hpp"
#include "webkvd/backend/pool.hpp"
#include "webkvd/main/config.hpp"
#include "webkvd/proxy/head.hpp"
#include "webkvd/proxy/proxy.hpp"
#include "webkvd/router/router.hpp"
#include "webkvd/server/server.hpp"

namespace {

constexpr const char* error_reply = "HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// A fake whose output queue length the test sets.
struct queue_fake : fake_connection {
    std::size_t backlog = 0;
    std::size_t queued() const override { return backlog; }
};

net::http_message request(std::string_view method, std::string_view uri, std::vector<net::http_header> headers,
                          std::string_view query = {}) {
    net::http_message m;
    m.method = method;
    m.uri = uri;
    m.query = query;
    m.has_query = !query.empty();
    m.proto = "HTTP/1.1";
    m.headers = std::move(headers);
    if (const net::http_header* h = m.header("Content-Length")) m.content_length = std::stoll(std::string(h->value));
    if (const net::http_header* h = m.header("Transfer-Encoding")) m.chunked = net::iequals(h->value, "chunked");
    return m;
}

net::http_message reply(int code, std::string_view reason, std::vector<net::http_header> headers) {
    net::http_message m = request({}, {}, std::move(headers));
    m.is_request = false;
    m.resp_code = code;
    m.resp_status_msg = reason;
    return m;
}

class Exchange : public ::testing::Test {
protected:
    queue_fake browser;
    queue_fake backend;
    client_state cs;
    backend_route* route = nullptr;
    backend_link* parked = nullptr;
    std::FILE* log = nullptr;
    std::FILE* saved_log = nullptr;

    void SetUp() override {
        backend_clear_routes();
        backend_add_route("/app/", "/v2/", "backend.test:8080");
        route = &backend_route_at(0);
        park_backend();
        cs.client.conn = &browser;
        log = std::tmpfile();
        saved_log = log_stream;
        log_stream = log;
    }

    void TearDown() override {
        close_backend();
        log_stream = saved_log;
        std::fclose(log);
        backend_clear_routes();
    }

    void park_backend() {
        parked = new backend_link{};
        parked->route = route;
        parked->conn = &backend;
        bind_to_pool(parked);
        park_link(parked);
    }

    // The close event the event loop would deliver to the backend connection.
    void close_backend() {
        if (cs.backend.conn == &backend) {
            cs.client.conn = nullptr;
            backend_closed_step(cs);
        } else if (backend.handler == idle_link_handler && backend.user_data) {
            backend.handler(backend, net::EV_CLOSE, nullptr);
        }
    }

    // A new browser connection, and a parked link again if the last one closed.
    void next_exchange() {
        if (backend.now) {
            close_backend();
            backend = queue_fake{};
            park_backend();
        }
        browser = queue_fake{};
        cs = client_state{};
        cs.client.conn = &browser;
    }

    std::string logged() {
        std::string out(4096, '\0');
        std::rewind(log);
        out.resize(std::fread(out.data(), 1, out.size(), log));
        return out;
    }

    void from_backend(int ev, void* data) { proxy_event(cs, backend, ev, data); }
    void from_browser(int ev, void* data) { proxy_event(cs, browser, ev, data); }
    void backend_piece(std::string_view piece) { from_backend(net::EV_HTTP_BODY, &piece); }
    void browser_piece(std::string_view piece) { from_browser(net::EV_HTTP_BODY, &piece); }

    void get(std::string_view uri = "/app/x", std::vector<net::http_header> headers = {{"Content-Length", "0"}}) {
        net::http_message m = request("GET", uri, std::move(headers));
        proxy_request(cs, m);
        from_browser(net::EV_HTTP_END, &m);
    }

    void answer(std::vector<net::http_header> headers, std::string_view body) {
        net::http_message m = reply(200, "OK", std::move(headers));
        from_backend(net::EV_HTTP_HEAD, &m);
        if (!body.empty()) backend_piece(body);
        from_backend(net::EV_HTTP_END, &m);
    }

    bool parked_again() const { return route->idle_count == 1 && route->idle_head == parked; }
};

TEST_F(Exchange, KeptAliveExchangeRelaysBothHeadsAndParksTheLink) {
    net::http_message m = request("POST", "/app/items", {{"Host", "h"}, {"Connection", "keep-alive"},
                                                         {"Content-Length", "3"}}, "a=1");
    proxy_request(cs, m);
    EXPECT_TRUE(browser.streamed);
    EXPECT_TRUE(browser.held);
    EXPECT_EQ(backend.handler, plain_event_handler);
    EXPECT_EQ(backend.user_data, &cs);
    EXPECT_EQ(backend.out, "POST /v2/items?a=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nConnection: keep-alive\r\n\r\n");
    browser_piece("abc");
    from_browser(net::EV_HTTP_END, &m);
    EXPECT_TRUE(backend.out.ends_with("\r\n\r\nabc"));

    answer({{"Content-Length", "2"}, {"Server", "s"}}, "ok");
    EXPECT_EQ(browser.out, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nServer: s\r\nConnection: keep-alive\r\n\r\nok");
    EXPECT_FALSE(browser.held);
    EXPECT_FALSE(browser.after_send);
    EXPECT_TRUE(parked_again());
    EXPECT_EQ(backend.handler, idle_link_handler);
    EXPECT_EQ(cs.link, nullptr);
    EXPECT_EQ(cs.backend.conn, nullptr);
    EXPECT_EQ(cs.backend.body_len, -1);
}

TEST_F(Exchange, BrowserOnHttpsGetsTheTlsHandlerVariant) {
    cs.is_https = 1;
    get();
    EXPECT_EQ(backend.handler, tls_event_handler);
}

TEST_F(Exchange, KeepAliveOfEachSide) {
    struct {
        const char* name;
        std::vector<net::http_header> request_headers;
        std::vector<net::http_header> reply_headers;
        bool browser_kept;
        bool link_parked;
    } cases[] = {
        {"both keep alive", {{"Content-Length", "0"}}, {{"Content-Length", "2"}}, true, true},
        {"request without length", {}, {{"Content-Length", "2"}}, false, true},
        {"request asks to close", {{"Connection", "close"}, {"Content-Length", "0"}}, {{"Content-Length", "2"}},
         false, true},
        {"reply asks to close", {{"Content-Length", "0"}}, {{"Content-Length", "2"}, {"Connection", "close"}},
         false, false},
        {"reply without length", {{"Content-Length", "0"}}, {}, false, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        next_exchange();
        get("/app/x", c.request_headers);
        answer(c.reply_headers, "ok");
        std::string connection = c.browser_kept ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        EXPECT_NE(browser.out.find(connection), std::string::npos);
        EXPECT_EQ(browser.after_send, !c.browser_kept);
        if (c.browser_kept) {
            EXPECT_FALSE(browser.held);  // the next request may come
        }
        EXPECT_EQ(parked_again(), c.link_parked);
        EXPECT_EQ(backend.now, !c.link_parked);
    }
}

TEST_F(Exchange, ChunkedRequestBodyStaysChunked) {
    net::http_message m = request("POST", "/app/up", {{"Transfer-Encoding", "chunked"}});
    proxy_request(cs, m);
    browser_piece("hello");
    browser_piece("world!");
    from_browser(net::EV_HTTP_END, &m);
    EXPECT_EQ(backend.out, "POST /v2/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n\r\n"
                           "5\r\nhello\r\n6\r\nworld!\r\n0\r\n\r\n");
}

TEST_F(Exchange, ReadingPausesWhileTheOtherSideIsBacklogged) {
    net::http_message m = request("POST", "/app/up", {{"Content-Length", "100"}});
    proxy_request(cs, m);
    backend.backlog = net::high_mark;
    browser_piece("under the mark");
    EXPECT_FALSE(browser.paused);
    backend.backlog = net::high_mark + 1;
    browser_piece("over the mark");
    EXPECT_TRUE(browser.paused);
    from_backend(net::EV_DRAIN, nullptr);
    EXPECT_FALSE(browser.paused);

    net::http_message r = reply(200, "OK", {});
    from_backend(net::EV_HTTP_HEAD, &r);
    browser.backlog = net::high_mark + 1;
    backend_piece("reply piece");
    EXPECT_TRUE(backend.paused);
    from_browser(net::EV_DRAIN, nullptr);
    EXPECT_FALSE(backend.paused);
}

TEST_F(Exchange, ReplyBeforeTheWholeRequestBodyReusesNeitherConnection) {
    net::http_message m = request("POST", "/app/up", {{"Content-Length", "10"}});
    proxy_request(cs, m);
    browser_piece("12345");
    answer({{"Content-Length", "0"}}, "");
    EXPECT_TRUE(backend.now);
    EXPECT_EQ(route->idle_count, 0);
    EXPECT_TRUE(browser.after_send);
}

TEST_F(Exchange, BackendClosingBeforeTheReply) {
    cs.client.flags |= HEAD_SENT;  // an earlier exchange's reply head
    get();
    backend_closed_step(cs);
    EXPECT_EQ(browser.out, error_reply);
    EXPECT_TRUE(browser.after_send);
    EXPECT_EQ(logged(), "Backend backend.test:8080 disconnected.\n");
    EXPECT_EQ(cs.link, nullptr);
}

TEST_F(Exchange, BackendClosingMidReplyWritesNoSecondHead) {
    get();
    net::http_message r = reply(200, "OK", {{"Content-Length", "10"}});
    from_backend(net::EV_HTTP_HEAD, &r);
    backend_piece("12345");
    backend_closed_step(cs);
    EXPECT_EQ(browser.out, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: keep-alive\r\n\r\n12345");
    EXPECT_TRUE(browser.after_send);
    EXPECT_EQ(logged(), "Backend backend.test:8080 disconnected.\n");
}

TEST_F(Exchange, FailedConnectIsLoggedAnsweredAndLeavesTheConnectionToThePool) {
    get();
    int err = ECONNREFUSED;
    from_backend(net::EV_CONNECT, &err);
    EXPECT_EQ(logged(), "Error connecting to backend.test:8080: 111 (Connection refused)\n");
    EXPECT_EQ(browser.out, error_reply);
    EXPECT_EQ(backend.handler, idle_link_handler);
    EXPECT_TRUE(backend.now);
    EXPECT_EQ(cs.link, nullptr);
    EXPECT_EQ(cs.backend.conn, nullptr);
}

TEST_F(Exchange, RefusedBeforeForwarding) {
    struct {
        const char* name;
        std::string_view uri;
        std::vector<net::http_header> headers;
    } cases[] = {
        {"no route", "/other", {}},
        {"length and chunked", "/app/x", {{"Content-Length", "3"}, {"Transfer-Encoding", "chunked"}}},
        {"differing lengths", "/app/x", {{"Content-Length", "3"}, {"Content-Length", "4"}}},
        {"unknown coding", "/app/x", {{"Transfer-Encoding", "gzip"}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        next_exchange();
        proxy_request(cs, request("POST", c.uri, c.headers));
        EXPECT_EQ(browser.out, error_reply);
        EXPECT_TRUE(browser.after_send);
        EXPECT_EQ(backend.out, "");
        EXPECT_TRUE(parked_again());
    }
}

TEST(ProxyHead, KeepAliveTest) {
    struct {
        std::string_view proto;
        std::vector<net::http_header> headers;
        bool keeps;
    } cases[] = {
        {"HTTP/1.1", {{"Content-Length", "0"}}, true},
        {"HTTP/1.1", {}, false},
        {"HTTP/1.1", {{"Connection", "Keep-Alive"}, {"Content-Length", "5"}}, true},
        {"HTTP/1.1", {{"Connection", "close"}, {"Content-Length", "5"}}, false},
        {"HTTP/1.1", {{"Connection", "keep-alive, Upgrade"}, {"Content-Length", "5"}}, false},
        {"HTTP/1.0", {{"Content-Length", "5"}}, false},
        {"http/1.0", {{"connection", "keep-alive"}, {"content-length", "5"}}, true},
    };
    for (auto& c : cases) {
        net::http_message m = request("GET", "/", c.headers);
        m.proto = c.proto;
        EXPECT_EQ(message_keeps_alive(m), c.keeps) << c.proto << " " << c.headers.size();
    }
}

TEST(ProxyHead, ReplyTransferCodingLosesOnlyChunked) {
    backend_route r;
    r.address = "b:1";
    struct {
        std::string_view value;
        std::string_view relayed;  // empty: header dropped
    } cases[] = {{"chunked", ""}, {"Chunked", ""}, {"gzip, chunked", "gzip"}, {"gzip ,chunked", "gzip"}};
    for (auto& c : cases) {
        net::http_message m = reply(200, "OK", {{"Transfer-Encoding", c.value}});
        m.chunked = true;
        std::string out;
        append_reply_head(out, m, r, false, connection_close);
        std::string want = c.relayed.empty() ? "" : "Transfer-Encoding: " + std::string(c.relayed) + "\r\n";
        EXPECT_EQ(out, "HTTP/1.1 200 OK\r\n" + want + "Connection: close\r\n\r\n") << c.value;
    }
}

}  // namespace
