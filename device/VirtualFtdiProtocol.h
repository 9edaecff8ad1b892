// The virtual FTDI link's messages (device/virtual-ftdi.md), written once for
// every side that speaks them: the simulator driver (and through it the
// FTD2XX.dll stand-in), the machine simulator and the test servers.
//
// Request: op u8, length u32, payload. Answer: status u32, length u32,
// payload. Little-endian (platform/LittleEndian.h). One request in flight
// per connection.
#pragma once

#include "platform/Socket.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vu {

// Request ops.
enum : uint8_t {
    VFTDI_LIST_COUNT = 0x01,
    VFTDI_OPEN_BY_DESCRIPTION = 0x02,
    VFTDI_SET_DATA_CHARACTERISTICS = 0x03,
    VFTDI_SET_BAUD_RATE = 0x04,
    VFTDI_WRITE = 0x05,
    VFTDI_GET_STATUS = 0x06,
    VFTDI_READ = 0x07,
    VFTDI_RESET_DEVICE = 0x08,
    VFTDI_SET_BIT_MODE = 0x09,
    VFTDI_SET_BREAK_ON = 0x0A,
    VFTDI_SET_BREAK_OFF = 0x0B,
    VFTDI_PURGE = 0x0C,
    VFTDI_CLOSE = 0x0D,
    VFTDI_SET_LATENCY_TIMER = 0x0E,
    VFTDI_SET_CHARS = 0x0F,
    VFTDI_WAIT_RECEIVE = 0x10,
    VFTDI_GET_DESCRIPTION = 0x11,
};

constexpr size_t VFTDI_REQUEST_HEADER = 5; // op, u32 length
constexpr size_t VFTDI_ANSWER_HEADER = 8;  // u32 status, u32 length
// WAIT_RECEIVE's longest wait; a longer one is refused.
constexpr uint32_t VFTDI_MAX_WAIT_MS = 60000;
// The latency timer's range.
constexpr uint8_t VFTDI_MIN_LATENCY_MS = 2;
// The longest description a converter holds (D2XX: 64 bytes with its terminator).
constexpr uint32_t VFTDI_MAX_DESCRIPTION = 64;
// A request payload longer than this is read past and answered FT_NOT_SUPPORTED.
constexpr uint32_t VFTDI_MAX_REQUEST = 1024 * 1024;

namespace vftdi {

constexpr int ANY_LENGTH = -1;

// The shape of one op: what its request carries and what its FT_OK answer carries.
struct OpShape {
    uint8_t op;
    const char* name;    // as the protocol document names it
    int requestLength;   // payload bytes, or ANY_LENGTH
    int answerLength;    // payload bytes of an FT_OK answer, or ANY_LENGTH (bounded per op)
    bool idle;           // asked on a connection that holds no open device
};

// The op's shape; nullptr for an op the link does not have.
const OpShape* FindOp(uint8_t op);

// The status a request gets before any device sees it: FT_NOT_SUPPORTED for
// an unknown op, FT_DEVICE_NOT_OPENED for an op of the other connection state
// (idle ops on an open connection, device ops on an idle one), then
// FT_NOT_SUPPORTED for a payload of the wrong length; FT_OK when it may go on.
uint32_t CheckRequest(uint8_t op, size_t payloadLength, bool deviceOpen);

// One request: header and payload, in one segment where they fit.
bool SendRequest(net::SocketHandle s, uint8_t op, const void* payload, uint32_t length);
// One answer into the caller's buffer. False when the connection failed or
// the answer is longer than capacity: the rest of the stream could no
// longer be trusted, so the caller gives the connection up.
bool RecvAnswer(net::SocketHandle s, uint32_t* status, void* payload, uint32_t capacity, uint32_t* length);

// One request. A payload longer than maxPayload is read past in pieces, so
// no request makes the receiver hold more; *oversized then says so and the
// payload is empty. False when the connection failed or ended.
bool RecvRequest(net::SocketHandle s, uint32_t maxPayload, uint8_t* op, std::vector<uint8_t>* payload,
                 bool* oversized);
bool SendAnswer(net::SocketHandle s, uint32_t status, const void* payload, uint32_t length);

} // namespace vftdi
} // namespace vu
