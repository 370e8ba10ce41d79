// The CGI program's header block and the meta-variables it is started with.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/fake_connection.hpp"
#include "webkvd/cgi/cgi_env.hpp"
#include "webkvd/cgi/cgi_head.hpp"

TEST(CgiHead, FindsTheBlankLineInEitherStyle) {
    struct row {
        std::string out;
        bool found;
        std::size_t head_len, body_start;
    };
    const std::vector<row> rows = {
        {"A: 1\r\n\r\nbody", true, 6, 8},
        {"A: 1\n\nbody", true, 5, 6},
        {"A: 1\nB: 2\n\n", true, 10, 11},
        {"\r\nbody", true, 0, 2},
        {"\nbody", true, 0, 1},
        {"A: 1\r\nB: 2\r\n", false, 0, 0},
        {"A: 1", false, 0, 0},
    };
    for (const auto& r : rows) {
        std::size_t head_len = 0, body_start = 0;
        EXPECT_EQ(cgi::find_head_end(r.out, head_len, body_start), r.found) << r.out;
        if (r.found) {
            EXPECT_EQ(head_len, r.head_len) << r.out;
            EXPECT_EQ(body_start, r.body_start) << r.out;
        }
    }
}

TEST(CgiHead, StatusLocationAndGarbage) {
    struct row {
        const char* block;
        bool ok;
        const char* status_line;
    };
    const std::vector<row> rows = {
        {"Content-Type: text/plain\r\n", true, "HTTP/1.1 200 OK\r\n"},
        {"Status: 404 Nothing here\nContent-Type: text/html\n", true, "HTTP/1.1 404 Nothing here\r\n"},
        {"Status: 204\n", true, "HTTP/1.1 204 No Content\r\n"},
        {"Status: 299\n", true, "HTTP/1.1 299 Status\r\n"},
        {"Location: /elsewhere\n", true, "HTTP/1.1 302 Found\r\n"},
        {"Status: 301 Moved\nLocation: /x\n", true, "HTTP/1.1 301 Moved\r\n"},
        {"X-Only: 1\n", false, ""},                      // none of the fields a program must give
        {"hello world\n", false, ""},                    // not a header line
        {"Content-Type text/plain\n", false, ""},
        {"Bad Name: 1\nContent-Type: text/plain\n", false, ""},
        {"Status: abc\n", false, ""},
        {"Status: 99 Low\n", false, ""},
        {"Status: 2000\n", false, ""},
        {"Status: 200\nStatus: 404\n", false, ""},
        {"Content-Type: text/plain\nContent-Length: x\n", false, ""},
        {"Content-Type: text/plain\nX-Bad: a\x01z\n", false, ""},
        {"", false, ""},
    };
    for (const auto& r : rows) {
        cgi::program_head h;
        EXPECT_EQ(cgi::parse_program_head(r.block, h), r.ok) << r.block;
        if (r.ok) {
            EXPECT_EQ(h.status_line, r.status_line) << r.block;
        }
    }
}

TEST(CgiHead, ServerFramesTheBody) {
    cgi::program_head h;
    ASSERT_TRUE(cgi::parse_program_head(
        "Content-Type: text/plain\nContent-Length: 12\nConnection: keep-alive\nTransfer-Encoding: chunked\n"
        "Keep-Alive: timeout=5\nSet-Cookie: a=1\nSet-Cookie: b=2\n",
        h));
    EXPECT_EQ(h.content_length, 12);
    EXPECT_EQ(h.fields, "Content-Type: text/plain\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n");
}

namespace {

bool has_entry(const std::vector<std::string>& env, const std::string& entry) {
    return std::find(env.begin(), env.end(), entry) != env.end();
}

bool has_name(const std::vector<std::string>& env, const std::string& name) {
    return std::any_of(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
}

}  // namespace

TEST(CgiEnv, MetaVariablesOfARequest) {
    fake_connection c;
    net::http_message m;
    m.method = "POST";
    m.target = "/_root/app/run.cgi/extra?x=1&y=2";
    m.uri = "/_root/app/run.cgi/extra";
    m.query = "x=1&y=2";
    m.has_query = true;
    m.proto = "HTTP/1.1";
    m.body = "abc";
    m.content_length = 3;
    m.headers = {{"Host", "device.local:8443"}, {"Content-Type", "application/x-www-form-urlencoded"},
                 {"Content-Length", "3"}, {"User-Agent", "t/1"}, {"Accept", "a"}, {"accept", "b"},
                 {"Proxy", "http://evil:1"}, {"X_Under", "1"}, {"X-Custom", "yes"}};
    cgi::script s{"/srv/www/app/run.cgi", "/_root/app/run.cgi", "/extra", "/srv/www"};
    auto env = cgi::make_environment(c, m, s, true);

    for (const char* e : {"GATEWAY_INTERFACE=CGI/1.1", "SERVER_PROTOCOL=HTTP/1.1", "SERVER_PORT=8000",
                          "SERVER_NAME=device.local", "REQUEST_METHOD=POST", "QUERY_STRING=x=1&y=2",
                          "SCRIPT_NAME=/_root/app/run.cgi", "SCRIPT_FILENAME=/srv/www/app/run.cgi",
                          "PATH_INFO=/extra", "DOCUMENT_ROOT=/srv/www", "REMOTE_ADDR=127.0.0.1",
                          "REMOTE_PORT=40000", "HTTPS=on", "CONTENT_LENGTH=3",
                          "CONTENT_TYPE=application/x-www-form-urlencoded", "HTTP_USER_AGENT=t/1",
                          "HTTP_ACCEPT=a, b", "HTTP_X_CUSTOM=yes", "HTTP_HOST=device.local:8443",
                          "REQUEST_URI=/_root/app/run.cgi/extra?x=1&y=2"})
        EXPECT_TRUE(has_entry(env, e)) << e;
    for (const char* absent : {"HTTP_PROXY", "HTTP_X_UNDER", "HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH"})
        EXPECT_FALSE(has_name(env, absent)) << absent;
    EXPECT_TRUE(has_name(env, "PATH"));
    EXPECT_TRUE(has_name(env, "SERVER_SOFTWARE"));

    net::http_message get;
    get.method = "GET";
    get.proto = "HTTP/1.0";
    auto plain = cgi::make_environment(c, get, cgi::script{"/r/a.cgi", "/a.cgi", "", "/r"}, false);
    EXPECT_TRUE(has_entry(plain, "QUERY_STRING="));
    for (const char* absent : {"HTTPS", "PATH_INFO", "CONTENT_LENGTH", "CONTENT_TYPE"})
        EXPECT_FALSE(has_name(plain, absent)) << absent;
}
