// JSON token scanner: results, token layout, capacity, cut texts and lookup.
// Every scan runs on an exact-size heap copy of its input (no terminator),
// so that a read past the end shows up under the sanitizer build.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "webkvd/json/json.hpp"

namespace {

constexpr int roomy = 256;

// An exact-size heap copy of an input, alive as long as this object.
struct heap_text {
    explicit heap_text(const std::string& s) : len(static_cast<int>(s.size())), bytes(new char[s.size()]) {
        if (!s.empty()) std::memcpy(bytes.get(), s.data(), s.size());
    }
    int len;
    std::unique_ptr<char[]> bytes;
};

int scan(const heap_text& h, std::vector<json_token>& tokens, int cap) {
    tokens.assign(static_cast<std::size_t>(cap), json_token{});
    return json_scan(h.bytes.get(), h.len, tokens.data(), cap);
}

int scan(const std::string& s, int cap = roomy) {
    heap_text h(s);
    std::vector<json_token> tokens;
    return scan(h, tokens, cap);
}

std::string token_text(const json_token& t) { return std::string(t.text, static_cast<std::size_t>(t.len)); }

struct result_case {
    std::string text;
    int expected;
};

TEST(JsonScan, ResultTable) {
    const result_case cases[] = {
        // Top level: only an object or an array.
        {"", SCAN_INCOMPLETE},
        {" \t\r\n", SCAN_INCOMPLETE},
        {"\"a\"", SCAN_INVALID},
        {"12", SCAN_INVALID},
        {"true", SCAN_INVALID},
        {"\v{}", SCAN_INVALID},  // vertical tab is not white space
        {"{}", 2},
        {" \n[] ", 4},
        {"{}xyz", 2},
        {"[1]]]", 3},
        // Bare keys.
        {"{name:1}", 8},
        {"{a_1B:1}", 8},
        {"{1a:1}", SCAN_INVALID},
        {"{_a:1}", SCAN_INVALID},
        {"{a-b:1}", SCAN_INVALID},
        // Optional commas.
        {"[1 2]", 5},
        {"[1,]", 4},
        {"{\"a\":1 \"b\":2}", 13},
        {"{a:1,}", 6},
        {"[,1]", SCAN_INVALID},
        {"[1,,2]", SCAN_INVALID},
        {"{,}", SCAN_INVALID},
        {"{a:1,,b:2}", SCAN_INVALID},
        // Structure.
        {"{\"a\" 1}", SCAN_INVALID},
        {"{\"a\":}", SCAN_INVALID},
        {"[}", SCAN_INVALID},
        {"{]", SCAN_INVALID},
        {"[{\"a\":[1,{\"b\":null}]},[[]]]", 27},
        // Literals.
        {"[true,false,null]", 17},
        {"[tr", SCAN_INCOMPLETE},
        {"[trux]", SCAN_INVALID},
        {"[nul]", SCAN_INVALID},
        {"[True]", SCAN_INVALID},
        // Numbers.
        {"[-1.5e+10]", 10},
        {"[1.5E-3,0,007]", 14},
        {"[-]", SCAN_INVALID},
        {"[1.]", SCAN_INVALID},
        {"[.5]", SCAN_INVALID},
        {"[+1]", SCAN_INVALID},
        {"[1e]", SCAN_INVALID},
        {"[1e+]", SCAN_INVALID},
        {"[1e", SCAN_INCOMPLETE},
        {"[1", SCAN_INCOMPLETE},
        {"[1x]", SCAN_INVALID},
        // Strings.
        {"[\"a\x01\"]", SCAN_INVALID},
        {"[\"a\x7f\"]", 6},
        {"[\"\\x\"]", SCAN_INVALID},
        {"[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"]", 20},
        {"[\"\\u12aF\"]", 10},
        {"[\"\\u12g4\"]", SCAN_INVALID},
        {"[\"\\u12\"]", SCAN_INVALID},
        {"[\"\\u12", SCAN_INCOMPLETE},
        {"[\"\xc3\xa9\"]", 6},
        // A lead byte takes its followers unexamined, quotes included.
        {"[\"\xe2\"]\"]", 7},
        {"[\"\xe2\"]", SCAN_INCOMPLETE},
        {"[\"\xf0\x9f\x98\x80\"]", 8},
        // A closing quote that is the last byte is never complete.
        {"[\"a\"", SCAN_INCOMPLETE},
    };
    for (const auto& c : cases) EXPECT_EQ(scan(c.text), c.expected) << "text: " << c.text;
}

TEST(JsonScan, NullOrNegativeInputIsInvalid) {
    json_token t[4];
    EXPECT_EQ(json_scan(nullptr, 2, t, 4), SCAN_INVALID);
    EXPECT_EQ(json_scan("{}", -1, t, 4), SCAN_INVALID);
}

struct expected_token {
    int type;
    int offset;  // of text from the input's start
    std::string text;
    int descendants;
};

void expect_tokens(const std::string& input, const std::vector<expected_token>& want) {
    heap_text h(input);
    std::vector<json_token> tokens;
    ASSERT_GT(scan(h, tokens, roomy), 0) << input;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const json_token& t = tokens[i];
        EXPECT_EQ(t.type, want[i].type) << input << " token " << i;
        EXPECT_EQ(t.text - h.bytes.get(), want[i].offset) << input << " token " << i;
        EXPECT_EQ(token_text(t), want[i].text) << input << " token " << i;
        EXPECT_EQ(t.descendants, want[i].descendants) << input << " token " << i;
    }
}

