#include "webkvd/api/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "webkvd/net/connection.hpp"

extern char** environ;

namespace {

constexpr const char* null_device = "/dev/null";
constexpr const char* shell_path = "/bin/sh";
constexpr int first_inherited_fd = 3;  // descriptors from here on are closed

std::vector<pid_t>& children() {
    static std::vector<pid_t> pids;
    return pids;
}

// The one-second tick collects ended scripts; registered with the first start.
void register_reaper() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    net::loop::on_tick(script_reap);
}

int spawn(const char* file, std::vector<char*>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return rc;
    if (int rc = posix_spawnattr_init(&attr); rc != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    int rc = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, null_device, O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, null_device, O_WRONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // Sockets of the server (listeners, browsers) must not live on in a
    // script: a closed browser connection would stay open, and a restarted
    // server could not bind its port again.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, first_inherited_fd);

    // The server ignores SIGPIPE; a script gets the usual dispositions and
    // an empty mask, and its own process group so that a signal meant for
    // the server's group (a terminal's interrupt) does not reach it.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0)
        rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    if (rc == 0) rc = posix_spawn(&pid, file, &actions, &attr, argv.data(), environ);
    if (rc == 0) children().push_back(pid);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

}  // namespace

int script_start(const std::string& path, const std::string& name, const std::vector<std::string>& args) {
    register_reaper();
    script_reap();  // keeps the list short even between ticks

    std::vector<char*> argv;
    argv.reserve(args.size() + 3);
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = spawn(path.c_str(), argv);
    if (rc != ENOEXEC) return rc;

    // No "#!" line: the shell reads the file as its script, as a shell
    // would have done when handed the bare name.
    argv[0] = const_cast<char*>(path.c_str());
    argv.insert(argv.begin(), const_cast<char*>(shell_path));
    return spawn(shell_path, argv);
}

void script_reap() {
    auto& pids = children();
    for (std::size_t i = 0; i < pids.size();) {
        int status = 0;
        pid_t r = waitpid(pids[i], &status, WNOHANG);
        // Ended (r == pid) or no longer ours to wait for (ECHILD): forget it.
        if (r == pids[i] || (r < 0 && errno != EINTR)) {
            pids[i] = pids.back();
            pids.pop_back();
        } else {
            ++i;
        }
    }
}

std::size_t script_running() { return children().size(); }
