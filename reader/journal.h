// The journal: each record sent as one entry, its MESSAGE the trap's text
// as received, without the marker, with the fields TRAP_HOST, TRAP_ADDRESS,
// TRAP_SOURCE and TRAP_OID where the text has them (a trap receiver's text:
// the sending host, the transport address, whose sender's IP address is
// TRAP_SOURCE, then one line per variable binding, snmpTrapOID.0 among
// them).
#pragma once

#include "records.h"

// The sink that sends records to the journal, or nullptr where this
// trapsink cannot (built without libsystemd, it says so on standard error).
const RecordSink *journal_sink();
