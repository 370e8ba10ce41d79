// Request rate of the store daemon: a loop of set and get requests over one
// connection, each waiting for its reply, through the store library.
// usage: rook_bench_larkd SECONDS   (socket from LARKD_SOCKET)
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "store/conn_server.hpp"

namespace {

constexpr char usage_text[] = "usage: rook_bench_larkd SECONDS\n";
constexpr char open_failed_text[] = "rook_bench_larkd: cannot connect to the store daemon\n";
constexpr char request_failed_text[] = "rook_bench_larkd: request failed (%d)\n";
constexpr char result_format[] = "requests %lld seconds %.3f requests_per_second %.0f\n";
constexpr char bench_key[] = "bench_key";
constexpr char bench_value[] = "some value of ordinary size";
constexpr int check_clock_every = 256;
constexpr double ns_per_s = 1e9;

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / ns_per_s;
}

// One request and its one reply frame.
int round_trip(store_conn* c, int frame_len) {
    int rc = store_send_all(c, frame_len, store_set_send_budget_ms);
    return rc != store_ok ? rc : store_read_frame(c);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    double seconds = std::atof(argv[1]);
    store_conn c{};
    if (store_open(&c) != store_ok) {
        std::fputs(open_failed_text, stderr);
        return 1;
    }
    long long requests = 0;
    double start = now_s();
    double elapsed = 0;
    for (;;) {
        int rc = round_trip(&c, store_build_set(&c, store_word_set, bench_key, sizeof bench_key - 1, bench_value,
                                                sizeof bench_value - 1));
        if (rc == store_ok) rc = round_trip(&c, store_build_word_arg(&c, store_word_get, bench_key));
        if (rc != store_ok) {
            std::fprintf(stderr, request_failed_text, rc);
            store_close(&c);
            return 1;
        }
        requests += 2;
        if (requests % check_clock_every == 0) {
            elapsed = now_s() - start;
            if (elapsed >= seconds) break;
        }
    }
    store_close(&c);
    std::printf(result_format, requests, elapsed, static_cast<double>(requests) / elapsed);
    return 0;
}
