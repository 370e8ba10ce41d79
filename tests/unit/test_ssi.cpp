// Include pages: virtual and file includes, nesting, and the root as limit.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/fake_connection.hpp"
#include "support/parsed_reply.hpp"
#include "webkvd/files/serve.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* failed = "<!-- include failed -->";

class Ssi : public ::testing::Test {
protected:
    fs::path base, root;
    files::serve_opts www;

    void SetUp() override {
        char tmpl[] = "/tmp/webkvd-ssi-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base = tmpl;
        root = base / "www";
        fs::create_directories(root / "parts");
        fs::create_directories(root / "dir");
        write("outside.txt", "SECRET", base);
        write("parts/head.html", "HEAD");
        write("local.txt", "LOCAL");
        fs::create_symlink(base / "outside.txt", root / "link_out.txt");
        www.document_root = root.string();
    }
    void TearDown() override { fs::remove_all(base); }

    void write(const std::string& rel, const std::string& text, const fs::path& where = {}) {
        std::ofstream((where.empty() ? root : where) / rel, std::ios::binary) << text;
    }

    parsed_reply get(const std::string& uri, const char* method = "GET") {
        fake_connection c;
        net::http_message m;
        m.method = method;
        m.uri = uri;
        m.target = uri;
        m.proto = "HTTP/1.1";
        files::serve_file(c, m, uri, www, false);
        return parsed_reply::from(c.out);
    }
};

TEST_F(Ssi, VirtualFromTheRootFileFromThePage) {
    write("dir/page.shtml",
          "A<!--#include virtual=\"/parts/head.html\" -->B<!--#include file=\"../local.txt\" -->"
          "C<!--#include virtual=\"parts/head.html\"-->D");
    parsed_reply r = get("/dir/page.shtml");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "AHEADBLOCALCHEADD");
    EXPECT_EQ(r["content-type"], "text/html");
    EXPECT_EQ(r["content-length"], std::to_string(r.body.size()));

    parsed_reply h = get("/dir/page.shtml", "HEAD");
    EXPECT_EQ(h["content-length"], std::to_string(r.body.size()));
    EXPECT_EQ(h.body, "");
}

TEST_F(Ssi, NestedIncludesStopAtTheDepthLimit) {
    write("n1.shtml", "1<!--#include virtual=\"/n2.shtm\" -->");
    write("n2.shtm", "2<!--#include file=\"parts/n3.shtml\" -->");
    write("parts/n3.shtml", "3<!--#include file=\"head.html\" -->");
    EXPECT_EQ(get("/n1.shtml").body, "123HEAD");

    // Only include pages are expanded; other files are inserted as they are.
    write("raw.html", "<!--#include virtual=\"/local.txt\" -->");
    write("wrap.shtml", "[<!--#include virtual=\"/raw.html\" -->]");
    EXPECT_EQ(get("/wrap.shtml").body, "[<!--#include virtual=\"/local.txt\" -->]");

    write("self.shtml", "x<!--#include virtual=\"/self.shtml\" -->");
    EXPECT_EQ(get("/self.shtml").body, std::string("xxxxx") + failed);
}

TEST_F(Ssi, NothingOutsideTheRootAndNoCommands) {
    const fs::path marker = base / "ran";
    const std::vector<std::string> refused = {
        "<!--#include virtual=\"/../outside.txt\" -->",
        "<!--#include virtual=\"/%2e%2e/outside.txt\" -->",
        "<!--#include file=\"../outside.txt\" -->",
        "<!--#include file=\"" + (base / "outside.txt").string() + "\" -->",
        "<!--#include virtual=\"/link_out.txt\" -->",
        "<!--#include virtual=\"/missing.html\" -->",
        "<!--#include virtual=\"/parts/\" -->",
        "<!--#include virtual=\"\" -->",
        "<!--#include bogus=\"/local.txt\" -->",
        "<!--#exec cmd=\"touch " + marker.string() + "\" -->",
        "<!--#echo var=\"DOCUMENT_ROOT\" -->",
    };
    for (const auto& d : refused) {
        write("p.shtml", "<" + d + ">");
        parsed_reply r = get("/p.shtml");
        EXPECT_EQ(r.code, 200) << d;
        EXPECT_EQ(r.body, std::string("<") + failed + ">") << d;
    }
    EXPECT_FALSE(fs::exists(marker));

    // An unterminated directive is left as text.
    write("open.shtml", "a<!--#include virtual=\"/local.txt\"");
    EXPECT_EQ(get("/open.shtml").body, "a<!--#include virtual=\"/local.txt\"");
}

}  // namespace
