// Daemon mode: detach, then fork the server child again each time it exits,
// until SIGUSR1 has arrived.
#pragma once

// Forks (the launching process exits 0), becomes a session leader with its
// standard streams on /dev/null, opens syslog, and supervises server
// children that run serve().  Exits with status 1 when it stops.
[[noreturn]] void supervisor_start(void (*serve)());

// SIGUSR1 handler of the supervisor: asks it to stop restarting.
void on_sigusr1(int sig);
