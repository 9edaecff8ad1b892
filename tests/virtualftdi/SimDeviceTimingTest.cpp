// The simulated converter's timing, driven with explicit times: the wire at
// 10 bits a byte, the machine's own time, and the converter's hand-over
// (62 bytes, the latency timer, the event character).
#include "sim/machine-sim/SimDevice.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vu::sim;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(const Bytes& payload)
{
    size_t total = payload.size() + 5;
    Bytes f{uint8_t(total), uint8_t(total >> 8), uint8_t(payload.size()), uint8_t(payload.size() >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t check = 0;
    for (uint8_t b : f)
        check ^= b;
    f.push_back(check);
    return f;
}

// A device opened at t = 0, restarted into its boot loader, at baud.
struct BootedDevice {
    explicit BootedDevice(MachineState state = MachineState::Healthy(), SimTiming timing = {}, uint32_t baud = 115200)
        : device("Vantorelle", std::move(state), timing)
    {
        device.Open(0);
        device.SetDataCharacteristics(8, 0, 0);
        device.SetBaudRate(115200, 0);
        device.SetBitMode(0xF1, 0x20, 0);
        device.SetBitMode(0xF5, 0x20, 0);
        device.SetBreak(true, 0);
        device.SetBitMode(0xF1, 0x20, 100);
        device.SetBreak(false, 200);
        device.Purge(1, 300);
        if (baud != 115200) {
            uint32_t at = 300'000;
            Bytes switchRate = Frame({0xAE, uint8_t(baud), uint8_t(baud >> 8), uint8_t(baud >> 16), uint8_t(baud >> 24)});
            device.Write(switchRate.data(), switchRate.size(), at);
            Drain(at + 100'000);
            device.SetBaudRate(baud, at + 100'000);
        }
    }
    uint32_t Queued(uint64_t at)
    {
        uint32_t rx = 0, tx = 0;
        device.GetStatus(at, &rx, &tx);
        return rx;
    }
    Bytes Drain(uint64_t at)
    {
        Bytes b(HOST_QUEUE_LIMIT);
        b.resize(device.Read(b.data(), b.size(), at));
        return b;
    }
    // The first time (µs, from `from`, in steps of `step`) at which count bytes are queued.
    uint64_t WhenQueued(uint32_t count, uint64_t from, uint64_t step = 10, uint64_t limit = 200'000)
    {
        for (uint64_t t = from; t < from + limit; t += step)
            if (Queued(t) >= count)
                return t;
        return 0;
    }
    CSimDevice device;
};

} // namespace

TEST(SimDeviceTiming, ShortAnswerWaitsForTheLatencyTimer)
{
    BootedDevice m;
    Bytes id = Frame({0xD1});
    const uint64_t sent = 1'008'000; // a whole number of 16 ms ticks after the open
    m.device.Write(id.data(), id.size(), sent);
    // On the wire: 6 bytes out, 300 µs in the machine, 15 bytes back, at 87 µs a byte.
    EXPECT_EQ(m.Queued(sent + 6 * 87 + 300 + 15 * 87 + 100), 0u) << "short answers wait in the converter";
    EXPECT_EQ(m.device.NextReceiveUs(sent), sent + 16'000) << "what a receive wait sleeps until";
    uint64_t at = m.WhenQueued(15, sent);
    EXPECT_EQ(at, sent + 16'000) << "handed over at the next expiry of the 16 ms timer";
    EXPECT_EQ(m.device.NextReceiveUs(at), at) << "bytes queued: no wait";
    Bytes answer = m.Drain(at);
    ASSERT_EQ(answer.size(), 15u);
    EXPECT_EQ(answer[4], 0xD1);
    EXPECT_EQ(answer[5], 0x00);
}

TEST(SimDeviceTiming, HostSetLatencyAndEventCharacterHandOverSooner)
{
    struct Case {
        const char* name;
        uint8_t latencyMs;
        bool eventOnCheckByte;
        uint64_t maxWaitUs;   // after the answer's last byte arrived
    };
    const Case cases[] = {
        {"latency 2 ms", 2, false, 2'000},
        {"event character", 16, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BootedDevice m;
        ASSERT_TRUE(m.device.SetLatencyTimer(c.latencyMs, 400'000));
        Bytes id = Frame({0xD1});
        // The answer's check byte is fixed by the identity; use it as the event character.
        MachineState healthy = MachineState::Healthy();
        Bytes expected = {0xD1, 0x00};
        expected.insert(expected.end(), healthy.identity.begin(), healthy.identity.end());
        if (c.eventOnCheckByte)
            m.device.SetChars(Frame(expected).back(), true, 400'000);
        const uint64_t sent = 1'008'000;
        m.device.Write(id.data(), id.size(), sent);
        uint64_t lastByte = sent + (6 + 15) * 87 + 300;
        uint64_t planned = m.device.NextReceiveUs(sent);
        uint64_t first = m.WhenQueued(1, sent, 1);
        EXPECT_EQ(planned, first) << "the wait's plan and the queue agree";
        uint64_t at = m.WhenQueued(15, first, 1);
        EXPECT_GE(at, lastByte);
        EXPECT_LE(at, lastByte + c.maxWaitUs + 30);
    }
    EXPECT_FALSE(BootedDevice().device.SetLatencyTimer(1, 0)) << "below the converter's range";
}

TEST(SimDeviceTiming, LongAnswerComesInPacketsOf62)
{
    MachineState s = MachineState::Healthy();
    s.items[1] = Bytes(100, 'x'); // A1 00 + 100 bytes: a 107-byte frame
    BootedDevice m(s);
    Bytes rq = Frame({0xA1, 0x01});
    const uint64_t sent = 1'000'000;
    m.device.Write(rq.data(), rq.size(), sent);
    uint64_t start = sent + 7 * 87 + 300;
    uint64_t first = m.WhenQueued(1, sent, 1);
    EXPECT_EQ(m.Queued(first), 62u) << "the first packet goes as soon as it is full";
    EXPECT_NEAR(double(first), double(start + 62 * 87), 100.0);
    uint64_t rest = m.WhenQueued(107, first, 1);
    EXPECT_GT(rest, start + 107 * 87) << "the remainder waits for the timer";
    EXPECT_LE(rest, start + 107 * 87 + 16'000);
}

TEST(SimDeviceTiming, WireAndMachineTimeBoundTheSectorRate)
{
    BootedDevice m(MachineState::Healthy(), {}, 2'000'000);
    Bytes begin = Frame({0xD7});
    uint64_t t = 2'000'000;
    m.device.Write(begin.data(), begin.size(), t);
    t = m.WhenQueued(7, t);
    ASSERT_NE(t, 0u);
    m.Drain(t);

    // Two sectors per request: 1033 payload bytes, a 1038-byte frame, 5 µs a byte.
    Bytes write = {0xD8, 0, 0, 0, 0, 2, 0, 0, 0};
    write.resize(9 + 1024, 0x5A);
    Bytes frame = Frame(write);
    uint64_t sent = t;
    m.device.Write(frame.data(), frame.size(), sent);
    uint32_t rx = 0, tx = 0;
    m.device.GetStatus(sent + 1000, &rx, &tx);
    EXPECT_NEAR(double(tx), double(frame.size() - 200), 2.0) << "the transmit queue drains at the wire's rate";
    uint64_t answered = m.WhenQueued(1, sent, 1);
    uint64_t onWire = frame.size() * 5;
    EXPECT_GE(answered, sent + onWire + MachineTimeUs(write));
    EXPECT_LE(answered, sent + onWire + MachineTimeUs(write) + 16'000 + 100);
    Bytes answer = m.Drain(answered);
    ASSERT_GE(answer.size(), 6u);
    EXPECT_EQ(answer[4], 0xD8);
    EXPECT_EQ(answer[5], 0x00);
    EXPECT_EQ(m.device.Tally().imageBytes, 1024u);
    EXPECT_EQ(m.device.Model().Image(0, 1024), Bytes(1024, 0x5A));
}

TEST(SimDeviceTiming, WithoutTimingAnswersAreQueuedAtOnce)
{
    SimTiming none;
    none.enabled = false;
    BootedDevice m(MachineState::Healthy(), none);
    Bytes id = Frame({0xD1});
    m.device.Write(id.data(), id.size(), 500'000);
    EXPECT_EQ(m.Queued(500'000), 15u);
}

TEST(SimDeviceTiming, ConverterCallsOnTheQueues)
{
    struct Case {
        const char* name;
        std::function<void(CSimDevice&, uint64_t)> call;
        uint32_t queuedAfter;
    };
    const Case cases[] = {
        {"purge of the receive queue", [](CSimDevice& d, uint64_t t) { d.Purge(1, t); }, 0},
        {"purge of the transmit queue only", [](CSimDevice& d, uint64_t t) { d.Purge(2, t); }, 15},
        {"converter reset empties both", [](CSimDevice& d, uint64_t t) { d.ResetDevice(t); }, 0},
        {"bit mode without a restart keeps them", [](CSimDevice& d, uint64_t t) { d.SetBitMode(0xF1, 0x20, t); }, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BootedDevice m;
        Bytes id = Frame({0xD1});
        m.device.Write(id.data(), id.size(), 1'000'000);
        ASSERT_EQ(m.Queued(1'100'000), 15u);
        c.call(m.device, 1'100'000);
        EXPECT_EQ(m.Queued(1'100'001), c.queuedAfter);
    }
}

TEST(SimDeviceTiming, RestartDropsAnAnswerStillOnTheWire)
{
    BootedDevice m;
    Bytes id = Frame({0xD1});
    m.device.Write(id.data(), id.size(), 1'000'000);
    // The normal restart pulse, before the answer has left the machine.
    m.device.SetBitMode(0xF5, 0x20, 1'000'100);
    m.device.SetBitMode(0xF1, 0x20, 1'000'200);
    EXPECT_EQ(m.Queued(1'200'000), 0u);
    EXPECT_EQ(m.device.Model().CurrentMode(), MachineModel::Mode::Normal);
}

TEST(SimDeviceTiming, AFreshOpenRunsAt9600Until115200IsSet)
{
    CSimDevice d("Vantorelle", MachineState::Healthy());
    d.Open(0);
    d.SetBitMode(0xF1, 0x20, 0);
    d.SetBitMode(0xF5, 0x20, 0);
    d.SetBreak(true, 0);
    d.SetBitMode(0xF1, 0x20, 100);
    d.SetBreak(false, 200);
    Bytes id = Frame({0xD1});
    d.Write(id.data(), id.size(), 1'000);
    uint32_t rx = 0, tx = 0;
    d.GetStatus(1'000'000, &rx, &tx);
    EXPECT_EQ(rx, 0u) << "sent at the converter's default rate, the machine cannot read it";
    EXPECT_FALSE(d.TakeRejections().empty());
    EXPECT_FALSE(d.SetBaudRate(0, 1'000'000));
    EXPECT_FALSE(d.SetBaudRate(4'000'000, 1'000'000));
}

TEST(SimDeviceTiming, LatencyAndEventCharacterChangedWhileTheAnswerComesIn)
{
    // The identity answer: sent at a 16 ms tick, its first byte in the chip at
    // sent + 909 µs, its last (the check byte) at sent + 2127 µs.
    const uint64_t sent = 1'008'000;
    const uint64_t lastByte = sent + (6 + 15) * 87 + 300;
    MachineState healthy = MachineState::Healthy();
    Bytes expected = {0xD1, 0x00};
    expected.insert(expected.end(), healthy.identity.begin(), healthy.identity.end());
    const uint8_t check = Frame(expected).back();
    struct Case {
        const char* name;
        std::function<void(CSimDevice&)> change;
        uint64_t changedAt;    // the last change; the queue is watched from then on
        uint64_t handedOver;   // when the whole answer is queued
    };
    const Case cases[] = {
        {"event character set before its byte comes",
         [&](CSimDevice& d) { d.SetChars(check, true, sent + 1000); }, sent + 1000, lastByte},
        {"event character set after its byte came: judged by the old setting",
         [&](CSimDevice& d) { d.SetChars(check, true, lastByte + 1000); }, lastByte + 1000, sent + 16'000},
        {"event character switched off after its byte came: already handed over",
         [&](CSimDevice& d) {
             d.SetChars(check, true, sent);
             d.SetChars(check, false, lastByte + 1000);
         },
         lastByte + 1000, lastByte + 1000},
        {"another event character", [&](CSimDevice& d) { d.SetChars(uint8_t(check ^ 0xFF), true, sent); }, sent,
         sent + 16'000},
        {"latency raised while the bytes wait", [&](CSimDevice& d) { d.SetLatencyTimer(32, sent + 1000); },
         sent + 1000, sent + 32'000},
        {"latency lowered before they come", [&](CSimDevice& d) { d.SetLatencyTimer(4, sent); }, sent,
         sent + 4'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BootedDevice m;
        Bytes id = Frame({0xD1});
        m.device.Write(id.data(), id.size(), sent);
        c.change(m.device);
        EXPECT_EQ(m.WhenQueued(15, c.changedAt, 1), c.handedOver);
    }
}

TEST(SimDeviceTiming, HostRateWithinThreePercentOfTheMachinesIsUnderstood)
{
    struct Case {
        const char* name;
        uint32_t hostBaud;
        bool answered;
    };
    const Case cases[] = {
        {"2.9 % fast", 2'058'000, true},
        {"2.9 % slow", 1'942'000, true},
        {"exactly 3 % fast", 2'060'000, true},
        {"3.1 % fast", 2'062'000, false},
        {"3.1 % slow", 1'938'000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BootedDevice m(MachineState::Healthy(), {}, 2'000'000);
        ASSERT_EQ(m.device.Model().MachineBaud(), 2'000'000u);
        m.device.TakeRejections();
        ASSERT_TRUE(m.device.SetBaudRate(c.hostBaud, 1'000'000));
        Bytes id = Frame({0xD1});
        m.device.Write(id.data(), id.size(), 1'000'000);
        Bytes answer = m.Drain(1'100'000);
        if (c.answered) {
            ASSERT_EQ(answer.size(), 15u);
            EXPECT_EQ(answer[4], 0xD1);
            EXPECT_EQ(answer[5], 0x00);
            EXPECT_TRUE(m.device.TakeRejections().empty());
        } else {
            EXPECT_TRUE(answer.empty());
            EXPECT_FALSE(m.device.TakeRejections().empty()) << "garbled";
        }
    }
}
