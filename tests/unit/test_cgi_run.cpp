// CGI programs run through serve_file on the real event loop: environment
// and body, status handling, failures, time limit, big output and input,
// and a client that goes away.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/fake_connection.hpp"
#include "support/parsed_reply.hpp"
#include "webkvd/cgi/cgi.hpp"
#include "webkvd/files/serve.hpp"

namespace fs = std::filesystem;

namespace {

constexpr unsigned guard_ms = 15000;  // a test that hangs fails instead of blocking the suite

// Stops the loop when the reply is complete (the runner closes the connection).
struct loop_connection : fake_connection {
    bool done = false;
    void close_after_send() override {
        fake_connection::close_after_send();
        finished();
    }
    void close_now() override {
        fake_connection::close_now();
        finished();
    }
    void finished() {
        if (!done) net::loop::stop();
        done = true;
    }
};

void run_loop_until(const std::function<bool()>& done) {
    bool expired = false;
    int guard = net::loop::timer(guard_ms, [&] {
        expired = true;
        net::loop::stop();
    });
    while (!done() && !expired) {
        int poll = net::loop::timer(20, [] { net::loop::stop(); });
        net::loop::run_for_test();
        net::loop::cancel_timer(poll);
    }
    net::loop::cancel_timer(guard);
}

class CgiRun : public ::testing::Test {
protected:
    fs::path base, root;
    files::serve_opts www;
    loop_connection c;

    void SetUp() override {
        net::loop::init();
        char tmpl[] = "/tmp/webkvd-cgi-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base = tmpl;
        root = base / "www";
        fs::create_directories(root / "app");
        www.document_root = root.string();
        ::unsetenv("WEBKVD_CGI_TIMEOUT");
    }
    void TearDown() override {
        run_loop_until([] { return cgi::running_programs() == 0; });
        EXPECT_EQ(cgi::running_programs(), 0u) << "a program was left running or unreaped";
        fs::remove_all(base);
    }

    void program(const std::string& rel, const std::string& text, fs::perms perms = fs::perms::owner_all) {
        std::ofstream(root / rel, std::ios::binary) << text;
        fs::permissions(root / rel, perms);
    }

    parsed_reply request(const std::string& uri, const std::string& method = "GET", const std::string& body = {},
                         std::vector<std::pair<std::string, std::string>> fields = {},
                         const std::string& proto = "HTTP/1.1", const std::string& full_uri = {},
                         const std::string& query = {}) {
        stored_uri = full_uri.empty() ? uri : full_uri;
        stored_target = stored_uri + (query.empty() ? "" : "?" + query);
        stored_query = query;
        stored_body = body;
        stored_proto = proto;
        stored_method = method;
        stored_fields = std::move(fields);
        net::http_message m;
        m.method = stored_method;
        m.uri = stored_uri;
        m.target = stored_target;
        m.query = stored_query;
        m.has_query = !query.empty();
        m.proto = stored_proto;
        m.body = stored_body;
        m.content_length = body.empty() ? -1 : static_cast<std::int64_t>(body.size());
        for (const auto& [n, v] : stored_fields) m.headers.push_back({n, v});
        files::serve_file(c, m, uri, www, true);
        run_loop_until([this] { return c.done; });
        return parsed_reply::from(c.out);
    }
    std::string stored_uri, stored_target, stored_query, stored_body, stored_proto, stored_method;
    std::vector<std::pair<std::string, std::string>> stored_fields;
};

TEST_F(CgiRun, ProgramSeesItsEnvironmentBodyAndDirectory) {
    program("app/env.cgi",
            "#!/bin/sh\n"
            "printf 'Content-Type: text/plain\\r\\nX-From: program\\r\\n\\r\\n'\n"
            "env | sort\n"
            "echo \"CWD=$(pwd)\"\n"
            "echo BODY:\n"
            "cat\n");
    parsed_reply r = request("/app/env.cgi/more/path", "POST", "a=1&b=2", {{"X-Custom", "yes"}}, "HTTP/1.1",
                             "/_root/app/env.cgi/more/path", "q=1");
    ASSERT_EQ(r.code, 200) << c.out;
    EXPECT_EQ(r["content-type"], "text/plain");
    EXPECT_EQ(r["x-from"], "program");
    EXPECT_EQ(r["connection"], "close");
    EXPECT_EQ(r["content-length"], std::to_string(r.body.size()));
    const std::string real_root = fs::canonical(root).string();
    for (const std::string& e : std::vector<std::string>{
             "REQUEST_METHOD=POST", "QUERY_STRING=q=1", "CONTENT_LENGTH=7", "HTTP_X_CUSTOM=yes", "HTTPS=on",
          "SCRIPT_NAME=/_root/app/env.cgi", "PATH_INFO=/more/path", "GATEWAY_INTERFACE=CGI/1.1",
          "SCRIPT_FILENAME=" + real_root + "/app/env.cgi", "DOCUMENT_ROOT=" + real_root, "CWD=" + real_root + "/app",
          "BODY:\na=1&b=2"})
        EXPECT_NE(r.body.find(e), std::string::npos) << e << "\n" << r.body;
    EXPECT_TRUE(c.held);  // no next request is read while the program answers
}

TEST_F(CgiRun, StatusLocationAndBrokenPrograms) {
    struct row {
        const char* script;
        int code;
        const char* location;
    };
    const std::vector<row> rows = {
        {"printf 'Status: 404 Not Here\\nContent-Type: text/plain\\n\\ngone'", 404, ""},
        {"printf 'Location: /other.html\\n\\n'", 302, "/other.html"},
        {"printf 'Status: 303 See Other\\nLocation: /x\\n\\n'", 303, "/x"},
        {"echo garbage; echo more", 500, ""},               // no header block
        {"exit 0", 500, ""},                                 // no output at all
        {"printf 'Content-Type: text/plain\\n'", 500, ""},  // header block never ended
        {"printf 'Content-Type: text/plain\\nContent-Length: 100\\n\\nshort'", 500, ""},
        {"printf 'X-Only: 1\\n\\nbody'", 500, ""},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        program("app/s.cgi", std::string("#!/bin/sh\n") + rows[i].script + "\n");
        c = loop_connection();
        parsed_reply r = request("/app/s.cgi");
        EXPECT_EQ(r.code, rows[i].code) << rows[i].script << "\n" << c.out;
        EXPECT_EQ(r["location"], rows[i].location) << rows[i].script;
        EXPECT_EQ(r["connection"], "close") << rows[i].script;
    }
}

TEST_F(CgiRun, ProgramsThatCannotRunGet500) {
    program("app/noexec.cgi", "#!/bin/sh\necho hi\n", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(request("/app/noexec.cgi").code, 500);
    c = loop_connection();
    program("app/nointerp.php", "#!/nonexistent/interpreter\n");
    EXPECT_EQ(request("/app/nointerp.php").code, 500);
}

TEST_F(CgiRun, HeadGetsTheHeadOnly) {
    program("app/h.cgi", "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\nfive!'\n");
    parsed_reply r = request("/app/h.cgi", "HEAD");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r["content-length"], "5");
    EXPECT_EQ(r.body, "");
}

TEST_F(CgiRun, HangingProgramIsKilledAtTheLimit) {
    ::setenv("WEBKVD_CGI_TIMEOUT", "1", 1);
    program("app/hang.cgi", "#!/bin/sh\nprintf 'Content-Type: text/plain\\n'\nsleep 30\n");
    parsed_reply r = request("/app/hang.cgi");
    EXPECT_EQ(r.code, 500);
    EXPECT_FALSE(cgi_owns_reply(c));
}

TEST_F(CgiRun, OutputLargerThanThePipeAndLargerThanCollected) {
    program("app/big.cgi",
            "#!/bin/sh\nprintf 'Content-Type: application/octet-stream\\n\\n'\n"
            "head -c \"$QUERY_STRING\" /dev/zero | tr '\\0' x\n");
    // Beyond a pipe buffer, still sent with its length.
    parsed_reply r = request("/app/big.cgi", "GET", {}, {}, "HTTP/1.1", {}, "300000");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r["content-length"], "300000");
    EXPECT_EQ(r.body, std::string(300000, 'x'));

