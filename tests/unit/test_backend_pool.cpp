// Route choice and the pool of parked backend links, with recording fake
// connections standing in for the backend connections.
#include <gtest/gtest.h>

#include <ctime>
#include <deque>
#include <vector>

#include "support/fake_connection.hpp"
#include "webkvd/backend/pool.hpp"
#include "webkvd/backend/routes.hpp"

namespace {

net::http_message request_for(std::string_view uri) {
    net::http_message m;
    m.method = "GET";
    m.uri = uri;
    m.target = uri;
    m.proto = "HTTP/1.1";
    return m;
}

TEST(ChooseRoute, LongestPrefixThenFewestUsesThenFirst) {
    backend_clear_routes();
    backend_add_route("/", "/", "a:1");
    backend_add_route("/api/", "/", "b:1");
    backend_add_route("/api/", "/", "c:1");
    backend_add_route("/api/v2/", "/", "d:1");
    struct {
        const char* uri;
        const char* address;  // null: no route
    } cases[] = {
        {"/index", "a:1"}, {"/api/x", "b:1"}, {"/api/v2/x", "d:1"}, {"/API/x", "a:1"}, {"api/x", nullptr},
        {"", nullptr},
    };
    auto chosen = [](const char* uri) {
        backend_route* r = choose_route(request_for(uri));
        return r ? r->address : std::string("none");
    };
    for (const auto& c : cases) EXPECT_EQ(chosen(c.uri), c.address ? c.address : "none") << c.uri;
    backend_route_at(1).use_count = 3;
    EXPECT_EQ(chosen("/api/x"), "c:1");
    backend_route_at(2).use_count = 3;
    EXPECT_EQ(chosen("/api/x"), "b:1");
    backend_clear_routes();
}

TEST(ChooseRoute, TableHoldsAHundredRoutes) {
    backend_clear_routes();
    for (std::size_t i = 0; i < max_backend_routes + 5; ++i) backend_add_route("/", "/", "a:1");
    EXPECT_EQ(backend_route_count(), max_backend_routes);
    backend_clear_routes();
}

TEST(RouteAddress, HostAndPort) {
    backend_clear_routes();
    backend_add_route("/", "/", "backend.local:8080");
    backend_add_route("/", "/", "[::1]:81");
    backend_add_route("/", "/", "bare");
    EXPECT_EQ(route_host(backend_route_at(0)), "backend.local");
    EXPECT_EQ(route_port(backend_route_at(0)), "8080");
    EXPECT_EQ(route_host(backend_route_at(1)), "[::1]");
    EXPECT_EQ(route_port(backend_route_at(1)), "81");
    EXPECT_EQ(route_host(backend_route_at(2)), "bare");
    EXPECT_EQ(route_port(backend_route_at(2)), "");
    backend_clear_routes();
}

// A route with parked links on fake connections; the layer's close events
// are delivered by hand, as the event loop would after close_now().
class Pool : public ::testing::Test {
protected:
    std::deque<fake_connection> conns;
    backend_route* route = nullptr;

    void SetUp() override {
        backend_clear_routes();
        backend_add_route("/", "/", "backend:80");
        route = &backend_route_at(0);
    }

    void TearDown() override {
        for (auto& c : conns) close_event(c);
        EXPECT_EQ(route->idle_count, 0);
        EXPECT_EQ(route->idle_head, nullptr);
        EXPECT_EQ(route->idle_tail, nullptr);
        backend_clear_routes();
    }

    backend_link* park_new() {
        conns.emplace_back();
        auto* link = new backend_link{};
        link->route = route;
        link->conn = &conns.back();
        bind_to_pool(link);
        park_link(link);
        return link;
    }

    // The close event a connection gets once, if it is still bound to a link.
    void close_event(fake_connection& c) {
        if (c.handler == idle_link_handler && c.user_data != nullptr) c.handler(c, net::EV_CLOSE, nullptr);
    }

    std::vector<backend_link*> queue() const {
        std::vector<backend_link*> out;
        for (backend_link* l = route->idle_head; l; l = l->next_idle) out.push_back(l);
        EXPECT_EQ(static_cast<int>(out.size()), route->idle_count);
        EXPECT_EQ(out.empty() ? nullptr : out.back(), route->idle_tail);
        return out;
    }
};

TEST_F(Pool, KeepsFiveLeastRecentlyParkedGoFirst) {
    std::vector<backend_link*> links;
    for (int i = 0; i < 7; ++i) links.push_back(park_new());
    EXPECT_TRUE(conns[0].now);
    EXPECT_TRUE(conns[1].now);
    EXPECT_FALSE(conns[2].now);
    EXPECT_EQ(queue(), (std::vector<backend_link*>{links[2], links[3], links[4], links[5], links[6]}));
    EXPECT_EQ(links[0]->idle_until, 0);  // closing, freed by its close event

    backend_link* taken = take_idle_link(*route);
    EXPECT_EQ(taken, links[2]);
    EXPECT_EQ(queue().size(), 4u);
    // Taken links belong to their user; hand it back as the proxy would.
    bind_to_pool(taken);
    park_link(taken);
    EXPECT_EQ(queue().back(), links[2]);
}

TEST_F(Pool, ExpiredLinkLeavesTheQueueAtTheTick) {
    backend_link* a = park_new();
    backend_link* b = park_new();
    backend_link* c = park_new();
    b->idle_until = std::time(nullptr) - 1;
    conns[1].handler(conns[1], net::EV_POLL, nullptr);
    EXPECT_TRUE(conns[1].now);
    EXPECT_EQ(queue(), (std::vector<backend_link*>{a, c}));
    conns[0].handler(conns[0], net::EV_POLL, nullptr);  // not yet due
    EXPECT_FALSE(conns[0].now);
}

TEST_F(Pool, CloseEventOfAnyParkedLinkKeepsTheQueueWhole) {
    backend_link* a = park_new();
    backend_link* b = park_new();
    park_new();
    close_event(conns[2]);  // the tail: the backend closed it
    EXPECT_EQ(queue(), (std::vector<backend_link*>{a, b}));
    backend_link* d = park_new();
    EXPECT_EQ(queue(), (std::vector<backend_link*>{a, b, d}));
    close_event(conns[1]);  // the middle
    close_event(conns[0]);  // the head
    EXPECT_EQ(queue(), (std::vector<backend_link*>{d}));
}

TEST_F(Pool, BytesOnAParkedLinkCloseIt) {
    park_new();
    backend_link* b = park_new();
    net::http_message reply;
    reply.is_request = false;
    conns[0].handler(conns[0], net::EV_HTTP_HEAD, &reply);
    EXPECT_TRUE(conns[0].now);
    EXPECT_EQ(queue(), (std::vector<backend_link*>{b}));
    conns[1].handler(conns[1], net::EV_HTTP_REPLY, &reply);
    EXPECT_TRUE(conns[1].now);
    EXPECT_TRUE(queue().empty());
}

TEST_F(Pool, TakeSkipsLinksThatAreClosingOrDue) {
    park_new();
    park_new();
    backend_link* fresh = park_new();
    conns[0].now = true;                                // close already under way
    route->idle_head->next_idle->idle_until = std::time(nullptr) - 1;  // due
    EXPECT_EQ(take_idle_link(*route), fresh);
    EXPECT_TRUE(conns[1].now);
    EXPECT_TRUE(queue().empty());
    bind_to_pool(fresh);
    close_link(fresh);
}

}  // namespace
