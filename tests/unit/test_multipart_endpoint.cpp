// The upload endpoint over a recording connection: which requests are
// streamed, what is stored and answered, refused names, failed writes, and
// parts cut short by the end of the body or the connection's close.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/fake_connection.hpp"
#include "webkvd/main/config.hpp"
#include "webkvd/upload/multipart.hpp"
#include "webkvd/upload/upload.hpp"

namespace {

// The upload directory is read once per process, so it is set before any test.
const std::string upload_root = [] {
    char templ[] = "/tmp/webkvd-upload-unit-XXXXXX";
    const char* dir = ::mkdtemp(templ);
    std::string d = dir != nullptr ? dir : "/tmp";
    ::setenv("WEBKVD_UPLOAD_DIR", d.c_str(), 1);
    return d;
}();

std::set<std::string> stored_names();

// Removes the directory when the program ends.
struct remove_upload_root {
    ~remove_upload_root() {
        for (const auto& n : stored_names()) ::unlink((upload_root + "/" + n).c_str());
        ::rmdir(upload_root.c_str());
    }
} const remove_at_exit;

constexpr const char* boundary = "bNd";
const std::string content_type = std::string("multipart/form-data; boundary=") + boundary;

std::string part(const std::string& name, const std::string& content) {
    return std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"x.bin\"\r\n\r\n" + content + "\r\n";
}
std::string closing() { return std::string("--") + boundary + "--\r\n"; }

std::string stored_reply(const std::string& name, long length) {
    char text[1024];
    std::snprintf(text, sizeof text, upload_stored_reply, upload_dir().c_str(), name.c_str(), length);
    return text;
}

std::string file_text(const std::string& name) {
    std::ifstream in(upload_root + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::set<std::string> stored_names() {
    std::set<std::string> names;
    if (DIR* d = ::opendir(upload_root.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

class UploadEndpoint : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& n : stored_names()) ::unlink((upload_root + "/" + n).c_str());
        head.method = "POST";
        head.uri = "/_upload";
        head.headers = {{"Content-Type", content_type}};
    }
    void TearDown() override {
        upload_event(cs, c, net::EV_CLOSE, nullptr);
        EXPECT_EQ(cs.upload, nullptr);
        EXPECT_EQ(cs.upload_stream, nullptr);
    }
    // The connection layer's order: head, body pieces until a reply closes
    // the connection, then the end of the message.
    void post(const std::vector<std::string>& pieces, bool complete = true) {
        upload_event(cs, c, net::EV_HTTP_HEAD, &head);
        ASSERT_TRUE(c.streamed);
        for (const auto& p : pieces) {
            if (c.closing()) return;
            std::string_view piece(p);
            upload_event(cs, c, net::EV_HTTP_BODY, &piece);
        }
        if (complete && !c.closing()) upload_event(cs, c, net::EV_HTTP_END, &head);
    }
    fake_connection c;
    client_state cs;
    net::http_message head;
};

TEST_F(UploadEndpoint, WhichRequestsAreStreamed) {
    enum outcome { streamed, refused, dropped };
    const std::string long_boundary(multipart_boundary_limit, 'x');
    const struct {
        const char* uri;
        std::string ct;  // "-" for no Content-Type
        outcome want;
    } cases[] = {
        {"/_upload", content_type, streamed},
        {"/_uploads/more", content_type, streamed},
        {"/_UPLOAD", content_type, refused},
        {"/other", content_type, refused},  // a later request of a connection that uploaded once
        {"/_upload", "Multipart/form-data; boundary=b", refused},
        {"/_upload", "multipar", refused},
        {"/_upload", "text/plain", refused},
        {"/_upload", "-", refused},
        {"/_upload", "multipart", dropped},
        {"/_upload", "multipart/form-data", dropped},
        {"/_upload", "multipart/form-data; boundary=" + long_boundary, dropped},
        {"/_upload", "multipart/form-data; boundary=" + long_boundary.substr(1), streamed},
    };
    for (const auto& k : cases) {
        fake_connection fc;
        client_state s;
        net::http_message m;
        m.uri = k.uri;
        if (k.ct != "-") m.headers = {{"Content-Type", k.ct}};
        upload_event(s, fc, net::EV_HTTP_HEAD, &m);
        upload_event(s, fc, net::EV_HTTP_REQUEST, &m);
        const std::string what = std::string(k.uri) + " " + k.ct;
        EXPECT_EQ(fc.streamed, k.want == streamed) << what;
        EXPECT_EQ(fc.now, k.want == dropped) << what;
        EXPECT_EQ(fc.after_send, k.want == refused) << what;
        EXPECT_EQ(fc.out, k.want == refused ? upload_bad_request : "") << what;
        upload_event(s, fc, net::EV_CLOSE, nullptr);
    }
}

TEST_F(UploadEndpoint, PartsThatArrivedTogetherAreEachStoredAndAnswered) {
    std::ofstream(upload_root + "/a") << "old content that is longer";
    post({part("a", "first\r\ncontent") + part("e", "") + closing()});
    EXPECT_EQ(file_text("a"), "first\r\ncontent");
    EXPECT_EQ(file_text("e"), "");
    EXPECT_EQ(c.out, stored_reply("a", 14) + stored_reply("e", 0));
    EXPECT_TRUE(c.after_send);
    EXPECT_NE(c.out.find("\"filepath\":\"" + upload_root + "//a\""), std::string::npos);
}

TEST_F(UploadEndpoint, ContentArrivingAfterTheReplyIsNotRead) {
    // The first piece completes part a; the reply closes the connection and
    // the second piece, with part b, is never delivered.
    post({part("a", "A") + "--" + boundary + "\r\n",
          "Content-Disposition: form-data; name=\"b\"\r\n\r\nB\r\n" + closing()});
    EXPECT_EQ(c.out, stored_reply("a", 1));
    EXPECT_EQ(stored_names(), std::set<std::string>{"a"});
}

TEST_F(UploadEndpoint, NamesThatLeaveTheDirectoryAreRefused) {
    const std::string names[] = {"", ".", "..", "a/b", "../escape", "/abs", std::string("nul\0x", 5)};
    for (const auto& name : names) {
        fake_connection fc;
        client_state s;
        upload_event(s, fc, net::EV_HTTP_HEAD, &head);
        std::string body = part(name, "must not be stored") + closing();
        std::string_view piece(body);
        upload_event(s, fc, net::EV_HTTP_BODY, &piece);
        // The rest of the part found no upload state: no file, no other reply.
        EXPECT_EQ(fc.out, upload_open_failed) << name;
        EXPECT_TRUE(fc.after_send);
        upload_event(s, fc, net::EV_CLOSE, nullptr);
    }
    EXPECT_TRUE(stored_names().empty());
    EXPECT_EQ(file_text("../escape"), "");
}

TEST_F(UploadEndpoint, DotsInsideANameAreFine) {
    post({part("a..b.tar", "x") + closing()});
    EXPECT_EQ(file_text("a..b.tar"), "x");
}

TEST_F(UploadEndpoint, AFileThatCannotBeOpenedIsAnsweredOnce) {
    ASSERT_EQ(::mkdir((upload_root + "/dir").c_str(), 0700), 0);
    post({part("dir", "x") + closing()});
    ::rmdir((upload_root + "/dir").c_str());
    EXPECT_EQ(c.out, upload_open_failed);
}

TEST_F(UploadEndpoint, AFailedWriteIsAnsweredAsOne) {
    // Small and large parts: one fails only when the stdio buffer is flushed.
    for (std::size_t size : {std::size_t{10}, std::size_t{1} << 20}) {
        ASSERT_EQ(::symlink("/dev/full", (upload_root + "/full").c_str()), 0);
        fake_connection fc;
        client_state s;
        upload_event(s, fc, net::EV_HTTP_HEAD, &head);
        std::string body = part("full", std::string(size, 'z')) + closing();
        std::string_view piece(body);
        upload_event(s, fc, net::EV_HTTP_BODY, &piece);
        EXPECT_EQ(fc.out, upload_write_failed) << size;
        EXPECT_EQ(s.upload, nullptr);
        upload_event(s, fc, net::EV_CLOSE, nullptr);
        ::unlink((upload_root + "/full").c_str());
    }
}

TEST_F(UploadEndpoint, CloseDuringAPartKeepsWhatArrived) {
    post({part("f", "0123456789").substr(0, part("f", "").size() - 2 + 6)}, false);
    EXPECT_EQ(c.out, "");
    upload_event(cs, c, net::EV_CLOSE, nullptr);
    EXPECT_EQ(file_text("f"), "012345");
}

TEST_F(UploadEndpoint, EndOfBodyInsideAPartStoresIt) {
    post({part("f", "abc")});
    EXPECT_EQ(c.out, stored_reply("f", 3));
}

TEST_F(UploadEndpoint, ABodyWithoutPartsIsRefused) {
    for (const std::string& body : {closing(), std::string(), std::string("junk")}) {
        fake_connection fc;
        client_state s;
        upload_event(s, fc, net::EV_HTTP_HEAD, &head);
        std::string_view piece(body);
        if (!body.empty()) upload_event(s, fc, net::EV_HTTP_BODY, &piece);
        upload_event(s, fc, net::EV_HTTP_END, &head);
        EXPECT_EQ(fc.out, upload_bad_request) << body;
        EXPECT_TRUE(fc.after_send);
        upload_event(s, fc, net::EV_CLOSE, nullptr);
    }
}

TEST_F(UploadEndpoint, AMalformedBodyIsRefusedAtOnce) {
    post({std::string("--") + boundary + "\r\nX: " + std::string(multipart_max_part_head, 'h')});
    EXPECT_EQ(c.out, upload_bad_request);
    EXPECT_TRUE(stored_names().empty());
}

}  // namespace
