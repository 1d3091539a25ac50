#include "pipe.h"

#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A larger pipe lets bursts of traps in without refusals while the reader
// is busy; not all systems allow it, and nothing depends on it.
constexpr int PIPE_CAPACITY = 1 << 20;

const char *file_kind(mode_t mode)
{
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "something else";
}

void refuse_all_but_a_fifo(int fd, const char *name)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        fail("Error opening FIFO", name);
    if (!S_ISFIFO(st.st_mode)) {
        std::fprintf(stderr, "trapsink: '%s' is %s, not a FIFO: remove it or name another path\n",
                     name, file_kind(st.st_mode));
        std::exit(1);
    }
}

}  // namespace

// One read-write open gives both ends (fifo(7)): the write end keeps the
// pipe from reaching end-of-file when the last handler closes it, and lets
// handlers open it while this process lives. -m widens the mode only once
// the path is known to be a FIFO.
int open_fifo(const char *path)
{
    if (mkfifo(path, 0600) != 0 && errno != EEXIST)
        fail("Error creating FIFO", path);
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail("Error opening FIFO", path);
    return fd;
}

// No lock is asked for: the lock of a FIFO that systemd holds outlives the
// trapsink that took it (it belongs to the open file, which systemd keeps
// open), and the one taking the pipe away comes after that reader.
int take_fifo_away(const char *path)
{
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return -1;
    if (fd < 0)
        fail("Error opening FIFO", path);
    refuse_all_but_a_fifo(fd, path);
    // The mode alone needs no privilege but the FIFO's own: the reader
    // that systemd runs owns it, and the directory, /run, is not its own
    // to remove the path from (systemd removes it once it closes the pipe).
    if (fchmod(fd, 0) != 0)
        fail("Error setting the mode of FIFO", path);
    if (unlink(path) != 0 && errno != EACCES && errno != EPERM && errno != EROFS)
        fail("Error removing FIFO", path);
    return fd;
}

void take_fifo(int fd, const char *name, long mode, long gid)
{
    refuse_all_but_a_fifo(fd, name);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            fail("Error locking FIFO", name);
        std::fprintf(stderr, "trapsink: '%s' is read by another trapsink already\n", name);
        std::exit(1);
    }
    if (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0)
        fail("Error setting the group of FIFO", name);
    if (mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0)
        fail("Error setting the mode of FIFO", name);
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    (void)fcntl(fd, F_SETPIPE_SZ, PIPE_CAPACITY);
}
