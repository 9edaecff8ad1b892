// The virtual FTDI link's framing, shared by the client, the simulator and
// the stand-in: the exact bytes of requests and answers on a real socket,
// the bounds a receiver keeps, and which requests reach a device at all.
#include "device/FtdiDriver.h"
#include "device/VirtualFtdiProtocol.h"

#include <gtest/gtest.h>

using namespace vu;

namespace {

using Bytes = std::vector<uint8_t>;

// Two ends of one loopback TCP connection.
struct SocketPair {
    SocketPair()
    {
        net::Startup();
        uint16_t port = 0;
        listener = net::TcpListen(net::InetAddr("127.0.0.1"), 0, &port);
        a = net::TcpSocket();
        net::Connect(a, net::InetAddr("127.0.0.1"), port);
        b = net::Accept(listener);
        net::SetRecvTimeout(a, 5000);
        net::SetRecvTimeout(b, 5000);
    }
    ~SocketPair()
    {
        net::CloseSocket(a);
        net::CloseSocket(b);
        net::CloseSocket(listener);
        net::Cleanup();
    }
    Bytes Take(net::SocketHandle s, size_t n)
    {
        Bytes v(n);
        if (!net::RecvAll(s, v.data(), n))
            v.clear();
        return v;
    }
    void Put(net::SocketHandle s, const Bytes& bytes) { ASSERT_EQ(net::SendAll(s, bytes.data(), bytes.size()), bytes.size()); }
    net::SocketHandle listener = net::INVALID_SOCKET_HANDLE;
    net::SocketHandle a = net::INVALID_SOCKET_HANDLE;
    net::SocketHandle b = net::INVALID_SOCKET_HANDLE;
};

} // namespace

