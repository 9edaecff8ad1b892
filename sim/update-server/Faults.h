// Faults the reference update server can inject into its conversations.
#pragma once

#include "sim/update-server/RequestPacket.h"

#include <string>
#include <vector>

namespace vu::sim {

enum class FaultKind {
    Close,          // read the request, close without answering
    Stall,          // read the request, wait ms, then answer
    Cut,            // send only the first `bytes` bytes of the reply, then close
    CutStall,       // send `bytes` bytes, fall silent for ms, then close
    CutReset,       // send `bytes` bytes, then reset the connection
    WrongTotal,     // total-length word says `bytes` (0: the true length + 100)
    BeyondBuffer,   // a record length that reaches past the bytes sent
    TooManyRecords, // 12001 records
    LongRecord,     // a record of 1101 bytes
    Oversize,       // a well-formed reply of 20,000,001 bytes
    Raw,            // send `raw` instead of the reply
};

struct Fault {
    FaultKind kind = FaultKind::Close;
    uint32_t bytes = 0;
    uint32_t ms = 0;
    int count = 1;  // conversations it spoils; 0: every one
    int skip = 0;   // matching conversations left alone before it starts
    Bytes tag;      // only requests with this tag; empty: any
    Bytes raw;
};

// One fault as text: "KIND [ARGS] [count=K|count=all] [skip=S] [tag=HEX]", e.g.
// "cut 100 count=2", "stall 5000", "cut-stall 100 60000", "cut-reset 100", "wrong-total 500",
// "close tag=020102 skip=1", "raw 0d000000000000000000000000".
bool ParseFault(const std::string& text, Fault* fault, std::string* error);
// One fault per line; blank lines and # comments skipped.
bool ParseFaultList(const std::string& text, std::vector<Fault>* faults, std::string* error);
std::string DescribeFault(const Fault& fault);

// The reply bytes of a fault that replaces the reply (WrongTotal works on
// the real reply; the others are made up).
Bytes FaultyReply(const Fault& fault, const Bytes& realReply);

} // namespace vu::sim
