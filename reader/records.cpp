#include "records.h"

#include "output.h"

#include <cstring>

namespace {

// The framing state, carried from one call to the next.
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

// Where the marker of the current record stands in data, a newline at a
// line's start, or size where it is not there.
std::size_t find_marker(const char *data, std::size_t size)
{
    bool at_line_start = line_start;
    for (std::size_t at = 0; at < size;) {
        if (at_line_start && data[at] == '\n')
            return at;
        const auto *newline = static_cast<const char *>(std::memchr(data + at, '\n', size - at));
        if (newline == nullptr)
            break;
        at = static_cast<std::size_t>(newline - data) + 1;
        at_line_start = true;
    }
    return size;
}

}  // namespace

const RecordSink PRINTED = {print_start, put, print_end, print_nothing};

std::size_t frame(const RecordSink *sink, const char *data, std::size_t size, bool stream)
{
    std::size_t marker = find_marker(data, size);
    bool ended = marker < size;
    if (size == 0 || (!ended && !stream))
        return 0;
    if (!in_record && sink != nullptr)
        sink->begin(records + 1);
    in_record = true;
    if (marker > 0) {
        if (sink != nullptr)
            sink->text(data, marker);
        record_bytes += static_cast<long>(marker);
        line_start = data[marker - 1] == '\n';
    }
    if (!ended)
        return size;
    ++records;
    if (sink != nullptr)
        sink->end(records, record_bytes);
    record_bytes = 0;
    in_record = false;
    line_start = true;
    return marker + 1;
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
