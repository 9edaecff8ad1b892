// The simulator driver against a scripted link server: which connection
// each call travels on, the exact request bytes, and what a broken or
// missing simulator looks like to the link.
#include "device/VirtualFtdiClient.h"
#include "platform/LittleEndian.h"
#include "tests/virtualftdi/ScriptedLinkServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>

using namespace vu;
using namespace vu::test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// The three counts of a queue-status answer.
Bytes Counts(uint32_t rx, uint32_t tx, uint32_t events)
{
    Bytes all = U32(rx);
    for (uint32_t v : {tx, events}) {
        Bytes b = U32(v);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

// One attached device "Vantorelle"; everything else answered from the table.
LinkAnswer OneDevice(const LinkRequest& rq)
{
    if (rq.op == VFTDI_LIST_COUNT)
        return {0, U32(1)};
    if (rq.op == VFTDI_OPEN_BY_DESCRIPTION)
        return {Bytes(rq.payload) == Bytes{'V', 'a', 'n', 't', 'o', 'r', 'e', 'l', 'l', 'e'} ? 0u : 2u, {}};
    if (rq.op == VFTDI_WRITE)
        return {0, U32(uint32_t(rq.payload.size()))};
    return {0, {}};
}

size_t CountOn(const std::vector<LinkRequest>& rqs, int connection)
{
    size_t n = 0;
    for (const LinkRequest& r : rqs)
        n += r.connection == connection;
    return n;
}

} // namespace

TEST(VirtualFtdiClient, NothingListeningLooksLikeNoDeviceAttached)
{
    for (std::string address : {"127.0.0.1:" + std::to_string(UnusedLoopbackPort()), std::string("no-port"),
                                std::string("127.0.0.1:99999")}) {
        SCOPED_TRACE(address);
        CVirtualFtdiClient client(address);
        uint32_t count = 77;
        EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
        EXPECT_EQ(count, 0u);
        FT_HANDLE h = reinterpret_cast<FT_HANDLE>(1);
        EXPECT_EQ(client.OpenByDescription("Vantorelle", &h), FT_DEVICE_NOT_FOUND);
        EXPECT_EQ(h, nullptr);
    }
}

TEST(VirtualFtdiClient, CountsAndOpenAttemptsShareOneIdleConnection)
{
    ScriptedLinkServer server(OneDevice);
    CVirtualFtdiClient client(server.Address());

    // The link retries back to back: count, then the descriptions in turn.
    for (int i = 0; i < 50; ++i) {
        uint32_t count = 0;
        ASSERT_EQ(client.ListDevicesCount(&count), FT_OK);
        EXPECT_EQ(count, 1u);
        FT_HANDLE h = nullptr;
        EXPECT_EQ(client.OpenByDescription("MOX", &h), FT_DEVICE_NOT_FOUND);
    }
    EXPECT_EQ(server.Accepted(), 1);

    FT_HANDLE h = nullptr;
    ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(server.Accepted(), 1) << "the open takes the idle connection, it makes none";

    // Counting after the open needs a new idle connection; the handle keeps the old one.
    uint32_t count = 0;
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(server.Accepted(), 2);
    EXPECT_EQ(client.SetBaudRate(h, 115200), FT_OK);
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(server.Accepted(), 2);

    std::vector<LinkRequest> rqs = server.Requests();
    ASSERT_GE(rqs.size(), 4u);
    EXPECT_EQ(rqs[rqs.size() - 2].op, VFTDI_SET_BAUD_RATE);
    EXPECT_EQ(rqs[rqs.size() - 2].connection, 0);
    EXPECT_EQ(rqs.back().op, VFTDI_LIST_COUNT);
    EXPECT_EQ(rqs.back().connection, 1);
    EXPECT_EQ(CountOn(rqs, 0), 50u * 2 + 1 + 1);

    EXPECT_EQ(client.Close(h), FT_OK);
}

TEST(VirtualFtdiClient, EachCallSendsItsRequestAndReadsItsAnswer)
{
    struct Case {
        const char* name;
        std::function<FT_STATUS(CVirtualFtdiClient&, FT_HANDLE)> call;
        Bytes request;   // op, length, payload as sent
        LinkAnswer answer;
        FT_STATUS result;
        std::function<void()> check;
    };
    uint32_t written = 0, rx = 0, tx = 0, ev = 0, got = 0;
    uint8_t readBuf[8] = {};
    const uint8_t frame[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    std::vector<Case> cases;
    cases.push_back({"line settings", [](auto& c, auto h) { return c.SetDataCharacteristics(h, 8, 0, 0); },
        {0x03, 3, 0, 0, 0, 8, 0, 0}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"baud rate", [](auto& c, auto h) { return c.SetBaudRate(h, 2000000); },
        {0x04, 4, 0, 0, 0, 0x80, 0x84, 0x1E, 0x00}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"write", [&](auto& c, auto h) { return c.Write(h, frame, sizeof frame, &written); },
        {0x05, 6, 0, 0, 0, 0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6}, {0, U32(6)}, FT_OK,
        [&] { EXPECT_EQ(written, 6u); }});
    const LinkAnswer queueCounts{0, Counts(3, 0, 0x10)};
    cases.push_back({"queue status", [&](auto& c, auto h) { return c.GetStatus(h, &rx, &tx, &ev); },
        {0x06, 0, 0, 0, 0}, queueCounts, FT_OK,
        [&] { EXPECT_EQ(rx, 3u); EXPECT_EQ(tx, 0u); EXPECT_EQ(ev, 0x10u); }});
    cases.push_back({"read", [&](auto& c, auto h) { return c.Read(h, readBuf, 3, &got); },
        {0x07, 4, 0, 0, 0, 3, 0, 0, 0}, {0, {0xA5, 0x00, 0x7E}}, FT_OK,
        [&] { EXPECT_EQ(got, 3u); EXPECT_EQ(Bytes(readBuf, readBuf + 3), (Bytes{0xA5, 0x00, 0x7E})); }});
    cases.push_back({"short read", [&](auto& c, auto h) { return c.Read(h, readBuf, 8, &got); },
        {0x07, 4, 0, 0, 0, 8, 0, 0, 0}, {0, {0x42}}, FT_OK, [&] { EXPECT_EQ(got, 1u); }});
    cases.push_back({"reset", [](auto& c, auto h) { return c.ResetDevice(h); }, {0x08, 0, 0, 0, 0}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"bit mode", [](auto& c, auto h) { return c.SetBitMode(h, 0xF5, 0x20); },
        {0x09, 2, 0, 0, 0, 0xF5, 0x20}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"break on", [](auto& c, auto h) { return c.SetBreakOn(h); }, {0x0A, 0, 0, 0, 0}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"break off", [](auto& c, auto h) { return c.SetBreakOff(h); }, {0x0B, 0, 0, 0, 0}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"purge", [](auto& c, auto h) { return c.Purge(h, FT_PURGE_RX); },
        {0x0C, 4, 0, 0, 0, 1, 0, 0, 0}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"latency timer", [](auto& c, auto h) { return c.SetLatencyTimer(h, 2); },
        {0x0E, 1, 0, 0, 0, 2}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"event character", [](auto& c, auto h) { return c.SetChars(h, 0x7E, 1, 0, 0); },
        {0x0F, 4, 0, 0, 0, 0x7E, 1, 0, 0}, {0, {}}, FT_OK, [] {}});
    cases.push_back({"receive wait", [&](auto& c, auto h) { return c.WaitReceive(h, 1000, &rx); },
        {0x10, 4, 0, 0, 0, 0xE8, 0x03, 0, 0}, {0, U32(5)}, FT_OK, [&] { EXPECT_EQ(rx, 5u); }});
    cases.push_back({"receive wait answered short", [&](auto& c, auto h) { return c.WaitReceive(h, 0, &rx); },
        {0x10, 4, 0, 0, 0, 0, 0, 0, 0}, {0, {}}, FT_IO_ERROR, [&] { EXPECT_EQ(rx, 0u); }});
    // The simulator's status passes through, and the handle stays usable.
    cases.push_back({"status passed up", [](auto& c, auto h) { return c.SetLatencyTimer(h, 1); },
        {0x0E, 1, 0, 0, 0, 1}, {17, {}}, FT_NOT_SUPPORTED, [] {}});
    cases.push_back({"failed write", [&](auto& c, auto h) { return c.Write(h, frame, 2, &written); },
        {0x05, 2, 0, 0, 0, 0x06, 0x00}, {4, U32(0)}, FT_IO_ERROR, [&] { EXPECT_EQ(written, 0u); }});

    std::atomic<const Case*> current{nullptr};
    ScriptedLinkServer server([&](const LinkRequest& rq) {
        const Case* c = current.load();
        if (rq.connection == 0 && rq.op != VFTDI_OPEN_BY_DESCRIPTION && c)
            return c->answer;
        return OneDevice(rq);
    });
    CVirtualFtdiClient client(server.Address());
    FT_HANDLE h = nullptr;
    ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        current = &c;
        size_t before = server.Requests().size();
        EXPECT_EQ(c.call(client, h), c.result);
        std::vector<LinkRequest> rqs = server.Requests();
        ASSERT_EQ(rqs.size(), before + 1);
        EXPECT_EQ(rqs.back().raw, c.request);
        EXPECT_EQ(rqs.back().connection, 0);
        c.check();
    }

    current = nullptr;
    EXPECT_EQ(client.Close(h), FT_OK);
    std::vector<LinkRequest> rqs = server.Requests();
    EXPECT_EQ(rqs.back().raw, (Bytes{0x0D, 0, 0, 0, 0}));
    // The handle is gone: later calls neither send nor succeed.
    size_t before = rqs.size();
    EXPECT_EQ(client.SetBaudRate(h, 115200), FT_INVALID_HANDLE);
    EXPECT_EQ(client.Close(h), FT_INVALID_HANDLE);
    EXPECT_EQ(client.SetBreakOn(nullptr), FT_INVALID_HANDLE);
    EXPECT_EQ(server.Requests().size(), before);
}

TEST(VirtualFtdiClient, BrokenHandleFailsEveryCallWithoutSendingAndClosesLocally)
{
    ScriptedLinkServer server([](const LinkRequest& rq) {
        if (rq.connection == 0 && rq.op == VFTDI_WRITE)
            return LinkAnswer{0, {}, true};  // the cable is pulled mid-call
        return OneDevice(rq);
    });
    CVirtualFtdiClient client(server.Address());
    FT_HANDLE h = nullptr;
    ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
    const uint8_t b[] = {1, 2, 3};
    uint32_t n = 99;
    EXPECT_EQ(client.Write(h, b, 3, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);

    size_t before = server.Requests().size();
    uint32_t rx = 5, tx = 5, ev = 5;
    uint8_t buf[4];
    EXPECT_EQ(client.GetStatus(h, &rx, &tx, &ev), FT_IO_ERROR);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(client.Read(h, buf, 4, &n), FT_IO_ERROR);
    EXPECT_EQ(client.SetBaudRate(h, 115200), FT_IO_ERROR);
    EXPECT_EQ(client.SetBitMode(h, 0xF1, 0x20), FT_IO_ERROR);
    EXPECT_EQ(client.Purge(h, FT_PURGE_RX), FT_IO_ERROR);
    EXPECT_EQ(client.Close(h), FT_OK);
    EXPECT_EQ(server.Requests().size(), before);

    // The machine can be found again on a fresh connection.
    FT_HANDLE again = nullptr;
    EXPECT_EQ(client.OpenByDescription("Vantorelle", &again), FT_OK);
    EXPECT_EQ(server.Accepted(), 2);
    EXPECT_EQ(client.Close(again), FT_OK);
}

TEST(VirtualFtdiClient, BrokenIdleConnectionIsReplaced)
{
    int counts = 0;
    ScriptedLinkServer server([&](const LinkRequest& rq) {
        if (rq.op == VFTDI_LIST_COUNT && ++counts == 2)
            return LinkAnswer{0, {}, true};
        return OneDevice(rq);
    });
    CVirtualFtdiClient client(server.Address());
    for (int i = 0; i < 3; ++i) {
        uint32_t count = 0;
        EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
        EXPECT_EQ(count, 1u) << "count " << i;
    }
    EXPECT_EQ(server.Accepted(), 2);
}

TEST(VirtualFtdiClient, SimulatorGoneWhileIdleMeansNoDevice)
{
    ScriptedLinkServer server(OneDevice);
    CVirtualFtdiClient client(server.Address());
    uint32_t count = 0;
    ASSERT_EQ(client.ListDevicesCount(&count), FT_OK);
    ASSERT_EQ(count, 1u);
    server.Stop();
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(client.OpenByDescription("Vantorelle", &h), FT_DEVICE_NOT_FOUND);
}

TEST(VirtualFtdiClient, AnswerLongerThanAskedBreaksTheHandleWithoutOverrun)
{
    ScriptedLinkServer server([](const LinkRequest& rq) {
        if (rq.connection == 0 && rq.op == VFTDI_READ)
            return LinkAnswer{0, Bytes(16, 0xEE)};
        if (rq.connection == 0 && rq.op == VFTDI_GET_STATUS)
            return LinkAnswer{0, Bytes(4, 0)};  // too short for three counts
        return OneDevice(rq);
    });
    struct Case { const char* name; std::function<FT_STATUS(CVirtualFtdiClient&, FT_HANDLE)> call; };
    uint8_t buf[8];
    std::memset(buf, 0x11, sizeof buf);
    uint32_t got = 0, rx = 0;
    const Case cases[] = {
        {"read of 4 answered with 16", [&](auto& c, auto h) { return c.Read(h, buf, 4, &got); }},
        {"queue status answered short", [&](auto& c, auto h) { return c.GetStatus(h, &rx, nullptr, nullptr); }},
    };
    CVirtualFtdiClient client(server.Address());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FT_HANDLE h = nullptr;
        ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
        EXPECT_EQ(c.call(client, h), FT_IO_ERROR);
        EXPECT_EQ(client.Close(h), FT_OK);
    }
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(buf[i], 0x11) << "byte " << i;
    EXPECT_EQ(got, 0u);
}

TEST(VirtualFtdiClient, ReceiveWaitUnknownToTheSimulatorIsNotAskedAgain)
{
    ScriptedLinkServer server([](const LinkRequest& rq) {
        if (rq.op == VFTDI_WAIT_RECEIVE)
            return LinkAnswer{FT_NOT_SUPPORTED, {}};
        if (rq.op == VFTDI_GET_STATUS)
            return LinkAnswer{0, Counts(2, 0, 0)};
        return OneDevice(rq);
    });
    CVirtualFtdiClient client(server.Address());
    FT_HANDLE h = nullptr;
    ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
    uint32_t rx = 9;
    EXPECT_EQ(client.WaitReceive(h, 100, &rx), FT_NOT_SUPPORTED);
    EXPECT_EQ(rx, 0u);
    size_t before = server.Requests().size();
    EXPECT_EQ(client.WaitReceive(h, 100, &rx), FT_NOT_SUPPORTED);
    EXPECT_EQ(server.Requests().size(), before) << "asked once, remembered";

    // The handle polls on as before.
    EXPECT_EQ(client.GetStatus(h, &rx, nullptr, nullptr), FT_OK);
    EXPECT_EQ(rx, 2u);
    EXPECT_EQ(client.Close(h), FT_OK);
}

TEST(VirtualFtdiClient, LongReceiveWaitGoesInPiecesTheSimulatorAccepts)
{
    struct Case {
        const char* name;
        uint32_t ms;
        std::vector<uint32_t> counts;   // the simulator's answer to each piece
        std::vector<uint32_t> pieces;   // the waits asked for
        uint32_t rx;
    };
    const Case cases[] = {
        {"time runs out", 130000, {0, 0, 0}, {60000, 60000, 10000}, 0},
        {"bytes in the second piece", 130000, {0, 4}, {60000, 60000}, 4},
        {"exactly the longest wait", 60000, {0}, {60000}, 0},
        {"no wait at all", 0, {0}, {0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<size_t> asked{0};
        ScriptedLinkServer server([&](const LinkRequest& rq) {
            if (rq.op == VFTDI_WAIT_RECEIVE) {
                size_t i = asked++;
                return LinkAnswer{0, U32(i < c.counts.size() ? c.counts[i] : 99)};
            }
            return OneDevice(rq);
        });
        CVirtualFtdiClient client(server.Address());
        FT_HANDLE h = nullptr;
        ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
        uint32_t rx = 77;
        EXPECT_EQ(client.WaitReceive(h, c.ms, &rx), FT_OK);
        EXPECT_EQ(rx, c.rx);
        std::vector<uint32_t> pieces;
        for (const LinkRequest& rq : server.Requests())
            if (rq.op == VFTDI_WAIT_RECEIVE && rq.payload.size() == 4)
                pieces.push_back(GetLe32(rq.payload.data()));
        EXPECT_EQ(pieces, c.pieces);
        EXPECT_EQ(client.Close(h), FT_OK);
    }
}

TEST(VirtualFtdiClient, DescriptionsAreAskedOnTheIdleConnection)
{
    const std::vector<std::string> attached = {"FT232R USB UART", "Vantorelle", "MOX"};
    ScriptedLinkServer server([&](const LinkRequest& rq) {
        if (rq.op == VFTDI_LIST_COUNT)
            return LinkAnswer{0, U32(uint32_t(attached.size()))};
        if (rq.op == VFTDI_GET_DESCRIPTION) {
            uint32_t i = GetLe32(rq.payload.data());
            if (i >= attached.size())
                return LinkAnswer{FT_DEVICE_NOT_FOUND, {}};
            return LinkAnswer{0, Bytes(attached[i].begin(), attached[i].end())};
        }
        return OneDevice(rq);
    });
    CVirtualFtdiClient client(server.Address());
    std::string text = "old";
    EXPECT_EQ(client.GetDescription(1, &text), FT_OK);
    EXPECT_EQ(text, "Vantorelle");
    EXPECT_EQ(server.Requests().back().raw, (Bytes{0x11, 4, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(client.GetDescription(3, &text), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(text, "");

    std::vector<std::string> listed;
    EXPECT_EQ(client.ListDescriptions(&listed), FT_OK);
    EXPECT_EQ(listed, attached);
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_EQ(client.ListDescriptions(nullptr), FT_INVALID_PARAMETER);
}

TEST(VirtualFtdiClient, DescriptionListWhenTheSimulatorCannotGiveIt)
{
    struct Case {
        const char* name;
        uint32_t count;
        LinkAnswer (*describe)(uint32_t index);
        FT_STATUS result;
        std::vector<std::string> listed;
    };
    const Case cases[] = {
        {"a simulator without the op", 2, [](uint32_t) { return LinkAnswer{FT_NOT_SUPPORTED, {}}; }, FT_NOT_SUPPORTED, {}},
        {"a device gone after the count", 3,
         [](uint32_t i) { return i < 2 ? LinkAnswer{0, {uint8_t('A'), uint8_t('0' + i)}} : LinkAnswer{FT_DEVICE_NOT_FOUND, {}}; },
         FT_OK, {"A0", "A1"}},
        {"an answer that breaks the stream", 1, [](uint32_t) { return LinkAnswer{0, Bytes(65, 'x')}; }, FT_IO_ERROR, {}},
        {"more devices than a bus takes", 100000, [](uint32_t) { return LinkAnswer{0, {'A'}}; }, FT_OTHER_ERROR, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLinkServer server([&](const LinkRequest& rq) {
            if (rq.op == VFTDI_LIST_COUNT)
                return LinkAnswer{0, U32(c.count)};
            if (rq.op == VFTDI_GET_DESCRIPTION)
                return c.describe(GetLe32(rq.payload.data()));
            return OneDevice(rq);
        });
        CVirtualFtdiClient client(server.Address());
        std::vector<std::string> listed = {"old"};
        EXPECT_EQ(client.ListDescriptions(&listed), c.result);
        EXPECT_EQ(listed, c.listed);
    }

    CVirtualFtdiClient nobody("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
    std::vector<std::string> listed = {"old"};
    EXPECT_EQ(nobody.ListDescriptions(&listed), FT_OK) << "nothing listening: nothing attached";
    EXPECT_TRUE(listed.empty());
    std::string text;
    EXPECT_EQ(nobody.GetDescription(0, &text), FT_IO_ERROR);
}
