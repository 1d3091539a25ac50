// What a trapsink built without libsystemd has in place of socket
// activation and journal entries: it says what it cannot do, where systemd
// would have it do that, instead of doing something else without a word.

#include "journal.h"
#include "pipe.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int activated_fifo()
{
    const char *pid = std::getenv("LISTEN_PID");
    if (std::getenv("LISTEN_FDS") == nullptr || pid == nullptr
        || std::strtol(pid, nullptr, 10) != getpid())
        return -1;
    std::fputs("trapsink: built without libsystemd: cannot take the FIFO that systemd passes\n",
               stderr);
    std::exit(1);
}

const RecordSink *journal_sink()
{
    std::fputs("trapsink: built without libsystemd: traps are printed, not sent to the journal\n",
               stderr);
    return nullptr;
}
