// The card commands and the T=1 channel, byte for byte over a scripted
// driver with a stand-in reader, on the virtual clock.
#include "tests/card/CardLinkFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace vu;
using namespace vu::test;

namespace {

const Bytes kRead = {0x00, 0xAD, 0x00, 0x00};
const std::string kReceiveFrame = "0E 80 09 00 B3 00 00 00 00 FF 00 00 00 CB";

// The blocks the tool handed to Card_Send, as hex text.
std::vector<std::string> SentText(const StandInReader& reader)
{
    std::vector<std::string> out;
    for (const Bytes& b : reader.sent)
        out.push_back(HexText(b));
    return out;
}

size_t CountCommand(const StandInReader& reader, uint8_t command)
{
    return size_t(std::count_if(reader.payloads.begin(), reader.payloads.end(),
                                [&](const Bytes& p) { return p.at(0) == command; }));
}

// ---- The reader's commands

using CardCommands = CardLinkTest;

TEST_F(CardCommands, PowerOnWritesB0ThenB3AndAcceptsAJcopAnswer)
{
    EXPECT_EQ(link->Card_PowerOn(), LINK_OK);
    auto writes = driver.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(HexText(writes[0]), "0E 80 09 00 B0 00 00 00 00 03 00 00 00 34");
    EXPECT_EQ(HexText(writes[1]), kReceiveFrame);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(CardCommands, PowerOnJudgesTheAnswerToReset)
{
    struct Case {
        const char* name;
        Bytes atr;
        std::deque<std::optional<Bytes>> receiveReplies; // in place of the line
        int result;
        bool logged; // "Card_Receive failed"
    };
    const Bytes atr = JcopAtr();
    const Bytes fourteen(atr.begin(), atr.begin() + 14);
    Bytes jcoq = JcopAtr();
    jcoq[12] = 'Q';
    const Case cases[] = {
        {"JCOP, 20 bytes", JcopAtr(), {}, LINK_OK, false},
        {"JCOP, 14 bytes", fourteen, {}, LINK_OK, false},
        {"13 bytes", Bytes(fourteen.begin(), fourteen.end() - 1), {}, LINK_E_PROTOCOL, false},
        {"JCOQ", jcoq, {}, LINK_E_PROTOCOL, false},
        {"JCOP one byte early", Cat({0x3B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, Cat(Hex("4A434F50"), Bytes(8, 0))),
         {}, LINK_E_PROTOCOL, false},
        {"nothing", {}, {}, LINK_E_PROTOCOL, false},
        {"receive reply B3 01", JcopAtr(), {Cat({0xB3, 0x01}, JcopAtr())}, LINK_E_PROTOCOL, true},
        {"receive reply of one byte", JcopAtr(), {Bytes{0xB3}}, LINK_E_PROTOCOL, true},
        {"no receive reply", JcopAtr(), {std::nullopt}, LINK_E_PROTOCOL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.atr = c.atr;
        reader.NextReceiveReplies(c.receiveReplies);
        log.Clear();
        EXPECT_EQ(link->Card_PowerOn(), c.result);
        EXPECT_EQ(log.Contains(L"Card_Receive failed"), c.logged);
        EXPECT_EQ(log.Lines().size(), c.logged ? 1u : 0u);
    }
}

TEST_F(CardCommands, PowerOnWithoutItsReplyFailsBeforeReceiving)
{
    reader.answerPowerOn = false;
    EXPECT_EQ(link->Card_PowerOn(), LINK_E_PROTOCOL);
    EXPECT_EQ(CountCommand(reader, 0xB3), 0u);

    driver.FailCall("Write", FT_IO_ERROR);
    reader.payloads.clear();
    EXPECT_EQ(link->Card_PowerOn(), LINK_E_PROTOCOL);
    EXPECT_TRUE(reader.payloads.empty());
    EXPECT_FALSE(log.Contains(L"Card_Receive failed"));
}

TEST_F(CardCommands, SendCarriesTheBlockAfterB2)
{
    Bytes block(254, 0x5A);
    EXPECT_EQ(link->Card_Send(block.data(), int(block.size())), LINK_OK);
    ASSERT_EQ(reader.sent.size(), 1u);
    EXPECT_EQ(reader.sent[0], block);
    EXPECT_EQ(driver.Writes().at(0).size(), 260u);

    // 255 bytes do not fit beside the command byte: refused unsent.
    Bytes tooLong(255, 0x5A);
    driver.ClearCalls();
    EXPECT_EQ(link->Card_Send(tooLong.data(), 255), LINK_E_PROTOCOL);
    EXPECT_TRUE(driver.Writes().empty());

    reader.answerSend = false;
    EXPECT_EQ(link->Card_Send(block.data(), 4), LINK_E_PROTOCOL) << "no reply frame";
    driver.FailCall("Write", FT_IO_ERROR);
    EXPECT_EQ(link->Card_Send(block.data(), 4), LINK_E_PROTOCOL) << "write failed";
}

TEST_F(CardCommands, ReceiveMovesTheCardsBytesToTheFront)
{
    reader.NextReceiveReplies({Hex("B3 00 11 22 33"), Hex("B3 00"), Hex("B3"), Hex("B2 00 11"),
                               Cat({0xB3, 0x00}, Bytes(10, 0x44))});
    uint8_t dest[16] = {};
    uint32_t count = 99;
    EXPECT_EQ(link->Card_Receive(dest, &count, sizeof dest), LINK_OK);
    EXPECT_EQ(HexText(dest, count), "11 22 33");
    EXPECT_EQ(HexText(driver.Writes().at(0)), kReceiveFrame);

    EXPECT_EQ(link->Card_Receive(dest, &count, sizeof dest), LINK_OK);
    EXPECT_EQ(count, 0u) << "nothing new";
    EXPECT_EQ(link->Card_Receive(dest, &count, sizeof dest), LINK_E_PROTOCOL) << "too short";
    EXPECT_EQ(link->Card_Receive(dest, &count, sizeof dest), LINK_E_PROTOCOL) << "another command";
    uint8_t small[8] = {};
    EXPECT_EQ(link->Card_Receive(small, &count, sizeof small), LINK_E_PROTOCOL) << "12 bytes into 8";
}

// ---- Blocks out

using SendBlocks = CardLinkTest;

TEST_F(SendBlocks, SequenceBitAlternatesFromZero)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
    EXPECT_EQ(SentText(reader), (std::vector<std::string>{"00 00 04 00 AD 00 00 A9", "00 40 04 00 AD 00 00 E9",
                                                          "00 00 04 00 AD 00 00 A9"}));
    EXPECT_EQ(HexText(driver.Writes().at(0)), "0E 80 09 00 B2 00 00 04 00 AD 00 00 A9 35");
    EXPECT_EQ(channel->m_nSendSeq, 0x00);
}

TEST_F(SendBlocks, LengthsAtTheLimits)
{
    struct Case {
        int count;
        int result;
        bool sent;
    };
    const Case cases[] = {
        {0, LINK_OK, true},
        {250, LINK_OK, true},
        {251, LINK_E_BLOCK_TOO_LONG, false}, // beyond what Card_Send carries
        {255, LINK_E_BLOCK_TOO_LONG, false},
        {256, LINK_E_BLOCK_TOO_LONG, false},
        {-1, LINK_E_PROTOCOL, false},
    };
    Bytes inf(256, 0x77);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        reader.sent.clear();
        int seqBefore = channel->m_nSendSeq;
        EXPECT_EQ(channel->SendBlock(inf.data(), c.count), c.result);
        ASSERT_EQ(reader.sent.size(), c.sent ? 1u : 0u);
        if (c.sent) {
            EXPECT_EQ(channel->m_nSendSeq, 0x40 - seqBefore);
            Bytes expected = Block(uint8_t(channel->m_nSendSeq), Bytes(inf.begin(), inf.begin() + c.count));
            EXPECT_EQ(reader.sent[0], expected);
        } else {
            EXPECT_EQ(channel->m_nSendSeq, seqBefore) << "nothing sent, nothing flipped";
        }
    }
}

TEST_F(SendBlocks, AFailedSendStillUsesUpItsSequenceBit)
{
    driver.FailCall("Write", FT_IO_ERROR);
    EXPECT_EQ(channel->SendBlock(kRead.data(), 4), LINK_E_PROTOCOL);
    EXPECT_EQ(channel->m_nSendSeq, 0x00);
    EXPECT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
    EXPECT_EQ(SentText(reader), (std::vector<std::string>{"00 40 04 00 AD 00 00 E9"}));
}

// ---- Blocks in

using ReceiveBlocks = CardLinkTest;

TEST_F(ReceiveBlocks, TakesTheCardsBlockAfterTheEcho)
{
    struct Case {
        const char* name;
        size_t chunk;     // bytes per B3
        uint32_t atMs;    // when the card's block arrives
        Bytes trailing;   // after the card's block
    };
    const Case cases[] = {
        {"one B3", 255, 0, {}},
        {"three bytes per B3", 3, 0, {}},
        {"one byte per B3", 1, 0, {}},
        {"late", 255, 1900, {}},
        {"with bytes after it", 255, 0, Hex("00 00 02 90 00 92")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.chunk = c.chunk;
        reader.AfterNextSend({{c.atMs, Cat(Block(0x00, Hex("01 02 03 04 05 06 07 08 90 00")), c.trailing)}});
        ASSERT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
        uint8_t dest[64] = {};
        uint32_t count = 0;
        EXPECT_EQ(channel->ReceiveBlock(dest, &count, sizeof dest), LINK_OK);
        EXPECT_EQ(HexText(dest, count), "01 02 03 04 05 06 07 08 90 00");
        reader.NextReceiveReplies({Hex("B3 00")}); // forget the trailing bytes
    }
}

TEST_F(ReceiveBlocks, GivesUpAfter2000msWithTheLastReceiveResult)
{
    struct Case {
        const char* name;
        std::vector<StandInReader::Piece> card;
        bool readerAnswers;
        int result;
    };
    Bytes answer = Block(0x00, Hex("90 00"));
    const Case cases[] = {
        {"nothing after the echo", {}, true, LINK_OK},
        {"answer cut short", {{0, Bytes(answer.begin(), answer.end() - 1)}}, true, LINK_OK},
        {"answer too late", {{2300, answer}}, true, LINK_OK},
        {"reader stops answering B3", {}, false, LINK_E_PROTOCOL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.AfterNextSend(c.card);
        ASSERT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
        if (!c.readerAnswers)
            reader.NextReceiveReplies(std::deque<std::optional<Bytes>>(10, std::nullopt));
        uint8_t dest[64] = {};
        uint32_t count = 5; // left as it was
        uint32_t start = clock.NowMs();
        EXPECT_EQ(channel->ReceiveBlock(dest, &count, sizeof dest), c.result);
        EXPECT_EQ(count, 5u);
        uint32_t elapsed = clock.NowMs() - start;
        EXPECT_GE(elapsed, 2000u);
        EXPECT_LE(elapsed, c.readerAnswers ? 2100u : 4200u);
        reader.NextReceiveReplies({});
        reader.ClearLine();
    }
}

TEST_F(ReceiveBlocks, AnswersAWaitingTimeRequestWithTheCardsMultiplier)
{
    // The request comes 1500 ms after the echo and the answer 1500 ms after
    // the tool's response: only a fresh limit sees it.
    reader.AfterNextSend({{1500, Hex("00 C3 01 02 C0")}});
    reader.AfterNextSend({{1500, Block(0x00, Hex("61 02 90 00"))}});
    ASSERT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
    driver.ClearCalls();
    uint8_t dest[64] = {};
    uint32_t count = 0;
    EXPECT_EQ(channel->ReceiveBlock(dest, &count, sizeof dest), LINK_OK);
    EXPECT_EQ(HexText(dest, count), "61 02 90 00");
    EXPECT_EQ(SentText(reader).back(), "00 E3 01 02 E0");
    // The response is followed by a 10 ms pause before the next receive.
    auto calls = driver.CallsOf({"Write", "Sleep"});
    auto it = std::find(calls.begin(), calls.end(), "Write 0B 80 06 00 B2 00 E3 01 02 E0 " + HexText({Lrc(Hex("0B 80 06 00 B2 00 E3 01 02 E0"))}));
    ASSERT_NE(it, calls.end());
    EXPECT_EQ(*(it + 1), "Sleep 10");

    // The response is no I-block: the next block carries 40.
    EXPECT_EQ(channel->m_nSendSeq, 0x00);
    channel->SendBlock(kRead.data(), 4);
    EXPECT_EQ(SentText(reader).back(), "00 40 04 00 AD 00 00 E9");
}

TEST_F(ReceiveBlocks, SeveralWaitingTimeRequestsInARow)
{
    for (int i = 0; i < 3; ++i)
        reader.AfterNextSend({{100, Hex("00 C3 01 01 C3")}});
    reader.AfterNextSend({{100, Block(0x00, Hex("90 00"))}});
    ASSERT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
    uint8_t dest[64] = {};
    uint32_t count = 0;
    EXPECT_EQ(channel->ReceiveBlock(dest, &count, sizeof dest), LINK_OK);
    EXPECT_EQ(HexText(dest, count), "90 00");
    EXPECT_EQ(SentText(reader), (std::vector<std::string>{"00 00 04 00 AD 00 00 A9", "00 E3 01 01 E3",
                                                          "00 E3 01 01 E3", "00 E3 01 01 E3"}));
}

TEST_F(ReceiveBlocks, ACardThatNeverStopsAskingForTimeFailsAfterAMinute)
{
    reader.AfterEverySend({{1000, Hex("00 C3 01 01 C3")}});
    ASSERT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
    uint8_t dest[64] = {};
    uint32_t count = 0;
    uint32_t start = clock.NowMs();
    EXPECT_EQ(channel->ReceiveBlock(dest, &count, sizeof dest), LINK_E_PROTOCOL);
    uint32_t elapsed = clock.NowMs() - start;
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LE(elapsed, 62100u);
    EXPECT_EQ(count, 0u);
    size_t responses = reader.sent.size() - 1;
    EXPECT_GE(responses, 50u);
    EXPECT_LE(responses, 60u);
}

TEST_F(ReceiveBlocks, AnswersThatDoNotFitAreRefusedOrBounded)
{
    // An answer longer than the caller's buffer fails without touching it.
    reader.AfterNextSend({{0, Block(0x00, Bytes(12, 0x31))}});
    ASSERT_EQ(channel->SendBlock(kRead.data(), 4), LINK_OK);
    uint8_t small[16];
    std::fill(std::begin(small), std::end(small), 0xEE);
    uint32_t count = 0;
    EXPECT_EQ(channel->ReceiveBlock(small, &count, 11), LINK_E_PROTOCOL);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(small[0], 0xEE);

    // A reader that floods the line: an echo claiming 255 bytes, then over
    // a kilobyte in one reply. Only what fits is gathered.
    reader.NextReceiveReplies({Hex("B3 00 00 00 FF 00 00"), Cat({0xB3, 0x00}, Bytes(1020, 0x10))});
    uint8_t dest[CARD_BLOCK_BUFFER_SIZE] = {};
    count = 0;
    EXPECT_EQ(channel->ReceiveBlock(dest, &count, sizeof dest), LINK_OK);
    EXPECT_EQ(count, 0x10u);
}

// ---- Commands built on blocks

using CardCommandsOnBlocks = CardLinkTest;

TEST_F(CardCommandsOnBlocks, OpenPowersTheCardOnce)
{
    EXPECT_EQ(channel->Open(), LINK_OK);
    EXPECT_TRUE(channel->m_bCardReady);
    size_t writes = driver.Writes().size();
    EXPECT_EQ(channel->Open(), LINK_OK);
    EXPECT_EQ(driver.Writes().size(), writes) << "the second Open sends nothing";

    CCardChannel other(link.get());
    reader.atr = Hex("3B 00");
    EXPECT_EQ(other.Open(), LINK_E_PROTOCOL);
    EXPECT_FALSE(other.m_bCardReady);
    reader.atr = JcopAtr();
    EXPECT_EQ(other.Open(), LINK_OK) << "a failed Open is tried again";
    EXPECT_EQ(CountCommand(reader, 0xB0), 3u);
}

TEST_F(CardCommandsOnBlocks, TransmitPausesThenReceives)
{
    CardAnswers(Block(0x00, Hex("90 00")));
    uint8_t dest[32] = {};
    uint32_t count = 0;
    EXPECT_EQ(channel->TransmitHeader(kRead.data(), dest, &count, sizeof dest), LINK_OK);
    EXPECT_EQ(HexText(dest, count), "90 00");
    auto calls = driver.CallsOf({"Write", "Sleep"});
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[1], "Sleep 100") << "between the block and the first receive";

    // A failed send still pauses, and nothing is received.
    driver.ClearCalls();
    reader.payloads.clear();
    driver.FailCall("Write", FT_IO_ERROR);
    count = 0;
    EXPECT_EQ(channel->Transmit(kRead.data(), 4, dest, &count, sizeof dest, 1000), LINK_E_PROTOCOL);
    EXPECT_EQ(driver.CallsOf({"Sleep"}), (std::vector<std::string>{"Sleep 1000"}));
    EXPECT_TRUE(reader.payloads.empty());
    EXPECT_EQ(channel->Transmit(nullptr, 300, dest, &count, sizeof dest, 5), LINK_E_BLOCK_TOO_LONG);
}

TEST_F(CardCommandsOnBlocks, SelectSendsTheAidAndWantsTheStatus9000)
{
    struct Case {
        const char* name;
        Bytes answerInf; // empty: the card never answers
        int result;
    };
    const Case cases[] = {
        {"90 00", Hex("90 00"), LINK_OK},
        {"FCI and 90 00", Hex("6F 03 84 01 AA 90 00"), LINK_OK},
        {"6A 82", Hex("6A 82"), LINK_E_PROTOCOL},
        {"90 00 then more", Hex("90 00 01"), LINK_E_PROTOCOL},
        {"one byte", Hex("90"), LINK_E_PROTOCOL},
        {"no answer", {}, LINK_E_PROTOCOL},
    };
    const Bytes aid = Hex("83 46 75 23 61 01");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.sent.clear();
        channel->m_nSendSeq = 0x40;
        reader.AfterNextSend(c.answerInf.empty() ? std::vector<StandInReader::Piece>{}
                                                 : std::vector<StandInReader::Piece>{{0, Block(0x00, c.answerInf)}});
        EXPECT_EQ(channel->Select(aid.data(), int(aid.size())), c.result);
        ASSERT_EQ(reader.sent.size(), 1u);
        EXPECT_EQ(HexText(reader.sent[0]), "00 00 0C 00 A4 04 00 06 83 46 75 23 61 01 00 59");
    }
}

TEST_F(CardCommandsOnBlocks, SelectLimitsTheAidTo100Bytes)
{
    Bytes aid(101, 0xA5);
    EXPECT_EQ(channel->Select(aid.data(), 101), LINK_E_PROTOCOL);
    EXPECT_TRUE(driver.Writes().empty());
    EXPECT_EQ(channel->m_nSendSeq, 0x40);

    CardAnswers(Block(0x00, Hex("90 00")));
    EXPECT_EQ(channel->Select(aid.data(), 100), LINK_OK);
    ASSERT_EQ(reader.sent.size(), 1u);
    EXPECT_EQ(reader.sent[0].size(), 106u + 4);

    CardAnswers(Block(0x40, Hex("90 00")));
    EXPECT_EQ(channel->SelectCardManager(), LINK_OK);
    EXPECT_EQ(HexText(Bytes(reader.sent[1].begin() + 3, reader.sent[1].end() - 1)), "00 A4 04 00 07 A0 00 00 00 03 00 00 00");
}

TEST_F(CardCommandsOnBlocks, InitializeUpdateSendsAFreshChallengeAndKeepsTheCards)
{
    // Key diversification data 10, key information 2, counter 2, card challenge 6, cryptogram 8, 90 00.
    Bytes answer = Hex("11 12 13 14 15 16 17 18 19 1A  01 02  00 2A  C1 C2 C3 C4 C5 C6  D1 D2 D3 D4 D5 D6 D7 D8  90 00");
    CardAnswers(Block(0x00, answer));
    EXPECT_EQ(channel->InitializeUpdate(), LINK_OK);
    ASSERT_EQ(reader.sent.size(), 1u);
    Bytes apdu(reader.sent[0].begin() + 3, reader.sent[0].end() - 1);
    ASSERT_EQ(apdu.size(), 14u);
    EXPECT_EQ(HexText(Bytes(apdu.begin(), apdu.begin() + 5)), "80 50 00 00 08");
    EXPECT_EQ(Bytes(apdu.begin() + 5, apdu.begin() + 13), Bytes(channel->m_hostChallenge, channel->m_hostChallenge + 8));
    EXPECT_EQ(apdu[13], 0x00);
    EXPECT_EQ(HexText(channel->m_cardChallenge, 8), "00 2A C1 C2 C3 C4 C5 C6");
    auto calls = driver.CallsOf({"Write", "Sleep"});
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1], "Sleep 2000");

    // A second one brings another challenge; a 29-byte answer fails and leaves the card's challenge.
    Bytes first(channel->m_hostChallenge, channel->m_hostChallenge + 8);
    CardAnswers(Block(0x40, Bytes(answer.begin() + 1, answer.end())));
    EXPECT_EQ(channel->InitializeUpdate(), LINK_E_PROTOCOL);
    EXPECT_NE(Bytes(channel->m_hostChallenge, channel->m_hostChallenge + 8), first);
    EXPECT_EQ(HexText(channel->m_cardChallenge, 8), "00 2A C1 C2 C3 C4 C5 C6");
}

} // namespace
