#include "records.h"

#include "output.h"

#include <cstring>

namespace {

// The framing state, carried from one read to the next.
long records = 0;        // records ended so far
long record_bytes = 0;   // bytes of the current record
bool line_start = true;  // the next byte starts a line of the record
bool in_record = false;  // the current record has begun

void print_start(long number)
{
    put_line("=== trap %ld ===\n", number);
}

void print_end(long number, long bytes)
{
    put_line("=== end of trap %ld: %ld bytes ===\n", number, bytes);
}

void print_nothing(long /*number*/, long /*bytes*/) {}

}  // namespace

const RecordSink PRINTED = {print_start, put, print_end, print_nothing, false};

std::size_t frame(const RecordSink *sink, const char *data, std::size_t size, long limit)
{
    std::size_t at = 0;
    while (at < size) {
        if (!in_record && sink != nullptr)
            sink->begin(records + 1);
        in_record = true;
        if (line_start && data[at] == '\n') {
            ++at;
            ++records;
            if (sink != nullptr)
                sink->end(records, record_bytes);
            record_bytes = 0;
            in_record = false;
            if (records == limit)
                return at;
            continue;
        }
        // The rest of the line, its newline included, is the record's.
        const auto *newline = static_cast<const char *>(std::memchr(data + at, '\n', size - at));
        std::size_t end = newline != nullptr ? static_cast<std::size_t>(newline - data) + 1 : size;
        if (sink != nullptr)
            sink->text(data + at, end - at);
        record_bytes += static_cast<long>(end - at);
        line_start = newline != nullptr;
        at = end;
    }
    return size;
}

std::size_t whole_records(const char *data, std::size_t size, long limit)
{
    // A marker is a newline at a line's start. Unlimited, the last one is
    // looked for from the end, where it usually stands: a handler writes a
    // trap that has arrived with its marker.
    if (limit < 0) {
        for (std::size_t at = size; at > 0;) {
            const auto *newline = static_cast<const char *>(memrchr(data, '\n', at));
            if (newline == nullptr)
                return 0;
            at = static_cast<std::size_t>(newline - data);
            if (at == 0 ? line_start : data[at - 1] == '\n')
                return at + 1;
        }
        return 0;
    }
    std::size_t whole = 0;
    bool at_line_start = line_start;
    long count = records;
    for (std::size_t at = 0; at < size && count < limit;) {
        if (at_line_start && data[at] == '\n') {
            whole = ++at;
            ++count;
            continue;
        }
        const auto *newline = static_cast<const char *>(std::memchr(data + at, '\n', size - at));
        if (newline == nullptr)
            break;
        at = static_cast<std::size_t>(newline - data) + 1;
        at_line_start = true;
    }
    return whole;
}

long records_ended()
{
    return records;
}

bool record_begun()
{
    return in_record;
}

void cut_record(const RecordSink *sink)
{
    if (in_record && sink != nullptr)
        sink->cut(records + 1, record_bytes);
}
