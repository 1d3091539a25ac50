// Records: the stream that comes through the pipe, framed into one record
// a trap.
//
// A handler writes the trap text and then one newline of its own, the
// end-of-data marker. A trap receiver's text is made of lines that each end
// in a newline, so the marker shows as an empty line: a record ends at the
// first empty line, whose newline is the marker. An empty trap is a record
// made of the marker alone. A trap whose own text holds an empty line is
// therefore split in two, and one that does not end in a newline runs on
// into the next.
#pragma once

#include <cstddef>

// Where records go as they are framed: each begins, takes its lines'
// bytes, and ends; at a stop, one that has begun and not ended is cut.
// Where a record is delivered as it ends (each_delivered), it is taken out
// of the pipe at once; else once what was framed has been flushed.
struct RecordSink {
    void (*begin)(long number);
    void (*text)(const char *data, std::size_t size);
    void (*end)(long number, long bytes);
    void (*cut)(long number, long bytes);
    bool each_delivered;
};

// Each record printed between "=== trap N ===" and "=== end of trap N:
// BYTES bytes ===" on standard output. A cut record has no end line.
extern const RecordSink PRINTED;

// How many of the bytes, from the first, make up whole records (at most
// limit of them in all, limit < 0: no limit): the bytes from the start of a
// record up to its marker. A record that has begun in an earlier read
// (framed as it streamed in) counts from where it stands.
std::size_t whole_records(const char *data, std::size_t size, long limit);

// Frames what one read brought into records, handing them to sink (none:
// only counted, as in raw mode). Returns how many of the bytes belong to
// the first limit records (limit < 0: no limit); what comes after them is
// not this run's.
std::size_t frame(const RecordSink *sink, const char *data, std::size_t size, long limit);

long records_ended();
bool record_begun();  // its first byte has come, its marker not yet

// Hands a record that has begun to the sink as cut, as far as it came.
void cut_record(const RecordSink *sink);