TEST(JsonScan, TokenLayout) {
    expect_tokens("{}", {{TOKEN_OBJECT, 0, "{}", 0}, {TOKEN_END, 2, "", 0}});
    expect_tokens("{\"a\":[1,true]}", {
        {TOKEN_OBJECT, 0, "{\"a\":[1,true]}", 4},
        {TOKEN_STRING, 2, "a", 0},
        {TOKEN_ARRAY, 5, "[1,true]", 2},
        {TOKEN_NUMBER, 6, "1", 0},
        {TOKEN_TRUE, 8, "true", 0},
        {TOKEN_END, 14, "", 0},
    });
    // Bare key, raw escapes, nested containers closed in the right order,
    // the end mark right after the value (not after trailing space).
    expect_tokens(" {k: {x:\"a\\\"b\"}, l:[[],-2.5e3, null, false]} ", {
        {TOKEN_OBJECT, 1, "{k: {x:\"a\\\"b\"}, l:[[],-2.5e3, null, false]}", 10},
        {TOKEN_STRING, 2, "k", 0},
        {TOKEN_OBJECT, 5, "{x:\"a\\\"b\"}", 2},
        {TOKEN_STRING, 6, "x", 0},
        {TOKEN_STRING, 9, "a\\\"b", 0},
        {TOKEN_STRING, 17, "l", 0},
        {TOKEN_ARRAY, 19, "[[],-2.5e3, null, false]", 4},
        {TOKEN_ARRAY, 20, "[]", 0},
        {TOKEN_NUMBER, 23, "-2.5e3", 0},
        {TOKEN_NULL, 31, "null", 0},
        {TOKEN_FALSE, 37, "false", 0},
        {TOKEN_END, 44, "", 0},
    });
}

const char* const valid_documents[] = {
    "{}",
    "[1 2]",
    "{\"a\":[1,true]}",
    "{name:\"x\\u00e9y\", list:[{\"n\":-1.25E+2},[],null,false], z:{}}",
    "[\"\xc3\xa9\\n\", 0.5e-1, [[[\"deep\"]]], {a:{b:{c:true}}}]",
};

TEST(JsonScan, DocumentOfNTokensNeedsRoomForNPlusOne) {
    for (const char* doc : valid_documents) {
        heap_text h(doc);
        std::vector<json_token> tokens;
        ASSERT_GT(scan(h, tokens, roomy), 0) << doc;
        const int n = tokens[0].descendants + 1;
        EXPECT_EQ(tokens[static_cast<std::size_t>(n)].type, TOKEN_END) << doc;
        for (int cap = 0; cap <= n; ++cap) EXPECT_EQ(scan(h, tokens, cap), SCAN_FULL) << doc << " cap " << cap;
        EXPECT_EQ(scan(h, tokens, n + 1), static_cast<int>(std::strlen(doc))) << doc;
    }
}

TEST(JsonScan, EveryCutOfAValidDocumentIsIncomplete) {
    for (const char* doc : valid_documents) {
        const std::string full(doc);
        for (std::size_t cut = 0; cut < full.size(); ++cut)
            EXPECT_EQ(scan(full.substr(0, cut)), SCAN_INCOMPLETE) << doc << " cut at " << cut;
    }
}

TEST(JsonScan, DeepNestingNeedsNoStack) {
    constexpr int depth = 200000;
    std::vector<json_token> tokens(depth + 1);
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    heap_text h(nested);
    EXPECT_EQ(json_scan(h.bytes.get(), h.len, tokens.data(), depth + 1), 2 * depth);
    EXPECT_EQ(tokens[0].descendants, depth - 1);
    EXPECT_EQ(tokens[depth - 1].len, 2);

    heap_text open_only(std::string(depth, '['));
    EXPECT_EQ(json_scan(open_only.bytes.get(), open_only.len, tokens.data(), depth + 1), SCAN_INCOMPLETE);
}

class JsonLookup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(json_scan(doc.data(), static_cast<int>(doc.size()), tokens, roomy), 0);
    }
    std::string find(const char* path) {
        const json_token* t = json_lookup(tokens, path);
        return t == nullptr ? "<none>" : token_text(*t);
    }
    std::string doc =
        "{\"method\":\"set\", id:7, a:{b:[10,[20,21],{name:\"x\"}]}, items:[1,2,3],"
        " dup:1, dup:2, \"a.b\":9, list:[{name:\"n0\"},{name:\"n1\"}], tail:{}}";
    json_token tokens[roomy];
};

TEST_F(JsonLookup, PathTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"method", "set"},
        {"id", "7"},
        {"a.b[1][0]", "20"},
        {"a.b[2].name", "x"},
        {"items[2]", "3"},
        {"items[0]", "1"},
        {"list[1].name", "n1"},
        {"tail", "{}"},         // found after skipping every container before it
        {"method.", "set"},     // one trailing dot is passed over
        {"dup", "1"},           // the first of duplicate keys wins
        {"", "<none>"},
        {"missing", "<none>"},
        {"items[3]", "<none>"},  // past the last element
        {"items.x", "<none>"},   // key on an array
        {"a[0]", "<none>"},      // index on an object
        {"items[x]", "<none>"},
        {"items[]", "<none>"},
        {"items[1", "<none>"},
        {"items[1x]", "<none>"},
        {"items[99999999999999999999]", "<none>"},
        {"a.b", "[10,[20,21],{name:\"x\"}]"},  // "a.b" as a path, not the key "a.b"
        {"id.x", "<none>"},      // a segment on a number
    };
    for (const auto& [path, want] : cases) EXPECT_EQ(find(path), want) << "path: " << path;
    EXPECT_EQ(json_lookup(tokens, nullptr), nullptr);
}

TEST_F(JsonLookup, StartsAtANestedContainer) {
    const json_token* a = json_lookup(tokens, "a");
    ASSERT_NE(a, nullptr);
    const json_token* t = json_lookup(a, "b[1][1]");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(token_text(*t), "21");
}

}  // namespace
