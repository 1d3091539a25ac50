// The FIFO that systemd passes, through libsystemd: a socket unit with
// ListenFIFO= passes the one descriptor, held open for reading and writing.

#include "pipe.h"

#include <cstdio>
#include <cstdlib>
#include <systemd/sd-daemon.h>

int activated_fifo()
{
    int passed = sd_listen_fds(0);
    if (passed == 0)
        return -1;
    if (passed != 1) {
        std::fprintf(stderr, "trapsink: LISTEN_FDS=%s: expected the one FIFO\n",
                     std::getenv("LISTEN_FDS"));
        std::exit(1);
    }
    return SD_LISTEN_FDS_START;
}