    // Beyond what is collected: streamed in chunks to an HTTP/1.1 client...
    c = loop_connection();
    r = request("/app/big.cgi", "GET", {}, {}, "HTTP/1.1", {}, "3000000");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r["transfer-encoding"], "chunked");
    EXPECT_FALSE(r.has("content-length"));
    bool complete = false;
    EXPECT_EQ(parsed_reply::dechunk(r.body, complete).size(), 3000000u);
    EXPECT_TRUE(complete);

    // ...and up to the close to an HTTP/1.0 one.
    c = loop_connection();
    r = request("/app/big.cgi", "GET", {}, {}, "HTTP/1.0", {}, "3000000");
    EXPECT_EQ(r.code, 200);
    EXPECT_FALSE(r.has("transfer-encoding"));
    EXPECT_EQ(r.body.size(), 3000000u);
}

TEST_F(CgiRun, LargeRequestBodyReachesTheProgram) {
    program("app/count.cgi", "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\n'\nwc -c | tr -d ' '\n");
    parsed_reply r = request("/app/count.cgi", "POST", std::string(1 << 20, 'b'));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, std::to_string(1 << 20) + "\n");

    // A program that never reads its input still answers.
    c = loop_connection();
    program("app/ignore.cgi", "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\nok'\n");
    r = request("/app/ignore.cgi", "POST", std::string(1 << 20, 'b'));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "ok");
}

TEST_F(CgiRun, ClosedConnectionKillsTheProgram) {
    program("app/slow.cgi", "#!/bin/sh\nsleep 30\n");
    net::http_message m;
    m.method = "GET";
    m.uri = "/app/slow.cgi";
    m.target = m.uri;
    m.proto = "HTTP/1.1";
    files::serve_file(c, m, m.uri, www, false);
    EXPECT_TRUE(cgi_owns_reply(c));
    int spins = 0;  // let the program start
    run_loop_until([&spins] { return ++spins > 3; });
    cgi_connection_closed(c);
    EXPECT_FALSE(cgi_owns_reply(c));
    run_loop_until([] { return cgi::running_programs() == 0; });
    EXPECT_EQ(cgi::running_programs(), 0u);
    EXPECT_EQ(c.out, "");  // nothing is written to a closed connection
}

}  // namespace
