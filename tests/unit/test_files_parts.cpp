// The file server's helpers: path decoding and containment, MIME types,
// byte ranges, HTTP dates and conditional requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "webkvd/files/http_date.hpp"
#include "webkvd/files/listing.hpp"
#include "webkvd/files/mime.hpp"
#include "webkvd/files/path.hpp"
#include "webkvd/files/range.hpp"
#include "webkvd/files/validators.hpp"

using files::path_status;

TEST(FilesPath, DecodesAndRefusesWhatCouldLeaveTheRoot) {
    struct row {
        const char* raw;
        path_status want;
        const char* decoded;
    };
    const std::vector<row> rows = {
        {"/", path_status::ok, "/"},
        {"/a/b.js", path_status::ok, "/a/b.js"},
        {"/with%20space.html", path_status::ok, "/with space.html"},
        {"/%41%62", path_status::ok, "/Ab"},
        {"/a+b", path_status::ok, "/a+b"},
        {"/..hidden/x", path_status::ok, "/..hidden/x"},  // only whole segments are dot segments
        {"/a.../b", path_status::ok, "/a.../b"},
        {"/..", path_status::refused, ""},
        {"/../etc/passwd", path_status::refused, ""},
        {"/a/./b", path_status::refused, ""},
        {"/a/.", path_status::refused, ""},
        {"/%2e%2e/x", path_status::refused, ""},
        {"/%2E./x", path_status::refused, ""},
        {"/.%2e", path_status::refused, ""},
        {"/a%2f..%2fb", path_status::refused, ""},
        {"/a%2Fb", path_status::refused, ""},
        {"/a%00.html", path_status::refused, ""},
        {"/bad%zz", path_status::malformed, ""},
        {"/cut%4", path_status::malformed, ""},
        {"/cut%", path_status::malformed, ""},
        {"", path_status::malformed, ""},
        {"relative/x", path_status::malformed, ""},
    };
    for (const auto& r : rows) {
        std::string out;
        EXPECT_EQ(files::decode_path(r.raw, out), r.want) << r.raw;
        if (r.want == path_status::ok) {
            EXPECT_EQ(out, r.decoded) << r.raw;
        }
    }
}

TEST(FilesPath, ContainmentComparesWholeSegments) {
    EXPECT_TRUE(files::is_within("/srv/www", "/srv/www"));
    EXPECT_TRUE(files::is_within("/srv/www", "/srv/www/a"));
    EXPECT_FALSE(files::is_within("/srv/www", "/srv/www2/a"));  // a sibling sharing the prefix
    EXPECT_FALSE(files::is_within("/srv/www", "/srv"));
    EXPECT_TRUE(files::is_within("/", "/etc/hosts"));
    EXPECT_FALSE(files::is_within("", "/etc/hosts"));  // an unresolvable root serves nothing
}

TEST(FilesMime, DeviceEntriesOverrideCommonTypes) {
    struct row {
        const char* name;
        const char* type;
    };
    const std::vector<row> rows = {
        {"notes.txt", "application/octet-stream"},
        {"NOTES.TXT", "application/octet-stream"},
        {"run.sh", "application/octet-stream"},
        {"boot.log", "text/html; charset=utf-8"},
        {"index.html", "text/html"},
        {"app.js", "application/javascript"},
        {"style.css", "text/css"},
        {"logo.PNG", "image/png"},
        {"archive.tar.gz", "application/gzip"},
        {"noext", "text/plain"},
        {"odd.xyz", "text/plain"},
    };
    for (const auto& r : rows) EXPECT_EQ(files::mime_type(r.name), r.type) << r.name;
}

TEST(FilesRange, SingleByteRanges) {
    using files::range_kind;
    struct row {
        const char* value;
        std::uint64_t size;
        range_kind kind;
        std::uint64_t first, last;
    };
    const std::vector<row> rows = {
        {"bytes=0-4", 10, range_kind::partial, 0, 4},
        {"bytes=5-", 10, range_kind::partial, 5, 9},
        {"bytes=-3", 10, range_kind::partial, 7, 9},
        {"bytes=-30", 10, range_kind::partial, 0, 9},          // suffix longer than the file
        {"bytes=2-100", 10, range_kind::partial, 2, 9},        // end past the file is cut
        {"Bytes= 1-1", 10, range_kind::partial, 1, 1},
        {"bytes=9-99999999999999999999999", 10, range_kind::partial, 9, 9},
        {"bytes=10-", 10, range_kind::unsatisfiable, 0, 0},
        {"bytes=99999999999999999999999-", 10, range_kind::unsatisfiable, 0, 0},
        {"bytes=-0", 10, range_kind::unsatisfiable, 0, 0},
        {"bytes=0-", 0, range_kind::unsatisfiable, 0, 0},
        {"bytes=-1", 0, range_kind::unsatisfiable, 0, 0},
        {"bytes=0-1,3-4", 10, range_kind::whole, 0, 0},        // several ranges: the whole file
        {"bytes=4-2", 10, range_kind::whole, 0, 0},
        {"bytes=a-b", 10, range_kind::whole, 0, 0},
        {"bytes=-", 10, range_kind::whole, 0, 0},
        {"bytes=1", 10, range_kind::whole, 0, 0},
        {"items=0-1", 10, range_kind::whole, 0, 0},
        {"", 10, range_kind::whole, 0, 0},
    };
    for (const auto& r : rows) {
        files::byte_range br;
        EXPECT_EQ(files::parse_range(r.value, r.size, br), r.kind) << r.value;
        if (r.kind == range_kind::partial) {
            EXPECT_EQ(br.first, r.first) << r.value;
            EXPECT_EQ(br.last, r.last) << r.value;
        }
    }
}

