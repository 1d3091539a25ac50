// Systemd's word that a descriptor is the journal: a service's standard
// output and error are a stream to it, and JOURNAL_STREAM holds that
// stream's device and inode (systemd.exec(5)). Shared by the handler,
// whose standard error it may be, and the reader, whose standard output.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

inline bool is_journal_stream(int fd)
{
    const char *stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    char *colon = nullptr;
    unsigned long long device = strtoull(stream, &colon, 10);
    struct stat st;
    return *colon == ':' && fstat(fd, &st) == 0 && st.st_dev == device
           && st.st_ino == strtoull(colon + 1, nullptr, 10);
}
