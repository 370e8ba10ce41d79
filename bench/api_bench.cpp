// Load generator for the data API benchmark (driven by api_bench.py).
//
//   api_bench store  SOCKET PREFIX REQUESTS CLIENTS   open + list + close, raw
//   api_bench get    PORT PATH REQUESTS CLIENTS       GET over HTTP, one connection each
//   api_bench call   PORT REQUESTS CLIENTS            POST a call, wait for its result
//   api_bench hold   PORT CALLS RESULT_CHARS [detached]
//                                                     starts CALLS calls and keeps their
//                                                     browsers waiting ("started"), then
//                                                     after a line on stdin posts each
//                                                     result ("posted"); exits on a line.
//                                                     detached: each browser leaves at once
//   post ID   (run as the script "post"; BENCH_PORT in the environment)
//
// Prints one line: requests, seconds, requests per second, p50 and p99 in ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "store/conn_server.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

int connect_tcp(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool send_all(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the peer closes; returns the bytes.
std::string read_to_close(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Reads until the bytes contain until.
bool read_until(int fd, const char* until) {
    std::string out;
    char buf[4096];
    while (out.find(until) == std::string::npos) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

std::string http_request(const char* method, const std::string& path, const std::string& body) {
    return std::string(method) + " " + path + " HTTP/1.1\r\nHost: b\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

struct run_result {
    std::vector<double> ms;
    int failures = 0;
};

template <class F>
void run(long requests, int clients, F one) {
    std::atomic<long> next{0};
    std::vector<run_result> per(static_cast<std::size_t>(clients));
    auto start = clock_type::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            for (long i; (i = next++) < requests;) {
                auto t0 = clock_type::now();
                bool ok = one(i);
                auto t1 = clock_type::now();
                if (!ok) ++per[static_cast<std::size_t>(t)].failures;
                per[static_cast<std::size_t>(t)].ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
        });
    for (auto& th : threads) th.join();
    double secs = std::chrono::duration<double>(clock_type::now() - start).count();
    std::vector<double> all;
    int failures = 0;
    for (auto& r : per) {
        all.insert(all.end(), r.ms.begin(), r.ms.end());
        failures += r.failures;
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? 0.0 : all[static_cast<std::size_t>(p * (all.size() - 1))]; };
    std::printf("requests=%ld seconds=%.3f rps=%.0f p50_ms=%.3f p99_ms=%.3f failures=%d\n", requests, secs,
                requests / secs, pct(0.50), pct(0.99), failures);
}

int count_entry(store_conn*, void* ctx, const char*, const char*, const char*) {
    ++*static_cast<int*>(ctx);
    return 0;
}

int post_result(int port, const char* id, const std::string& text) {
    int fd = connect_tcp(port);
    if (fd < 0) return 1;
    send_all(fd, http_request("POST", std::string("/_resp/") + id, text));
    read_to_close(fd);
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    if (self.size() >= 4 && self.compare(self.size() - 4, 4, "post") == 0) {
        const char* port = std::getenv("BENCH_PORT");
        return argc > 1 && port ? post_result(std::atoi(port), argv[1], std::string("done ") + argv[1]) : 1;
    }
    if (argc < 2) return 2;
    std::string mode = argv[1];
    if (mode == "store" && argc == 6) {
        std::string prefix = argv[3];
        run(std::atol(argv[4]), std::atoi(argv[5]), [&](long) {
            store_conn c;
            if (store_open(&c) != 0) return false;
            int n = 0;
            int rc = store_list(&c, prefix.c_str(), &n, count_entry);
            store_close(&c);
            return rc == 0 && n > 0;
        });
        return 0;
    }
    if (mode == "get" && argc == 6) {
        int port = std::atoi(argv[2]);
        std::string req = http_request("GET", argv[3], "");
        run(std::atol(argv[4]), std::atoi(argv[5]), [&](long) {
            int fd = connect_tcp(port);
            if (fd < 0) return false;
            bool ok = send_all(fd, req) && read_to_close(fd).size() > 100;
            ::close(fd);
            return ok;
        });
        return 0;
    }
    if (mode == "call" && argc == 5) {
        int port = std::atoi(argv[2]);
        run(std::atol(argv[3]), std::atoi(argv[4]), [&](long i) {
            int fd = connect_tcp(port);
            if (fd < 0) return false;
            std::string body = "{\"method\":\"post\",\"id\":" + std::to_string(i + 1) + "}";
            bool ok = send_all(fd, http_request("POST", "/_api/", body)) &&
                      read_to_close(fd).find("\"done ") != std::string::npos;
            ::close(fd);
            return ok;
        });
        return 0;
    }
    if (mode == "hold" && (argc == 5 || argc == 6)) {
        const bool detached = argc == 6 && std::string(argv[5]) == "detached";
        int port = std::atoi(argv[2]);
        long calls = std::atol(argv[3]);
        std::string result(static_cast<std::size_t>(std::atol(argv[4])), 'r');
        std::vector<int> waiters;
        for (long i = 1; i <= calls; ++i) {
            int fd = connect_tcp(port);
            if (fd < 0) return 1;
            std::string body = "{\"method\":\"noop\",\"id\":" + std::to_string(i) + "}";
            if (!send_all(fd, http_request("POST", "/_api/", body)) || !read_until(fd, "\r\n\r\n")) return 1;
            if (detached)
                ::close(fd);
            else
                waiters.push_back(fd);
        }
        std::string line;
        std::printf("started\n");
        std::fflush(stdout);
        std::getline(std::cin, line);
        // Each result answers its browser; the call keeps the text until it expires.
        for (long i = 1; i <= calls; ++i) {
            if (post_result(port, std::to_string(i).c_str(), result) != 0) return 1;
            if (detached) continue;
            int fd = waiters[static_cast<std::size_t>(i - 1)];
            read_to_close(fd);
            ::close(fd);
        }
        std::printf("posted\n");
        std::fflush(stdout);
        std::getline(std::cin, line);
        return 0;
    }
    return 2;
}