TEST(FilesHttpDate, FormatsAndParsesTheThreeForms) {
    constexpr std::time_t t = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    EXPECT_EQ(files::format_http_date(t), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(files::parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT"), t);
    EXPECT_EQ(files::parse_http_date("Sunday, 06-Nov-94 08:49:37 GMT"), t);
    EXPECT_EQ(files::parse_http_date("Sun Nov  6 08:49:37 1994"), t);
    for (const char* bad : {"", "yesterday", "Sun, 06 Nov 1994 08:49:37 CET", "Sun, 06 Foo 1994 08:49:37 GMT",
                            "Sun, 36 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994"})
        EXPECT_FALSE(files::parse_http_date(bad).has_value()) << bad;
}

namespace {

using fields = std::vector<std::pair<std::string, std::string>>;

struct request {
    fields stored;
    net::http_message m;
    explicit request(fields f) : stored(std::move(f)) {
        m.method = "GET";
        for (const auto& [n, v] : stored) m.headers.push_back({n, v});
    }
};

}  // namespace

TEST(FilesValidators, ConditionalGet) {
    struct stat st {};
    st.st_ino = 42;
    st.st_size = 1234;
    st.st_mtim.tv_sec = 784111777;
    const std::string etag = files::make_etag(st);
    const std::time_t mtime = st.st_mtim.tv_sec;
    const std::string date = files::format_http_date(mtime);

    struct row {
        fields sent;
        bool not_modified;
    };
    const std::vector<row> rows = {
        {{}, false},
        {{{"If-None-Match", etag}}, true},
        {{{"If-None-Match", "\"other\", " + etag}}, true},
        {{{"If-None-Match", "W/" + etag}}, true},  // weak comparison
        {{{"If-None-Match", "*"}}, true},
        {{{"If-None-Match", "\"other\""}}, false},
        {{{"If-Modified-Since", date}}, true},
        {{{"If-Modified-Since", files::format_http_date(mtime + 60)}}, true},
        {{{"If-Modified-Since", files::format_http_date(mtime - 1)}}, false},
        {{{"If-Modified-Since", "not a date"}}, false},
        // A tag that does not match decides, whatever the date says.
        {{{"If-None-Match", "\"other\""}, {"If-Modified-Since", date}}, false},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        request r(rows[i].sent);
        EXPECT_EQ(files::is_not_modified(r.m, etag, mtime), rows[i].not_modified) << "row " << i;
    }

    EXPECT_TRUE(files::if_range_allows(request(fields{}).m, etag, mtime));
    EXPECT_TRUE(files::if_range_allows(request(fields{{"If-Range", etag}}).m, etag, mtime));
    EXPECT_FALSE(files::if_range_allows(request(fields{{"If-Range", "W/" + etag}}).m, etag, mtime));
    EXPECT_FALSE(files::if_range_allows(request(fields{{"If-Range", "\"old\""}}).m, etag, mtime));
    EXPECT_TRUE(files::if_range_allows(request(fields{{"If-Range", date}}).m, etag, mtime));
    EXPECT_FALSE(files::if_range_allows(request(fields{{"If-Range", files::format_http_date(mtime - 5)}}).m, etag, mtime));
}

TEST(FilesValidators, TagChangesWithContentAndTime) {
    struct stat a {};
    a.st_ino = 1;
    a.st_size = 10;
    a.st_mtim.tv_sec = 100;
    struct stat b = a;
    b.st_mtim.tv_nsec = 5;  // rewritten within the same second
    struct stat c = a;
    c.st_size = 11;
    EXPECT_NE(files::make_etag(a), files::make_etag(b));
    EXPECT_NE(files::make_etag(a), files::make_etag(c));
    EXPECT_EQ(files::make_etag(a).front(), '"');
}

TEST(FilesListing, EscapesNamesInTextAndLinks) {
    std::vector<files::dir_entry> entries = {
        {"<script>x</script>.txt", false, 7, 0},
        {"a b", true, 0, 0},
        {"javascript:alert(1)", false, 1, 0},
    };
    std::string page = files::listing_html("/dir <i>/", entries, true);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;x&lt;/script&gt;.txt"), std::string::npos);
    EXPECT_NE(page.find("href=\"%3Cscript%3Ex%3C%2Fscript%3E.txt\""), std::string::npos);
    EXPECT_NE(page.find("href=\"a%20b/\""), std::string::npos);
    EXPECT_NE(page.find("href=\"javascript%3Aalert%281%29\""), std::string::npos);
    EXPECT_NE(page.find("Index of /dir &lt;i&gt;/"), std::string::npos);
    EXPECT_NE(page.find("href=\"../\""), std::string::npos);
    EXPECT_EQ(files::listing_html("/_root/", {}, false).find("href=\"../\""), std::string::npos);
}
