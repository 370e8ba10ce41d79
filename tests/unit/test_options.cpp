// Command-line parsing of webkvd, as a table of argument lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "webkvd/main/config.hpp"
#include "webkvd/main/options.hpp"

namespace {

struct parsed {
    options_outcome outcome;
    server_config cfg;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "webkvd");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    config_defaults();
    parsed p{options_outcome::run, config};
    p.outcome = options_parse(static_cast<int>(args.size()), argv.data(), p.cfg);
    return p;
}

struct expected {
    std::string http_port = "";
    std::string https_port = "";
    std::string www_root = default_www_root;
    std::string reverse_host = "";
    std::string cert = default_cert;
    int log_level = default_log_level;
    int daemon_mode = 0;
    options_outcome outcome = options_outcome::run;
};

struct option_case {
    const char* name;
    std::vector<std::string> args;
    expected want;
};

std::string many(char ch, std::size_t n) { return std::string(n, ch); }

class options_table : public ::testing::TestWithParam<option_case> {};

TEST_P(options_table, fills_config) {
    const option_case& tc = GetParam();
    parsed p = parse(tc.args);
    EXPECT_EQ(p.outcome, tc.want.outcome);
    EXPECT_EQ(p.cfg.http_port, tc.want.http_port);
    EXPECT_EQ(p.cfg.https_port, tc.want.https_port);
    EXPECT_EQ(p.cfg.www_root, tc.want.www_root);
    EXPECT_EQ(p.cfg.reverse_host, tc.want.reverse_host);
    EXPECT_EQ(p.cfg.cert, tc.want.cert);
    EXPECT_EQ(p.cfg.log_level, tc.want.log_level);
    EXPECT_EQ(p.cfg.daemon_mode, tc.want.daemon_mode);
    EXPECT_EQ(p.cfg.supervisor_pid, 0);
}

const option_case cases[] = {
    {"defaults", {}, {}},
    {"short_forms",
     {"-p", "8000", "-s", "127.0.0.1:8443", "-c", "/c.pem", "-r", "10.1.1.1:80", "-w", "/w/", "-l", "0", "-d"},
     {"8000", "127.0.0.1:8443", "/w/", "10.1.1.1:80", "/c.pem", 0, 1}},
    {"long_forms",
     {"--http_port", "8000", "--https_port=8443", "--cert", "/c.pem", "--reverse=h:1", "--www", "/w/", "--log", "5"},
     {"8000", "8443", "/w/", "h:1", "/c.pem", 5}},
    {"attached_short_values", {"-p8000", "-l-2"}, {.http_port = "8000", .log_level = -2}},
    {"repeated_option_replaces_whole_value", {"-w", "/a/long/root/", "-w", "/b/"}, {.www_root = "/b/"}},
    {"log_text_reads_as_zero", {"-l", "verbose"}, {.log_level = 0}},
    {"log_leading_digits", {"-l", "4x"}, {.log_level = 4}},
    {"cut_to_63", {"-p", many('p', 200), "-s", many('s', 64)}, {.http_port = many('p', 63), .https_port = many('s', 63)}},
    {"cut_to_127", {"-w", many('w', 200), "-r", many('r', 128)}, {.www_root = many('w', 127), .reverse_host = many('r', 127)}},
    {"cut_to_255", {"-c", many('c', 300)}, {.cert = many('c', 255)}},
    {"exact_field_size_minus_one_kept", {"-p", many('p', 63)}, {.http_port = many('p', 63)}},
    {"unknown_option_stops_parsing", {"-x", "-p", "8000"}, {}},
    {"unknown_long_option_stops_parsing", {"-s", "1", "--verbose", "-p", "8000"}, {.https_port = "1"}},
    {"missing_argument_stops_parsing", {"-d", "-p"}, {.daemon_mode = 1}},
    {"h_without_value_is_a_complaint_not_usage", {"-p", "1", "-h"}, {.http_port = "1"}},
    {"h_with_value_asks_for_usage", {"-h", "x", "-p", "8000"}, {.outcome = options_outcome::usage}},
    {"non_options_ignored", {"extra", "-p", "8000", "more"}, {.http_port = "8000"}},
    {"double_dash_ends_options", {"--", "-p", "8000"}, {}},
};

INSTANTIATE_TEST_SUITE_P(webkvd, options_table, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(options, parse_can_run_twice) {
    // The scan restarts, so a second parse reads its own arguments.
    EXPECT_EQ(parse({"-x"}).cfg.http_port, std::string());
    EXPECT_EQ(parse({"-p", "9"}).cfg.http_port, std::string("9"));
}

TEST(options, usage_text_names_the_program) {
    char buf[512] = {};
    std::FILE* f = fmemopen(buf, sizeof buf - 1, "w");
    ASSERT_NE(f, nullptr);
    options_write_usage(f, "./webkvd");
    std::fclose(f);
    EXPECT_EQ(std::string(buf),
              "Usage: ./webkvd [-p http_port] [-s https_port] [-l log] [-r reverse_host][-c cert] [-w www_root]\n"
              "Example: ./bin/webkvd -p 8000 -s 8443 -r 10.1.1.1:80 -c ../tests/ssl.pem -w ../tests/web_root\n");
}

TEST(options, www_opts_follow_the_www_option) {
    parsed p = parse({"-w", "/srv/www/"});
    config = p.cfg;
    config_options_read();
    EXPECT_EQ(www_opts.document_root, "/srv/www/");
    EXPECT_FALSE(upload_opts.enable_directory_listing);
    EXPECT_FALSE(upload_opts.run_programs);
    EXPECT_EQ(upload_opts.document_root, upload_dir());
    EXPECT_EQ(upload_dir().back(), '/');
}

}  // namespace
