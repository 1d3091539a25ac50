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

// Where records go as they are framed: each begins, takes its lines' bytes,
// and ends; at a stop, one that has begun and not ended is cut.
struct RecordSink {
    void (*begin)(long number);
    void (*text)(const char *data, std::size_t size);
    void (*end)(long number, long bytes);
    void (*cut)(long number, long bytes);
};

// Each record printed between "=== trap N ===" and "=== end of trap N:
// BYTES bytes ===" on standard output. A cut record has no end line.
extern const RecordSink PRINTED;

// Frames the first record in data, handing it to sink (none: only counted,
// as in raw mode): returns how many bytes it takes up to its marker, or 0
// where its marker is not among them. With stream set, a record whose
// marker is not among them is handed on as far as it came, all size bytes,
// and goes on in the next call. A record begun in an earlier call counts
// from where it stands.
std::size_t frame(const RecordSink *sink, const char *data, std::size_t size, bool stream);

long records_ended();
bool record_begun();  // its first byte has come, its marker not yet

// Hands a record that has begun to the sink as cut, as far as it came.
void cut_record(const RecordSink *sink);
