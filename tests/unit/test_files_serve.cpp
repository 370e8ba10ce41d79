// serve_file against a small web root and upload directory on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/fake_connection.hpp"
#include "support/parsed_reply.hpp"
#include "webkvd/files/serve.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* secret_text = "TOP SECRET";
constexpr std::size_t big_bytes = 300 * 1024;

using reply = parsed_reply;
reply parse(const std::string& out) { return parsed_reply::from(out); }

void write_file(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

struct counting_connection : fake_connection {
    int file_segments = 0;
    void send_file(int fd, std::uint64_t off, std::uint64_t len) override {
        ++file_segments;
        fake_connection::send_file(fd, off, len);
    }
};

class FilesServe : public ::testing::Test {
protected:
    fs::path base, root, up;
    files::serve_opts www, upload;
    std::string big;

    void SetUp() override {
        char tmpl[] = "/tmp/webkvd-files-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base = tmpl;
        root = base / "www";
        up = base / "up";
        fs::create_directories(root / "sub");
        fs::create_directories(root / "both");
        fs::create_directories(root / "plain" / "inner");
        fs::create_directories(up / "dir");
        fs::create_directories(base / "outside");
        write_file(root / "hello.txt", "hello world\n");
        write_file(root / "page.html", "<p>page</p>");
        write_file(root / "with space.html", "spaced");
        write_file(root / "boot.log", "log");
        write_file(root / "empty.css", "");
        write_file(root / "sub" / "index.html", "sub index");
        write_file(root / "both" / "index.htm", "htm");
        write_file(root / "both" / "index.html", "html");
        write_file(root / "plain" / "a.txt", "a");
        write_file(root / "plain" / "<b>.txt", "b");
        big.resize(big_bytes);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
        write_file(root / "big.bin", big);
        write_file(base / "outside.txt", secret_text);
        write_file(base / "outside" / "secret.txt", secret_text);
        fs::create_symlink("../outside.txt", root / "link_out.txt");
        fs::create_symlink(base / "outside", root / "link_dir");
        fs::create_symlink("hello.txt", root / "link_in.txt");
        ASSERT_EQ(::mkfifo((root / "pipe.txt").c_str(), 0600), 0);
        write_file(up / "x.cgi", "#!/bin/sh\necho run\n");
        fs::permissions(up / "x.cgi", fs::perms::owner_all);
        write_file(up / "page.shtml", "<!--#include virtual=\"/hello.txt\" -->");
        write_file(up / "dir" / "file.bin", "f");
        fs::create_symlink(root / "hello.txt", up / "escape.txt");
        www.document_root = root.string() + "/";
        upload.document_root = up.string() + "/";
        upload.enable_directory_listing = false;
        upload.run_programs = false;
    }
    void TearDown() override { fs::remove_all(base); }

    // Serves one request; full_uri is what the client sent, uri what the
    // route left of it.
    reply get(const std::string& uri, std::vector<std::pair<std::string, std::string>> fields = {},
              const char* method = "GET", const files::serve_opts* opts = nullptr, std::string full_uri = {},
              std::string query = {}) {
        if (full_uri.empty()) full_uri = uri;
        net::http_message m;
        m.method = method;
        m.uri = full_uri;
        m.target = full_uri;
        m.query = query;
        m.has_query = !query.empty();
        m.proto = "HTTP/1.1";
        for (const auto& [n, v] : fields) m.headers.push_back({n, v});
        last = counting_connection();
        files::serve_file(last, m, uri, opts ? *opts : www, false);
        return parse(last.out);
    }
    counting_connection last;
};

TEST_F(FilesServe, PlainFileWithHeadsAndValidators) {
    reply r = get("/hello.txt");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "hello world\n");
    EXPECT_EQ(r["content-type"], "application/octet-stream");
    EXPECT_EQ(r["content-length"], "12");
    EXPECT_EQ(r["connection"], "close");
    EXPECT_EQ(r["accept-ranges"], "bytes");
    EXPECT_TRUE(r.has("etag"));
    EXPECT_TRUE(r.has("last-modified"));

    reply h = get("/hello.txt", {}, "HEAD");
    EXPECT_EQ(h.code, 200);
    EXPECT_EQ(h["content-length"], "12");
    EXPECT_EQ(h.body, "");

    EXPECT_EQ(get("/boot.log")["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(get("/with%20space.html").body, "spaced");
    reply e = get("/empty.css");
    EXPECT_EQ(e.code, 200);
    EXPECT_EQ(e["content-length"], "0");
}

TEST_F(FilesServe, ErrorsForMissingFilesAndOtherMethods) {
    struct row {
        const char* uri;
        const char* method;
        int code;
    };
    const std::vector<row> rows = {
        {"/nothing.html", "GET", 404},
        {"/hello.txt/more", "GET", 404},
        {"/nothing.html", "HEAD", 404},
        {"/hello.txt", "POST", 405},
        {"/hello.txt", "DELETE", 405},
        {"/pipe.txt", "GET", 403},  // not a regular file; must not block on the FIFO
        {"/bad%zz", "GET", 400},
    };
    for (const auto& r : rows) {
        reply got = get(r.uri, {}, r.method);
        EXPECT_EQ(got.code, r.code) << r.method << " " << r.uri;
        EXPECT_EQ(got["connection"], "close") << r.uri;
        if (std::string(r.method) != "HEAD") {
            EXPECT_EQ(got["content-length"], std::to_string(got.body.size())) << r.uri;
        }
    }
    EXPECT_EQ(get("/hello.txt", {}, "PUT")["allow"], "GET, HEAD");
}

TEST_F(FilesServe, UnreadableFileIsForbidden) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    write_file(root / "locked.txt", "x");
    fs::permissions(root / "locked.txt", fs::perms::none);
    EXPECT_EQ(get("/locked.txt").code, 403);
}

TEST_F(FilesServe, DirectoriesRedirectIndexAndList) {
    reply r = get("/sub");
    EXPECT_EQ(r.code, 301);
    EXPECT_EQ(r["location"], "/sub/");
    EXPECT_EQ(r["content-length"], "0");
    // The redirect keeps the route prefix and the query.
    EXPECT_EQ(get("/sub", {}, "GET", nullptr, "/_root/sub", "a=1")["location"], "/_root/sub/?a=1");

    EXPECT_EQ(get("/sub/").body, "sub index");
    EXPECT_EQ(get("/both/").body, "html");  // index.html comes before index.htm
    EXPECT_EQ(get("/").code, 200);          // the root lists itself

    reply list = get("/plain/", {}, "GET", nullptr, "/_root/plain/");
    EXPECT_EQ(list.code, 200);
    EXPECT_EQ(list["content-type"], "text/html; charset=utf-8");
    EXPECT_NE(list.body.find("Index of /_root/plain/"), std::string::npos);
    EXPECT_NE(list.body.find("href=\"a.txt\""), std::string::npos);
    EXPECT_NE(list.body.find("href=\"inner/\""), std::string::npos);
    EXPECT_NE(list.body.find("&lt;b&gt;.txt"), std::string::npos);
    EXPECT_EQ(list.body.find("<b>.txt"), std::string::npos);
    EXPECT_EQ(list["content-length"], std::to_string(list.body.size()));
    EXPECT_NE(list.body.find("href=\"../\""), std::string::npos);
    // The top of a root has no parent to link to, whatever the route prefix.
    EXPECT_EQ(get("/", {}, "GET", nullptr, "/_root/").body.find("href=\"../\""), std::string::npos);
}

TEST_F(FilesServe, RangesAndConditionals) {
    reply r = get("/hello.txt", {{"Range", "bytes=0-4"}});
    EXPECT_EQ(r.code, 206);
    EXPECT_EQ(r.body, "hello");
    EXPECT_EQ(r["content-range"], "bytes 0-4/12");
    EXPECT_EQ(r["content-length"], "5");
    EXPECT_EQ(get("/hello.txt", {{"Range", "bytes=-6"}}).body, "world\n");

    reply bad = get("/hello.txt", {{"Range", "bytes=12-"}});
    EXPECT_EQ(bad.code, 416);
    EXPECT_EQ(bad["content-range"], "bytes */12");
    EXPECT_EQ(get("/hello.txt", {{"Range", "bytes=0-1,4-5"}}).code, 200);

    reply first = get("/hello.txt");
    const std::string etag = first["etag"], date = first["last-modified"];
    reply same = get("/hello.txt", {{"If-None-Match", etag}});
    EXPECT_EQ(same.code, 304);
    EXPECT_EQ(same.body, "");
    EXPECT_EQ(same["etag"], etag);
    EXPECT_EQ(get("/hello.txt", {{"If-Modified-Since", date}}).code, 304);
    EXPECT_EQ(get("/hello.txt", {{"If-None-Match", "\"stale\""}, {"If-Modified-Since", date}}).code, 200);
    EXPECT_EQ(get("/hello.txt", {{"Range", "bytes=0-0"}, {"If-Range", etag}}).code, 206);
    EXPECT_EQ(get("/hello.txt", {{"Range", "bytes=0-0"}, {"If-Range", "\"stale\""}}).code, 200);
}

TEST_F(FilesServe, LargeFileGoesOutAsFileSegment) {
    reply r = get("/big.bin");
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r["content-length"], std::to_string(big_bytes));
    EXPECT_EQ(last.file_segments, 1);
    EXPECT_TRUE(r.body == big);

    reply tail = get("/big.bin", {{"Range", "bytes=100000-"}});
    EXPECT_EQ(tail.code, 206);
    EXPECT_TRUE(tail.body == big.substr(100000));

    get("/big.bin", {}, "HEAD");
    EXPECT_EQ(last.file_segments, 0);
}

