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

const RecordSink PRINTED = {print_start, put, print_end, print_nothing};

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
