// Framing rules of the store library: length field parsing, request frames,
// reply splitting, buffer growth, and frame reading over both profiles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "store/conn_blocking.hpp"
#include "store/conn_server.hpp"
#include "store/frame.hpp"

namespace {

struct conn_holder {
    store_conn c{};
    ~conn_holder() { std::free(c.buffer); }
    std::string frame(int n) const { return std::string(c.buffer, static_cast<std::size_t>(n)); }
};

TEST(StoreParseInt, Cases) {
    struct row {
        const char* text;
        int result;
        int value;
    } rows[] = {
        {"0000017", 0, 17},
        {" 000017", 0, 17},
        {"00001 7", 3, 0},
        {"-000001", 0, -1},
        {"+12", 0, 12},
        {"\t 42", 0, 42},
        {"", 3, 0},
        {"   ", 3, 0},
        {"-", 3, 0},
        {"00x0005", 3, 0},
        {"12 ", 3, 0},
        {"2147483647", 0, 2147483647},
        {"2147483648", 1, 0},
        {"99999999999999999999", 1, 0},
        {"-2147483648", 0, -2147483647 - 1},
        {"-2147483649", 2, 0},
        {"-99999999999999999999", 2, 0},
    };
    for (const auto& r : rows) {
        int v = 12345;
        EXPECT_EQ(store_parse_int(&v, r.text), r.result) << '"' << r.text << '"';
        EXPECT_EQ(v, r.result == 0 ? r.value : 12345) << '"' << r.text << '"';
    }
}

TEST(StoreBuild, RequestFrames) {
    conn_holder h;
    store_conn* c = &h.c;
    EXPECT_EQ(h.frame(store_build_word_arg(c, "get", "k")), std::string("magicv1 0000006 get k\n"));
    EXPECT_EQ(h.frame(store_build_list_all(c)), std::string("magicv1 0000013 list __all__\n"));
    EXPECT_EQ(h.frame(store_build_version(c)), std::string("magicv1 0000017 version __curr__\n"));

    const char* abc[] = {"a=b=c"};
    EXPECT_EQ(h.frame(store_build_keyvalue(c, "set", abc, 1)), std::string("magicv1 0000010 set a b=c\n"));
    const char* more[] = {"k=v", "w", "x y"};
    EXPECT_EQ(h.frame(store_build_keyvalue(c, "inc", more, 3)), std::string("magicv1 0000014 inc k v w x y\n"));
    const char* empty_value[] = {"k="};
    EXPECT_EQ(h.frame(store_build_keyvalue(c, "set", empty_value, 1)), std::string("magicv1 0000007 set k \n"));

    EXPECT_EQ(h.frame(store_build_set(c, "set", "a", 1, "", 0)), std::string("magicv1 0000009 remove a\n"));
    EXPECT_EQ(h.frame(store_build_set(c, "inc", "a", 1, "", 0)), std::string("magicv1 0000007 inc a \n"));
    // Byte ranges: only klen and vlen bytes are used, whatever follows.
    EXPECT_EQ(h.frame(store_build_set(c, "set", "keyXX", 3, "v a\nlue!", 7)), std::string("magicv1 0000016 set key v a\nlue\n"));
    EXPECT_EQ(store_build_set(c, "set", "k", 0, "v", 1), -1);
}

TEST(StoreBuild, PayloadLimit) {
    conn_holder h;
    // "set " + key + " " + value + "\n": the largest payload seven digits can frame.
    std::string fits(static_cast<std::size_t>(store_max_payload) - 7, 'v');
    EXPECT_EQ(store_build_set(&h.c, "set", "k", 1, fits.data(), static_cast<int>(fits.size())), 16 + store_max_payload);
    EXPECT_EQ(std::string(h.c.buffer, 16), "magicv1 9999999 ");
    std::string arg = "k=" + fits;   // the same set in key=value form
    const char* args[] = {arg.c_str()};
    EXPECT_EQ(store_build_keyvalue(&h.c, "set", args, 1), 16 + store_max_payload);
    arg += 'v';                       // one byte too many
    args[0] = arg.c_str();
    EXPECT_EQ(store_build_keyvalue(&h.c, "set", args, 1), -1);
    EXPECT_EQ(store_build_word_arg(&h.c, "get", arg.c_str()), -1);
}

TEST(StoreSplit, ValueReplies) {
    struct row {
        const char* payload;
        bool has;
        const char* value;
    } rows[] = {
        {"v k hello\n", true, "hello\n"},
        {"v k a b c", true, "a b c"},
        {"x k none\n", false, ""},
        {"x k none", true, "none"},
        {"x k none\n\n", true, "none\n\n"},
        {"x k \n", true, "\n"},
        {"x k ", true, ""},
        {"xk\n", false, ""},
        {"x k\n", false, ""},
        {"", false, ""},
    };
    for (const auto& r : rows) {
        const char* v = nullptr;
        int n = -1;
        bool has = store_split_value(r.payload, static_cast<int>(std::strlen(r.payload)), &v, &n);
        EXPECT_EQ(has, r.has) << r.payload;
        if (has && r.has) {
            EXPECT_EQ(std::string(v, static_cast<std::size_t>(n)), r.value) << r.payload;
        }
    }
}

TEST(StoreSplit, ListEntries) {
    struct row {
        const char* payload;
        bool ok;
        const char* key;
        const char* value;
    } rows[] = {
        {"list key value\n", true, "key", "value"},
        {"list key two words\n", true, "key", "two words"},
        {"list key no-newline", true, "key", "no-newline"},
        {"list key \n", true, "key", ""},
        {"list k v\n\n", true, "k", "v\n"},
        {"abcd k v\n", true, "k", "v"},
        {"list k\n", false, "", ""},
        {"list ", false, "", ""},
        {"lst", false, "", ""},
        {"", false, "", ""},
    };
    for (const auto& r : rows) {
        std::string buf = r.payload;
        char* key = nullptr;
        char* value = nullptr;
        bool ok = store_split_entry(buf.data(), static_cast<int>(buf.size()), &key, &value);
        EXPECT_EQ(ok, r.ok) << r.payload;
        if (ok && r.ok) {
            EXPECT_STREQ(key, r.key);
            EXPECT_STREQ(value, r.value);
        }
    }
}

TEST(StoreSplit, AssignmentsAndEnd) {
    struct row {
        const char* payload;
        const char* line;   // null: no line
    } rows[] = {
        {"list a 1\n", "a=1\n"},
        {"list b 2 x\n", "b=2 x\n"},
        {"anything k v", "k=v"},
        {"x onlykey\n", "onlykey\n"},
        {"nospace\n", nullptr},
    };
    for (const auto& r : rows) {
        std::string buf = r.payload;
        char* line = store_entry_as_assignment(buf.data());
        if (r.line == nullptr) {
            EXPECT_EQ(line, nullptr) << r.payload;
        } else {
            EXPECT_STREQ(line, r.line);
        }
    }
    EXPECT_TRUE(store_is_end("list __end__\n"));
    EXPECT_TRUE(store_is_end("list key x__end__y\n"));
    EXPECT_FALSE(store_is_end("list __en d__\n"));
}

TEST(StoreReserve, GrowsAndNeverShrinks) {
    conn_holder h;
    store_reserve(&h.c, 16);
    EXPECT_EQ(h.c.capacity, 2048);
    ASSERT_NE(h.c.buffer, nullptr);
    store_reserve(&h.c, 2048);
    EXPECT_EQ(h.c.capacity, 2048);
    store_reserve(&h.c, 5000);
    EXPECT_EQ(h.c.capacity, 5000);
    h.c.buffer[5000] = '\0';   // the terminator byte is there
    store_reserve(&h.c, 100);
    EXPECT_EQ(h.c.capacity, 5000);
}

// Frame reading over a socket pair, for both profiles.
class ReadFrame : public ::testing::TestWithParam<store_profile> {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        std::memset(&c_, 0, sizeof c_);
        c_.fd = fds_[0];
        c_.profile = GetParam();
        if (GetParam() == store_profile_server) {
            ASSERT_EQ(fcntl(fds_[0], F_SETFL, fcntl(fds_[0], F_GETFL) | O_NONBLOCK), 0);
        } else {
            timeval tv{2, 0};
            setsockopt(fds_[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
    }
    void TearDown() override {
        std::free(c_.buffer);
        close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    void peer_send(const std::string& bytes) {
        ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void peer_close() {
        close(fds_[1]);
        fds_[1] = -1;
    }
    int fds_[2] = {-1, -1};
    store_conn c_{};
};

TEST_P(ReadFrame, ResultCodes) {
    struct row {
        const char* bytes;
        int result;
        const char* payload;
    } rows[] = {
        {"magicv1 0000006 get k\n", store_ok, "get k\n"},
        {"magicv1  000003 abc", store_ok, "abc"},
        {"magicv1 0000000 ", store_ok, ""},
        {"magicv1 0000003Xabc", store_ok, "abc"},   // the separator is never examined
        {"magicv2 0000003 abc", store_err_magic, nullptr},
        {"MAGICV1 0000003 abc", store_err_magic, nullptr},
        {"magicv1 00x0005 abcde", store_err_length, nullptr},
        {"magicv1 0001 7 abcdefg", store_err_length, nullptr},
        {"magicv1 -000001 x", store_err_length, nullptr},
        {"magicv1         x", store_err_length, nullptr},
    };
    for (const auto& r : rows) {
        peer_send(r.bytes);
        EXPECT_EQ(store_read_frame(&c_), r.result) << r.bytes;
        if (r.payload != nullptr && r.result == store_ok) {
            EXPECT_EQ(c_.received, static_cast<int>(std::strlen(r.payload)));
            EXPECT_STREQ(c_.buffer, r.payload);
        }
        // Whatever a failed read left unread would put the next one out of step.
        char drain[64];
        while (recv(fds_[0], drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
    }
}

TEST_P(ReadFrame, ClosedBeforeOrDuringFrame) {
    peer_send("magicv1 0000010 short");
    peer_close();
    EXPECT_EQ(store_read_frame(&c_), store_err_io);
    EXPECT_EQ(store_read_frame(&c_), store_err_io);
}

TEST_P(ReadFrame, PayloadLargerThanSocketBufferInPieces) {
    std::string payload(3 << 20, 'x');
    std::string bytes = std::string("magicv1 ") + std::to_string(payload.size() + 10000000).substr(1) + " " + payload;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Header in two pieces, then the payload as fast as the reader takes it.
        (void)!write(fds_[1], bytes.data(), 5);
        usleep(20000);
        std::size_t at = 5;
        while (at < bytes.size()) {
            ssize_t n = write(fds_[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0) _exit(1);
            at += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    ASSERT_EQ(store_read_frame(&c_), store_ok);
    EXPECT_EQ(c_.received, static_cast<int>(payload.size()));
    EXPECT_EQ(std::string(c_.buffer, static_cast<std::size_t>(c_.received)), payload);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ReadFrame, ::testing::Values(store_profile_blocking, store_profile_server),
                         [](const auto& info) { return info.param == store_profile_server ? "server" : "blocking"; });

}  // namespace
