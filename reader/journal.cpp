#include "journal.h"

#include "output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>
// The entries carry no CODE_FILE, CODE_LINE and CODE_FUNC of trapsink's own.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace {

// A text that grows as records come in.
struct Buffer {
    char *data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

void add(Buffer &buffer, const char *text, std::size_t length)
{
    if (buffer.size + length > buffer.capacity) {
        std::size_t grown = std::max({buffer.capacity * 2, buffer.size + length, std::size_t{4096}});
        auto *moved = static_cast<char *>(std::realloc(buffer.data, grown));
        if (moved == nullptr)
            fail("Error keeping a trap in", "memory");
        buffer.data = moved;
        buffer.capacity = grown;
    }
    std::memcpy(buffer.data + buffer.size, text, length);
    buffer.size += length;
}

void add(Buffer &buffer, const char *text)
{
    add(buffer, text, std::strlen(text));
}

// Where the journal takes entries (its native protocol, systemd-journald(8)),
// and the largest field and entry it keeps: it drops larger ones without a
// word to the sender.
constexpr char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";
constexpr std::size_t JOURNAL_FIELD_MAX = std::size_t{768} << 20;
constexpr std::size_t JOURNAL_ENTRY_MAX = std::size_t{770} << 20;
// The record being collected, as its MESSAGE field.
constexpr char MESSAGE[] = "MESSAGE=";
Buffer entry;

// The name snmpTrapOID.0 in each form a trap receiver's output options give
// it: with its module, bare, in full, numeric, or without any MIB loaded.
// The name's own bytes decide: only '.' or ':' (or nothing) before
// snmpTrapOID.0.
bool names_trap_oid(const char *name, std::size_t length)
{
    auto ends_with = [&](const char *tail) {
        std::size_t size = std::strlen(tail);
        if (length < size || std::memcmp(name + length - size, tail, size) != 0)
            return false;
        char before = length == size ? '.' : name[length - size - 1];
        return before == '.' || before == ':';
    };
    auto is = [&](const char *text) {
        return length == std::strlen(text) && std::memcmp(name, text, length) == 0;
    };
    return ends_with("snmpTrapOID.0") || is(".1.3.6.1.6.3.1.1.4.1.0")
           || is("1.3.6.1.6.3.1.1.4.1.0") || is("iso.3.6.1.6.3.1.1.4.1.0");
}

// The sender's address in a transport address as the trap receiver writes
// it, "UDP: [192.0.2.7]:37399->[192.0.2.1]:162" or "UDP/IPv6: [::1]:35027":
// what stands in the brackets after the transport's name, if it is an IP
// address (hex digits, dots and colons); else nullptr.
const char *source_address(const char *line, const char *line_end, const char **address_end)
{
    const auto *colon = static_cast<const char *>(std::memchr(line, ':', line_end - line));
    if (colon == nullptr || line_end - colon < 3 || colon[1] != ' ' || colon[2] != '[')
        return nullptr;
    const char *address = colon + 3;
    const char *end = address;
    while (end < line_end && (std::isxdigit(static_cast<unsigned char>(*end)) != 0 || *end == '.' || *end == ':'))
        ++end;
    if (end == address || end == line_end || *end != ']')
        return nullptr;
    *address_end = end;
    return address;
}

void begin_entry(long /*number*/)
{
    entry.size = 0;
    add(entry, MESSAGE);
}

void add_text(const char *data, std::size_t size)
{
    add(entry, data, size);
}

// Sends the collected record as one entry, with the fields that its text
// has. A record the journal refuses is said so on standard error and
// printed, framed, as when run by hand.
void send_entry(long number, long /*bytes*/)
{
    const char *text = entry.data + sizeof MESSAGE - 1;
    const char *end = entry.data + entry.size;
    static Buffer fields;
    fields.size = 0;
    std::size_t starts[4], count = 0;
    auto field = [&](const char *name, const char *value, const char *value_end) {
        starts[count++] = fields.size;
        add(fields, name);
        add(fields, value, static_cast<std::size_t>(value_end - value));
    };
    const char *line = text;
    for (int index = 0; line < end; ++index) {
        const auto *newline = static_cast<const char *>(std::memchr(line, '\n', end - line));
        const char *line_end = newline != nullptr ? newline : end;
        if (index == 0) {
            field("TRAP_HOST=", line, line_end);
        } else if (index == 1) {
            field("TRAP_ADDRESS=", line, line_end);
            const char *address_end = nullptr;
            if (const char *address = source_address(line, line_end, &address_end); address != nullptr)
                field("TRAP_SOURCE=", address, address_end);
        } else if (const auto *space = static_cast<const char *>(std::memchr(line, ' ', line_end - line));
                   space != nullptr && names_trap_oid(line, static_cast<std::size_t>(space - line))) {
            field("TRAP_OID=", space + 1, line_end);
            break;
        }
        line = line_end + 1;
    }
    iovec parts[7] = {{entry.data, entry.size},
                      {const_cast<char *>("PRIORITY=5"), 10},
                      {const_cast<char *>("SYSLOG_IDENTIFIER=trapsink"), 26}};
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t part_end = i + 1 < count ? starts[i + 1] : fields.size;
        parts[3 + i] = {fields.data + starts[i], part_end - starts[i]};
    }
    // What the journal would drop without a word, libsystemd too where the
    // journal's socket is missing, is found out first. A field given as
    // binary data takes 10 bytes more than its text.
    int fields_given = static_cast<int>(3 + count);
    std::size_t entry_size = 0;
    for (int i = 0; i < fields_given; ++i)
        entry_size += parts[i].iov_len + 10;
    int sent = -EMSGSIZE;
    if (entry.size <= JOURNAL_FIELD_MAX && entry_size <= JOURNAL_ENTRY_MAX)
        sent = access(JOURNAL_SOCKET, F_OK) == 0 ? sd_journal_sendv(parts, fields_given) : -errno;
    if (sent < 0) {
        std::fprintf(stderr, "trapsink: Error sending trap %ld to the journal [%s]: printed instead\n",
                     number, std::strerror(-sent));
        PRINTED.begin(number);
        PRINTED.text(text, static_cast<std::size_t>(end - text));
        PRINTED.end(number, static_cast<long>(end - text));
        flush_output();
    }
}

// A record cut short by a stop goes into the journal as far as it came.
const RecordSink JOURNAL = {begin_entry, add_text, send_entry, send_entry};

}  // namespace

const RecordSink *journal_sink()
{
    return &JOURNAL;
}
