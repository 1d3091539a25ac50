// Taking the pipe: the FIFO that systemd passes, or the one at a path, made
// when nothing is there; held for reading and writing, locked against a
// second reader, and given the mode, group and capacity asked for.
#pragma once

// The FIFO that systemd passes to this process (sd_listen_fds(3)), or -1
// when it passes none. A trapsink built without libsystemd cannot take one
// and says so (without_systemd.cpp).
int activated_fifo();

// Opens the FIFO at path for reading and writing, making it, mode 0600,
// when nothing is there.
int open_fifo(const char *path);

// Takes the FIFO at path away: opens it for reading and writing, so that
// what waits in it can still be read, then gives it mode 0, so that every
// handler from now on is refused (but one run as root), and removes the
// path where its directory lets this process. Returns -1 when nothing is
// at path; anything but a FIFO is refused and left as it is.
int take_fifo_away(const char *path);

// Refuses anything but a FIFO, and a FIFO that another trapsink reads (the
// two would take each other's traps); then sets the group and mode asked
// for (each < 0: not asked for), makes the descriptor non-blocking and
// enlarges the pipe. name is the FIFO as messages show it.
void take_fifo(int fd, const char *name, long mode, long gid);