TEST(VirtualFtdiProtocol, MessagesOnTheWire)
{
    SocketPair p;
    ASSERT_NE(p.b, net::INVALID_SOCKET_HANDLE);

    // Requests: op, u32 length little-endian, payload.
    const Bytes wait = {0x60, 0xEA, 0x00, 0x00};
    ASSERT_TRUE(vftdi::SendRequest(p.a, VFTDI_WAIT_RECEIVE, wait.data(), 4));
    EXPECT_EQ(p.Take(p.b, 9), (Bytes{0x10, 4, 0, 0, 0, 0x60, 0xEA, 0x00, 0x00}));
    ASSERT_TRUE(vftdi::SendRequest(p.a, VFTDI_LIST_COUNT, nullptr, 0));
    EXPECT_EQ(p.Take(p.b, 5), (Bytes{0x01, 0, 0, 0, 0}));
    // Longer than the one-segment buffer: header and payload go separately, the bytes are the same.
    Bytes big(70000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7);
    ASSERT_TRUE(vftdi::SendRequest(p.a, VFTDI_WRITE, big.data(), uint32_t(big.size())));
    EXPECT_EQ(p.Take(p.b, 5), (Bytes{0x05, 0x70, 0x11, 0x01, 0x00}));
    EXPECT_EQ(p.Take(p.b, big.size()), big);

    // Answers: u32 status, u32 length, payload.
    const Bytes text = {'M', 'O', 'X'};
    ASSERT_TRUE(vftdi::SendAnswer(p.b, FT_OK, text.data(), 3));
    EXPECT_EQ(p.Take(p.a, 11), (Bytes{0, 0, 0, 0, 3, 0, 0, 0, 'M', 'O', 'X'}));
    ASSERT_TRUE(vftdi::SendAnswer(p.b, FT_NOT_SUPPORTED, nullptr, 0));
    EXPECT_EQ(p.Take(p.a, 8), (Bytes{17, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(VirtualFtdiProtocol, AnswerIsReadWhollyAndNeverBeyondItsCapacity)
{
    SocketPair p;
    uint32_t status = 99, length = 99;
    uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), uint8_t(0x11));

    p.Put(p.b, {0x02, 0, 0, 0, 4, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4});
    ASSERT_TRUE(vftdi::RecvAnswer(p.a, &status, buf, 4, &length));
    EXPECT_EQ(status, FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));

    // Five bytes where four fit: the stream is given up, nothing is written past the capacity.
    p.Put(p.b, {0, 0, 0, 0, 5, 0, 0, 0, 1, 2, 3, 4, 5});
    std::fill(std::begin(buf), std::end(buf), uint8_t(0x11));
    EXPECT_FALSE(vftdi::RecvAnswer(p.a, &status, buf, 4, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(Bytes(buf, buf + 8), Bytes(8, 0x11));

}

TEST(VirtualFtdiProtocol, PeerGoneInTheMiddleOfAnAnswer)
{
    SocketPair p;
    uint32_t status = 0, length = 0;
    uint8_t buf[8];
    p.Put(p.b, {0, 0, 0, 0, 4, 0, 0, 0, 1});
    net::ShutdownSend(p.b);
    EXPECT_FALSE(vftdi::RecvAnswer(p.a, &status, buf, 8, &length));
}

TEST(VirtualFtdiProtocol, OversizedRequestIsReadPastAndTheNextOneStillArrives)
{
    SocketPair p;
    const uint32_t limit = 16;
    Bytes raw = {0x05, 17, 0, 0, 0};
    raw.resize(raw.size() + 17, 0xEE);
    raw.insert(raw.end(), {0x07, 4, 0, 0, 0, 3, 0, 0, 0});
    p.Put(p.a, raw);

    uint8_t op = 0;
    Bytes payload = {9};
    bool oversized = false;
    ASSERT_TRUE(vftdi::RecvRequest(p.b, limit, &op, &payload, &oversized));
    EXPECT_EQ(op, VFTDI_WRITE);
    EXPECT_TRUE(oversized);
    EXPECT_TRUE(payload.empty());

    ASSERT_TRUE(vftdi::RecvRequest(p.b, limit, &op, &payload, &oversized));
    EXPECT_EQ(op, VFTDI_READ);
    EXPECT_FALSE(oversized);
    EXPECT_EQ(payload, (Bytes{3, 0, 0, 0}));

    net::ShutdownSend(p.a);
    EXPECT_FALSE(vftdi::RecvRequest(p.b, limit, &op, &payload, &oversized)) << "the host hung up";
}

TEST(VirtualFtdiProtocol, WhichRequestsReachADevice)
{
    struct Case {
        const char* name;
        uint8_t op;
        size_t length;
        bool open;   // on a connection that holds an open device
        uint32_t status;
    };
    const Case cases[] = {
        {"unknown op, idle", 0x12, 0, false, FT_NOT_SUPPORTED},
        {"unknown op, open", 0x00, 0, true, FT_NOT_SUPPORTED},
        {"unknown op of the wrong length", 0xFF, 7, true, FT_NOT_SUPPORTED},
        {"count, idle", VFTDI_LIST_COUNT, 0, false, FT_OK},
        {"count with a payload", VFTDI_LIST_COUNT, 1, false, FT_NOT_SUPPORTED},
        {"count, open", VFTDI_LIST_COUNT, 0, true, FT_DEVICE_NOT_OPENED},
        {"description, idle", VFTDI_GET_DESCRIPTION, 4, false, FT_OK},
        {"description, open", VFTDI_GET_DESCRIPTION, 4, true, FT_DEVICE_NOT_OPENED},
        {"description without an index", VFTDI_GET_DESCRIPTION, 0, false, FT_NOT_SUPPORTED},
        {"description with a 2-byte index", VFTDI_GET_DESCRIPTION, 2, false, FT_NOT_SUPPORTED},
        {"open, idle", VFTDI_OPEN_BY_DESCRIPTION, 10, false, FT_OK},
        {"open of an empty description", VFTDI_OPEN_BY_DESCRIPTION, 0, false, FT_OK},
        {"open, open", VFTDI_OPEN_BY_DESCRIPTION, 10, true, FT_DEVICE_NOT_OPENED},
        {"receive wait, open", VFTDI_WAIT_RECEIVE, 4, true, FT_OK},
        {"receive wait, idle", VFTDI_WAIT_RECEIVE, 4, false, FT_DEVICE_NOT_OPENED},
        {"receive wait of 2 bytes", VFTDI_WAIT_RECEIVE, 2, true, FT_NOT_SUPPORTED},
        {"event character", VFTDI_SET_CHARS, 4, true, FT_OK},
        {"event character of 3 bytes", VFTDI_SET_CHARS, 3, true, FT_NOT_SUPPORTED},
        {"latency timer of 2 bytes", VFTDI_SET_LATENCY_TIMER, 2, true, FT_NOT_SUPPORTED},
        {"write of any length", VFTDI_WRITE, 5000, true, FT_OK},
        {"close, idle", VFTDI_CLOSE, 0, false, FT_DEVICE_NOT_OPENED},
        {"state is judged before length", VFTDI_READ, 0, false, FT_DEVICE_NOT_OPENED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vftdi::CheckRequest(c.op, c.length, c.open), c.status);
    }
}