TEST_F(FilesServe, NothingOutsideTheRootIsServed) {
    const std::vector<std::string> attempts = {
        "/../outside.txt",
        "/sub/../../outside.txt",
        "/%2e%2e/outside.txt",
        "/%2E%2E%2Foutside.txt",
        "/sub/..%2f..%2foutside.txt",
        "/sub%2f..%2f..%2foutside.txt",
        "/link_out.txt",
        "/link_dir/secret.txt",
        "/link_dir/",
        "/hello.txt%00.html",
        "/./hello.txt",
    };
    for (const auto& uri : attempts) {
        reply r = get(uri);
        EXPECT_TRUE(r.code == 403 || r.code == 400 || r.code == 404) << uri << " gave " << r.code;
        EXPECT_EQ(last.out.find(secret_text), std::string::npos) << uri;
    }
    // A link that stays inside the root is fine.
    EXPECT_EQ(get("/link_in.txt").body, "hello world\n");
    // The upload directory's own links are held to the upload directory.
    EXPECT_EQ(get("/escape.txt", {}, "GET", &upload).code, 403);
}

TEST_F(FilesServe, UploadDirectoryNeverRunsExpandsOrLists) {
    reply prog = get("/x.cgi", {}, "GET", &upload, "/_temp/x.cgi");
    EXPECT_EQ(prog.code, 200);
    EXPECT_EQ(prog.body, "#!/bin/sh\necho run\n");
    EXPECT_EQ(get("/x.cgi", {}, "POST", &upload).code, 405);

    reply page = get("/page.shtml", {}, "GET", &upload);
    EXPECT_EQ(page.code, 200);
    EXPECT_EQ(page.body, "<!--#include virtual=\"/hello.txt\" -->");

    EXPECT_EQ(get("/", {}, "GET", &upload).code, 403);
    EXPECT_EQ(get("/dir/", {}, "GET", &upload).code, 403);
    EXPECT_EQ(get("/dir/file.bin", {}, "GET", &upload).body, "f");

    // An uploaded index program is still only bytes.
    write_file(up / "dir" / "index.cgi", "#!/bin/sh\necho run\n");
    EXPECT_EQ(get("/dir/", {}, "GET", &upload).body, "#!/bin/sh\necho run\n");
}

TEST_F(FilesServe, UnresolvableRootServesNothing) {
    files::serve_opts gone;
    gone.document_root = (base / "missing").string();
    EXPECT_EQ(get("/hello.txt", {}, "GET", &gone).code, 404);
}

}  // namespace
