#include "device/VirtualFtdiProtocol.h"

#include "device/FtdiDriver.h"
#include "platform/LittleEndian.h"

#include <cstring>

namespace vu::vftdi {

namespace {

// READ answers at most what was asked, GET_DESCRIPTION at most VFTDI_MAX_DESCRIPTION.
constexpr OpShape OPS[] = {
    {VFTDI_LIST_COUNT, "LIST_COUNT", 0, 4, true},
    {VFTDI_OPEN_BY_DESCRIPTION, "OPEN_BY_DESCRIPTION", ANY_LENGTH, 0, true},
    {VFTDI_SET_DATA_CHARACTERISTICS, "SET_DATA_CHARACTERISTICS", 3, 0, false},
    {VFTDI_SET_BAUD_RATE, "SET_BAUD_RATE", 4, 0, false},
    {VFTDI_WRITE, "WRITE", ANY_LENGTH, 4, false},
    {VFTDI_GET_STATUS, "GET_STATUS", 0, 12, false},
    {VFTDI_READ, "READ", 4, ANY_LENGTH, false},
    {VFTDI_RESET_DEVICE, "RESET_DEVICE", 0, 0, false},
    {VFTDI_SET_BIT_MODE, "SET_BIT_MODE", 2, 0, false},
    {VFTDI_SET_BREAK_ON, "SET_BREAK_ON", 0, 0, false},
    {VFTDI_SET_BREAK_OFF, "SET_BREAK_OFF", 0, 0, false},
    {VFTDI_PURGE, "PURGE", 4, 0, false},
    {VFTDI_CLOSE, "CLOSE", 0, 0, false},
    {VFTDI_SET_LATENCY_TIMER, "SET_LATENCY_TIMER", 1, 0, false},
    {VFTDI_SET_CHARS, "SET_CHARS", 4, 0, false},
    {VFTDI_WAIT_RECEIVE, "WAIT_RECEIVE", 4, 4, false},
    {VFTDI_GET_DESCRIPTION, "GET_DESCRIPTION", 4, ANY_LENGTH, true},
};

} // namespace

const OpShape* FindOp(uint8_t op)
{
    for (const OpShape& s : OPS)
        if (s.op == op)
            return &s;
    return nullptr;
}

uint32_t CheckRequest(uint8_t op, size_t payloadLength, bool deviceOpen)
{
    const OpShape* shape = FindOp(op);
    if (!shape)
        return FT_NOT_SUPPORTED;
    if (shape->idle == deviceOpen)
        return FT_DEVICE_NOT_OPENED;
    if (shape->requestLength != ANY_LENGTH && payloadLength != size_t(shape->requestLength))
        return FT_NOT_SUPPORTED;
    return FT_OK;
}

bool SendRequest(net::SocketHandle s, uint8_t op, const void* payload, uint32_t length)
{
    // Header and payload in one send where they fit, so a short request is one segment.
    uint8_t request[VFTDI_REQUEST_HEADER + 4096];
    request[0] = op;
    PutLe32(request + 1, length);
    if (length <= sizeof request - VFTDI_REQUEST_HEADER) {
        if (length > 0)
            std::memcpy(request + VFTDI_REQUEST_HEADER, payload, length);
        return net::SendAll(s, request, VFTDI_REQUEST_HEADER + length) == VFTDI_REQUEST_HEADER + length;
    }
    return net::SendAll(s, request, VFTDI_REQUEST_HEADER) == VFTDI_REQUEST_HEADER &&
           net::SendAll(s, payload, length) == length;
}

bool RecvAnswer(net::SocketHandle s, uint32_t* status, void* payload, uint32_t capacity, uint32_t* length)
{
    *length = 0;
    uint8_t header[VFTDI_ANSWER_HEADER];
    if (!net::RecvAll(s, header, sizeof header))
        return false;
    uint32_t n = GetLe32(header + 4);
    if (n > capacity || !net::RecvAll(s, payload, n))
        return false;
    *status = GetLe32(header);
    *length = n;
    return true;
}

bool RecvRequest(net::SocketHandle s, uint32_t maxPayload, uint8_t* op, std::vector<uint8_t>* payload,
                 bool* oversized)
{
    payload->clear();
    *oversized = false;
    uint8_t header[VFTDI_REQUEST_HEADER];
    if (!net::RecvAll(s, header, sizeof header))
        return false;
    *op = header[0];
    uint32_t length = GetLe32(header + 1);
    if (length <= maxPayload) {
        payload->resize(length);
        return net::RecvAll(s, payload->data(), length);
    }
    *oversized = true;
    uint8_t sink[4096];
    for (uint32_t left = length; left > 0;) {
        uint32_t n = left > sizeof sink ? uint32_t(sizeof sink) : left;
        if (!net::RecvAll(s, sink, n))
            return false;
        left -= n;
    }
    return true;
}

bool SendAnswer(net::SocketHandle s, uint32_t status, const void* payload, uint32_t length)
{
    std::vector<uint8_t> out(VFTDI_ANSWER_HEADER + length);
    PutLe32(out.data(), status);
    PutLe32(out.data() + 4, length);
    if (length > 0)
        std::memcpy(out.data() + VFTDI_ANSWER_HEADER, payload, length);
    return net::SendAll(s, out.data(), out.size()) == out.size();
}

} // namespace vu::vftdi
