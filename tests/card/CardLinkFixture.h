// A link over the scripted driver with a stand-in reader behind it: the
// reader answers every card command with its reply frame and keeps a timed
// line of bytes that each B3 hands over, so a test says exactly which bytes
// the card sends and when.
#pragma once

#include "device/CardChannel.h"
#include "device/MachineLink.h"
#include "tests/testsupport/ScriptedDriver.h"
#include "tests/testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace vu::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline uint8_t Lrc(const Bytes& b)
{
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    return x;
}

// A T=1 block with its LRC.
inline Bytes Block(uint8_t pcb, const Bytes& inf)
{
    Bytes b = {0x00, pcb, uint8_t(inf.size())};
    b = Cat(b, inf);
    b.push_back(Lrc(b));
    return b;
}

// A good answer to reset: JCOP at bytes 9 to 12.
inline Bytes JcopAtr() { return Hex("3B FA 13 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 31 96"); }

class StandInReader {
public:
    struct Piece {
        uint32_t atMs; // after the command that put it on the line
        Bytes bytes;
    };

    explicit StandInReader(VirtualSystem& clock) : m_clock(clock) {}

    // What the card sends after the next B2 (after the echo, which the
    // reader adds itself); one call per B2 to come.
    void AfterNextSend(std::vector<Piece> pieces) { m_afterSend.push_back(std::move(pieces)); }
    // The card keeps sending this after every B2 once the scripted ones are used.
    void AfterEverySend(std::vector<Piece> pieces) { m_everySend = std::move(pieces); }
    // Forgets whatever the card left on the line.
    void ClearLine() { m_line.clear(); }
    // Replies to the next B3 commands in place of the line (nullopt: no reply frame).
    void NextReceiveReplies(std::deque<std::optional<Bytes>> replies) { m_receiveReplies = std::move(replies); }

    Bytes atr = JcopAtr();
    size_t chunk = 255;          // at most this many bytes per B3
    bool answerPowerOn = true;
    bool answerSend = true;

    std::vector<Bytes> payloads; // every command payload, in order
    std::vector<Bytes> sent;     // the blocks of the B2 commands

    ScriptedDriver::Reply operator()(const Bytes& written)
    {
        if (written.size() < 5 || !(written[1] & 0x80)) {
            ADD_FAILURE() << "not a card frame: " << HexText(written);
            return {};
        }
        size_t n = written[2] | written[3] << 8;
        // The check byte is computed before byte 1 is flagged: for frames of
        // 256 bytes or more all bytes then xor to the unflagged high length byte.
        if (n + 5 != written.size() || Lrc(written) != (written[1] & 0x7F)) {
            ADD_FAILURE() << "bad frame: " << HexText(written);
            return {};
        }
        Bytes payload(written.begin() + 4, written.begin() + 4 + long(n));
        payloads.push_back(payload);
        uint32_t now = m_clock.NowMs();
        switch (payload.at(0)) {
        case 0xB0:
            m_line.clear();
            m_line.push_back({now, atr});
            if (!answerPowerOn)
                return {};
            return Reply({0xB0, 0x00});
        case 0xB2: {
            Bytes block(payload.begin() + 1, payload.end());
            sent.push_back(block);
            m_line.push_back({now, block});
            std::vector<Piece> pieces = m_everySend;
            if (!m_afterSend.empty()) {
                pieces = m_afterSend.front();
                m_afterSend.pop_front();
            }
            for (const Piece& p : pieces)
                m_line.push_back({now + p.atMs, p.bytes});
            if (!answerSend)
                return {};
            return Reply({0xB2, 0x00});
        }
        case 0xB3: {
            if (!m_receiveReplies.empty()) {
                std::optional<Bytes> r = m_receiveReplies.front();
                m_receiveReplies.pop_front();
                return r ? Reply(*r) : ScriptedDriver::Reply{};
            }
            Bytes reply = {0xB3, 0x00};
            size_t room = std::min<size_t>(chunk, payload.at(5));
            while (room > 0 && !m_line.empty() && m_line.front().atMs <= now) {
                Piece& p = m_line.front();
                size_t take = std::min(room, p.bytes.size());
                reply = Cat(reply, Bytes(p.bytes.begin(), p.bytes.begin() + long(take)));
                p.bytes.erase(p.bytes.begin(), p.bytes.begin() + long(take));
                room -= take;
                if (p.bytes.empty())
                    m_line.pop_front();
            }
            return Reply(reply);
        }
        default:
            ADD_FAILURE() << "unknown card command " << HexText(payload);
            return {};
        }
    }

private:
    static ScriptedDriver::Reply Reply(const Bytes& payload) { return {{MakeFrame(payload), 0}}; }

    VirtualSystem& m_clock;
    std::deque<Piece> m_line;
    std::deque<std::vector<Piece>> m_afterSend;
    std::vector<Piece> m_everySend;
    std::deque<std::optional<Bytes>> m_receiveReplies;
};

class CardLinkTest : public ::testing::Test {
protected:
    CardLinkTest() : driver(clock), reader(clock)
    {
        clock.RecordInto(driver);
        driver.SetResponder([this](const Bytes& written) { return reader(written); });
        link = std::make_unique<CMachineLink>(driver, clock);
        EXPECT_EQ(link->Open(), LINK_OK);
        link->m_bLogTraffic = false;
        channel = std::make_unique<CCardChannel>(link.get());
        driver.ClearCalls();
    }

    // The card's answer block to the next B2, at atMs after it.
    void CardAnswers(const Bytes& block, uint32_t atMs = 0) { reader.AfterNextSend({{atMs, block}}); }

    RecordingSystem clock;
    ScriptedDriver driver;
    StandInReader reader;
    LogCapture log;
    std::unique_ptr<CMachineLink> link;
    std::unique_ptr<CCardChannel> channel;
};

} // namespace vu::test
