// The floor for the upload benchmark: accepts one loopback connection,
// copies every byte it receives into a file with read(2)/write(2) in 64 KiB
// pieces, closes the file, then closes the connection.
// Usage: upload_bench_floor PORT_FILE OUTPUT_FILE  (writes the port it listens on to PORT_FILE)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace {
constexpr std::size_t piece_bytes = 64 * 1024;
char buf[piece_bytes];
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT_FILE OUTPUT_FILE\n", argv[0]);
        return 2;
    }
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (ls < 0 || ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 1) != 0 ||
        ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
        std::perror("listen");
        return 1;
    }
    if (std::FILE* pf = std::fopen(argv[1], "w")) {
        std::fprintf(pf, "%u\n", ntohs(a.sin_port));
        std::fclose(pf);
    }
    int c = ::accept(ls, nullptr, nullptr);
    int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (c < 0 || out < 0) {
        std::perror("accept/open");
        return 1;
    }
    for (;;) {
        ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = ::write(out, buf + off, static_cast<std::size_t>(n - off));
            if (w <= 0) return 1;
            off += w;
        }
    }
    ::close(out);
    ::close(c);
    ::close(ls);
    return 0;
}
