// The engine against the in-process machine model and the reference update
// server on a loopback address of its own, under the virtual clock.
#pragma once

#include "engine/EngineContext.h"
#include "sim/machine/ModelDriver.h"
#include "sim/update-server/RequestPacket.h"
#include "sim/update-server/UpdateContent.h"
#include "sim/update-server/UpdateServer.h"
#include "tests/testsupport/RecordingWindow.h"
#include "tests/testsupport/StartWorker.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace vu::test {

using sim::Bytes;

inline Bytes Pattern(size_t count, uint32_t seed)
{
    Bytes out(count);
    uint32_t x = seed | 1;
    for (uint8_t& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return out;
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline sim::Fault RawReplyFault(const Bytes& tag, const std::vector<Bytes>& records, int count = 1)
{
    sim::Fault f;
    f.kind = sim::FaultKind::Raw;
    f.tag = tag;
    f.raw = sim::PackReply(records);
    f.count = count;
    return f;
}

// The server reads the request and closes without a byte, for every request with tag.
inline sim::Fault NoReplyFault(const Bytes& tag, int skip = 0)
{
    sim::Fault f;
    f.kind = sim::FaultKind::Close;
    f.tag = tag;
    f.count = 0;
    f.skip = skip;
    return f;
}

inline sim::MachineFault Refuse(int times = 1, int after = 0)
{
    sim::MachineFault f;
    f.kind = sim::MachineFault::Kind::Refuse;
    f.times = times;
    f.after = after;
    return f;
}

inline sim::MachineFault Silent(int times = 1, int after = 0)
{
    sim::MachineFault f;
    f.kind = sim::MachineFault::Kind::Silent;
    f.times = times;
    f.after = after;
    return f;
}

// The virtual clock, keeping every sleep in order.
class SleepRecordingClock : public VirtualSystem {
public:
    void Sleep(uint32_t ms) override
    {
        {
            std::lock_guard<std::mutex> lock(m_sleepLock);
            m_sleeps.push_back(ms);
        }
        VirtualSystem::Sleep(ms);
    }
    // The sleeps of at least minMs, in order.
    std::vector<uint32_t> Sleeps(uint32_t minMs) const
    {
        std::lock_guard<std::mutex> lock(m_sleepLock);
        std::vector<uint32_t> out;
        for (uint32_t ms : m_sleeps)
            if (ms >= minMs)
                out.push_back(ms);
        return out;
    }

private:
    mutable std::mutex m_sleepLock;
    std::vector<uint32_t> m_sleeps;
};

// Members are public so that tables of cases can script them.
class EngineTest : public ::testing::Test {
public:
    static constexpr const char* kDescription = "Vantorelle";

    EngineTest() : m_driver(m_clock), m_context{m_driver, m_clock, {}}, m_window(m_context, &m_clock) {}

    void SetUp() override
    {
        m_server.SetContent(DefaultContent());
        std::string error;
        ASSERT_TRUE(m_server.Start(&error)) << error;
        m_server.ExportEnvironment();
    }

    void TearDown() override { m_server.Stop(); }

    // The engine's clock, as the tests start their phases by it.
    uint32_t TickCount() { return m_clock.TickCount(); }

    // Firmware of three chunks and a short image: quick, yet every path runs.
    static sim::UpdateContent DefaultContent() { return sim::MakeDemoContent(2500, 3000, "V2.30"); }

    sim::MachineModel& Attach(sim::MachineState state = sim::MachineState::Healthy(),
                              const std::string& description = kDescription)
    {
        return m_driver.Attach(description, std::move(state));
    }
    sim::MachineModel& Machine() { return m_driver.Model(0); }

    void SetContent(sim::UpdateContent content) { m_server.SetContent(std::move(content)); }
    void Fault(sim::Fault fault) { m_server.AddFault(std::move(fault)); }
    // A reply replaced by these records, for requests carrying tag.
    void RawReply(const Bytes& tag, const std::vector<Bytes>& records, int count = 1)
    {
        Fault(RawReplyFault(tag, records, count));
    }
    void NoReply(const Bytes& tag, int skip = 0) { Fault(NoReplyFault(tag, skip)); }

    // Protocol requests the server got for a tag, in order.
    std::vector<sim::ReceivedRequest> RequestsFor(const Bytes& tag) const { return m_server.RequestsFor(tag); }

    // The machine restarted normally and the port is closed.
    void ExpectLeftNormalAndClosed()
    {
        EXPECT_EQ(Machine().CurrentMode(), sim::MachineModel::Mode::Normal);
        EXPECT_FALSE(m_driver.IsOpen(0));
    }

    // The machine holds exactly what the server served.
    void ExpectStorageAsServed(bool firmware = true, bool image = true)
    {
        sim::UpdateContent c = m_server.Content();
        if (firmware) {
            EXPECT_TRUE(Machine().Firmware() == c.firmware) << "firmware differs";
        }
        if (image) {
            EXPECT_TRUE(Machine().Image(0, c.image.size()) == c.image) << "image differs";
            // Nothing was written past the image beyond the last sector's fill.
            EXPECT_LE(Machine().State().image.size(), (c.image.size() + 511) / 512 * 512);
        }
    }

    std::vector<std::wstring> LogLinesStartingWith(const std::wstring& prefix) const
    {
        std::vector<std::wstring> out;
        for (const std::wstring& line : m_log.Lines())
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }

    SleepRecordingClock m_clock;
    LogCapture m_log;
    sim::ModelDriver m_driver;
    EngineContext m_context;
    sim::UpdateServer m_server;
    RecordingWindow m_window;
};

inline const Bytes kVersionTag{0x02, 0x01, 0x04};
inline const Bytes kFirmwareTag{0x02, 0x01, 0x01};
inline const Bytes kSizeTag{0x02, 0x01, 0x03};
inline const Bytes kPartTag{0x02, 0x01, 0x02};
inline const Bytes kPlaybackTag{0x07, 0x41};
inline const Bytes kCardTag{0x07, 0x42};

} // namespace vu::test
