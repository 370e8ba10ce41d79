#include "webkvd/cgi/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

namespace cgi {

namespace {

constexpr int first_unshared_fd = 3;  // after standard input, output and error

struct fd_pair {
    int fds[2] = {-1, -1};
    ~fd_pair() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    int take(int i) {
        int fd = fds[i];
        fds[i] = -1;
        return fd;
    }
};

bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

int spawn_program(const std::string& path, const std::vector<std::string>& env, child& out) {
    fd_pair in, outp;
    if (::pipe2(in.fds, O_CLOEXEC) != 0 || ::pipe2(outp.fds, O_CLOEXEC) != 0) return errno;
    if (!set_nonblocking(in.fds[1]) || !set_nonblocking(outp.fds[0])) return errno;

    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::string dir = directory_of(path);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (int rc = ::posix_spawn_file_actions_init(&fa); rc != 0) return rc;
    if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
        ::posix_spawn_file_actions_destroy(&fa);
        return rc;
    }
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    int rc = ::posix_spawn_file_actions_adddup2(&fa, in.fds[0], STDIN_FILENO);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&fa, outp.fds[1], STDOUT_FILENO);
    if (rc == 0) rc = ::posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&fa, first_unshared_fd);
    // The server ignores SIGPIPE; the program must get the usual signals.
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0)
        rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    if (rc == 0) rc = ::posix_spawn(&pid, path.c_str(), &fa, &attr, argv, envp.data());
    ::posix_spawn_file_actions_destroy(&fa);
    ::posix_spawnattr_destroy(&attr);
    if (rc != 0) return rc;

    out.pid = pid;
    out.stdin_fd = in.take(1);
    out.stdout_fd = outp.take(0);
    return 0;
}

void kill_program(pid_t pid) {
    if (pid <= 0) return;
    if (::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
}

}  // namespace cgi
