// The simulated reader and card, driven with reader payloads directly.
#include "sim/machine/CardReaderModel.h"

#include <gtest/gtest.h>

#include <string>

using vu::sim::Bytes;
using vu::sim::CardFault;
using vu::sim::CardReaderModel;
using vu::sim::SmartCardModel;

namespace {

const Bytes kPowerOn = {0xB0, 0, 0, 0, 0, 3, 0, 0, 0};
const Bytes kReceive = {0xB3, 0, 0, 0, 0, 0xFF, 0, 0, 0};

uint8_t Lrc(const Bytes& b)
{
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    return x;
}

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An I-block (or any block) with its LRC.
Bytes Block(uint8_t pcb, const Bytes& inf)
{
    Bytes b = Cat({0x00, pcb, uint8_t(inf.size())}, inf);
    b.push_back(Lrc(b));
    return b;
}

Bytes SelectApdu(const Bytes& aid)
{
    return Cat(Cat({0x00, 0xA4, 0x04, 0x00, uint8_t(aid.size())}, aid), {0x00});
}

const Bytes kRead = {0x00, 0xAD, 0x00, 0x00};
const Bytes kHostChallenge = {1, 2, 3, 4, 5, 6, 7, 8};
const Bytes kInitializeUpdate = Cat(Cat({0x80, 0x50, 0x00, 0x00, 0x08}, kHostChallenge), {0x00});

class Reader : public ::testing::Test {
protected:
    CardReaderModel reader;
    SmartCardModel& card = reader.SmartCard();
    uint8_t hostSeq = 0x40; // as the tool keeps it: the first block carries 00
    uint8_t cardSeq = 0x00;

    std::optional<Bytes> Command(const Bytes& payload) { return reader.HandleCommand(payload.data(), payload.size()); }

    // What the next B3 hands over, without the B3 00 in front.
    Bytes Receive()
    {
        std::optional<Bytes> reply = Command(kReceive);
        EXPECT_TRUE(reply.has_value());
        if (!reply || reply->size() < 2)
            return {};
        EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 2), (Bytes{0xB3, 0x00}));
        return Bytes(reply->begin() + 2, reply->end());
    }

    void PowerOn()
    {
        ASSERT_EQ(Command(kPowerOn), (Bytes{0xB0, 0x00}));
        ASSERT_EQ(Receive(), SmartCardModel::kDefaultAnswerToReset);
    }

    // Sends block on the line; returns what the next B3 brings after the echo.
    Bytes SendRaw(const Bytes& block)
    {
        EXPECT_EQ(Command(Cat({0xB2}, block)), (Bytes{0xB2, 0x00}));
        Bytes got = Receive();
        EXPECT_GE(got.size(), block.size());
        EXPECT_EQ(Bytes(got.begin(), got.begin() + long(std::min(got.size(), block.size()))), block)
            << "the reader echoes the block first";
        return got.size() >= block.size() ? Bytes(got.begin() + long(block.size()), got.end()) : Bytes{};
    }

    // One correct I-block with apdu; returns the card's answer block.
    Bytes Send(const Bytes& apdu)
    {
        hostSeq ^= 0x40;
        return SendRaw(Block(hostSeq, apdu));
    }

    // The card's I-block carrying response.
    Bytes Answer(const Bytes& response)
    {
        Bytes b = Block(cardSeq, response);
        cardSeq ^= 0x40;
        return b;
    }
};

TEST_F(Reader, AnswerToResetCarriesJcopAtBytes9To12AndComesWithTheNextReceive)
{
    ASSERT_EQ(Command(kPowerOn), (Bytes{0xB0, 0x00}));
    Bytes atr = Receive();
    ASSERT_GE(atr.size(), 14u);
    EXPECT_EQ(std::string(atr.begin() + 9, atr.begin() + 13), "JCOP");
    EXPECT_TRUE(Receive().empty()) << "a second B3 finds nothing new";
    EXPECT_EQ(card.PowerOnCount(), 1);
}

TEST_F(Reader, CardAnswersItsApplicationsCommands)
{
    PowerOn();
    EXPECT_EQ(Send(SelectApdu(SmartCardModel::kApplicationAid)), Answer({0x90, 0x00}));
    Bytes read = Send(kRead);
    ASSERT_EQ(read.size(), 14u);
    EXPECT_EQ(read, Answer(Cat(Bytes(read.begin() + 3, read.begin() + 11), {0x90, 0x00})));

    Bytes fci = Send(SelectApdu(SmartCardModel::kCardManagerAid));
    ASSERT_GE(fci.size(), 6u);
    EXPECT_EQ(Bytes(fci.end() - 3, fci.end() - 1), (Bytes{0x90, 0x00}));
    cardSeq ^= 0x40;

    Bytes iu = Send(kInitializeUpdate);
    ASSERT_EQ(iu.size(), 34u) << "30 bytes of INF in a block";
    Bytes response(iu.begin() + 3, iu.end() - 1);
    EXPECT_EQ(response[11], 0x02) << "secure channel protocol 02";
    EXPECT_EQ(Bytes(response.end() - 2, response.end()), (Bytes{0x90, 0x00}));
    auto seen = card.InitializeUpdates();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(Bytes(seen[0].hostChallenge, seen[0].hostChallenge + 8), kHostChallenge);
    EXPECT_EQ(seen[0].answer, response);

    // A second one counts the sequence counter on and changes the cryptogram.
    cardSeq ^= 0x40;
    Bytes other = Cat(Cat({0x80, 0x50, 0x00, 0x00, 0x08}, {9, 9, 9, 9, 9, 9, 9, 9}), {0x00});
    Bytes again = Send(other);
    ASSERT_EQ(again.size(), 34u);
    EXPECT_EQ(again[3 + 13], uint8_t(response[13] + 1));
    EXPECT_NE(Bytes(again.begin() + 23, again.begin() + 31), Bytes(response.begin() + 20, response.begin() + 28));
    EXPECT_TRUE(card.Rejections().empty());
}

TEST_F(Reader, CommandsNeedTheirApplicationAndOthersFollowTheScript)
{
    PowerOn();
    EXPECT_EQ(Send(kRead), Answer({0x6D, 0x00})) << "no application selected";
    EXPECT_EQ(Send(kInitializeUpdate), Answer({0x6D, 0x00})) << "card manager not selected";
    EXPECT_EQ(Send(SelectApdu({0xA0, 0x01})), Answer({0x6A, 0x82}));
    EXPECT_EQ(Send({0x84, 0x82, 0x00, 0x00, 0x10}), Answer({0x90, 0x00})) << "default script";

    card.SetApduScript([](const Bytes& apdu) { return apdu[1] == 0xE6 ? Bytes{0x6A, 0x80} : Bytes{0x61, 0x02}; });
    EXPECT_EQ(Send({0x80, 0xE6, 0x02, 0x00}), Answer({0x6A, 0x80}));
    EXPECT_EQ(Send({0x80, 0xE8, 0x00, 0x00}), Answer({0x61, 0x02}));
    EXPECT_EQ(card.Apdus().back(), (Bytes{0x80, 0xE8, 0x00, 0x00}));
}

// Blocks the card must refuse: it answers an R-block naming the I-block it
// still waits for, and takes the next correct block as if nothing happened.
TEST_F(Reader, CardRefusesBadBlocksWithAnRBlock)
{
    struct Case {
        const char* name;
        Bytes block;
        uint8_t rPcb;
        const char* reason;
    };
    Bytes good = Block(0x00, kRead);
    Bytes badLrc = good;
    badLrc.back() ^= 0x01;
    Bytes badNad = good;
    badNad[0] = 0x21;
    badNad.back() ^= 0x21;
    Bytes longLen = good;
    longLen[2] = 5;
    longLen.back() ^= 4 ^ 5;
    const Case cases[] = {
        {"sequence bit 40 first", Block(0x40, kRead), 0x82, "wrong sequence bit"},
        {"LRC", badLrc, 0x81, "wrong LRC"},
        {"NAD", badNad, 0x82, "wrong NAD"},
        {"LEN", longLen, 0x82, "wrong LEN"},
        {"WTX answer unasked", Block(0xE3, {0x01}), 0x82, "unexpected R- or S-block"},
        {"chaining", Block(0x20, kRead), 0x82, "chained or malformed I-block"},
        {"too short", {0x00, 0x00, 0x00}, 0x82, "block shorter than 4 bytes"},
    };
    PowerOn();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes r = {0x00, c.rPcb, 0x00};
        r.push_back(Lrc(r));
        EXPECT_EQ(SendRaw(c.block), r);
        ASSERT_FALSE(card.Rejections().empty());
        EXPECT_EQ(card.Rejections().back(), c.reason);
    }
    EXPECT_EQ(card.Rejections().size(), std::size(cases));
    EXPECT_TRUE(card.Apdus().empty());
    // Still waiting for sequence 0; after it, an R-block names 1 (N(R) bit 10).
    EXPECT_EQ(Send(SelectApdu(SmartCardModel::kApplicationAid)), Answer({0x90, 0x00}));
    Bytes r = {0x00, 0x92, 0x00, 0x92};
    EXPECT_EQ(SendRaw(Block(0x00, kRead)), r) << "the same sequence bit twice";
}

TEST_F(Reader, WaitingTimeRequestsComeBeforeTheAnswerAndNeedTheEchoedMultiplier)
{
    PowerOn();
    card.AddFault(CardFault().For(kRead).AskForTime(3, 0x05));
    Send(SelectApdu(SmartCardModel::kApplicationAid));
    cardSeq ^= 0x40;
    const Bytes request = {0x00, 0xC3, 0x01, 0x05, 0xC7};
    EXPECT_EQ(Send(kRead), request);
    EXPECT_EQ(SendRaw(Block(0xE3, {0x05})), request);
    // A response with another multiplier, or an I-block, is refused; the request stands.
    EXPECT_EQ(SendRaw(Block(0xE3, {0x01})), (Bytes{0x00, 0x82, 0x00, 0x82}));
    EXPECT_EQ(SendRaw(Block(0x40, kRead)), (Bytes{0x00, 0x82, 0x00, 0x82}));
    EXPECT_EQ(SendRaw(Block(0xE3, {0x05})), request);
    Bytes answer = SendRaw(Block(0xE3, {0x05}));
    ASSERT_EQ(answer.size(), 14u);
    EXPECT_EQ(answer[1], cardSeq);
    EXPECT_EQ(card.Rejections().size(), 2u);

    // The fault was used up: the next read is answered at once.
    cardSeq ^= 0x40;
    EXPECT_EQ(Send(kRead).size(), 14u);
}

TEST_F(Reader, FaultsSpoilTheAnswersTheyMatch)
{
    PowerOn();
    card.AddFault(CardFault().For({0x80, 0xCA}).Silent());
    card.AddFault(CardFault().For({0x80, 0xE2}).CutTo(3));
    card.AddFault(CardFault().For({0x80, 0xE4}).Always().Answer({0x69, 0x85}));
    card.SetReadStatus(0x6A, 0x82);

    EXPECT_TRUE(Send({0x80, 0xCA, 0x00, 0x66}).empty()) << "silent";
    EXPECT_EQ(Send({0x80, 0xCA, 0x00, 0x66}), Answer({0x90, 0x00})) << "once only";
    Bytes whole = Answer({0x90, 0x00});
    EXPECT_EQ(Send({0x80, 0xE2, 0x00, 0x00}), Bytes(whole.begin(), whole.begin() + 3)) << "cut short";
    EXPECT_EQ(Send({0x80, 0xE4, 0x00, 0x00}), Answer({0x69, 0x85}));
    EXPECT_EQ(Send({0x80, 0xE4, 0x00, 0x00}), Answer({0x69, 0x85})) << "times -1 keeps it";

    Send(SelectApdu(SmartCardModel::kApplicationAid));
    cardSeq ^= 0x40;
    Bytes read = Send(kRead);
    ASSERT_EQ(read.size(), 14u) << "8 bytes and the status";
    EXPECT_EQ(read[11], 0x6A);
    EXPECT_EQ(read[12], 0x82);
}

TEST_F(Reader, AnswersCanComeInPartsAndLate)
{
    PowerOn();
    reader.SetReceiveChunk(4);
    card.AddFault(CardFault().HoldFor(2));
    hostSeq ^= 0x40;
    Bytes block = Block(hostSeq, kRead);
    ASSERT_EQ(Command(Cat({0xB2}, block)), (Bytes{0xB2, 0x00}));
    Bytes line;
    for (int i = 0; i < 8; ++i)
        line = Cat(line, Receive());
    EXPECT_EQ(line, Cat(block, Answer({0x6D, 0x00})));

    // The B3's own count caps a hand-over too.
    reader.SetReceiveChunk(0);
    Send(SelectApdu(SmartCardModel::kApplicationAid));
    const Bytes one = {0xB3, 0, 0, 0, 0, 1, 0, 0, 0};
    hostSeq ^= 0x40;
    ASSERT_TRUE(Command(Cat({0xB2}, Block(hostSeq, kRead))));
    EXPECT_EQ(Command(one), (Bytes{0xB3, 0x00, 0x00}));
    Bytes rest = Receive();
    EXPECT_EQ(rest.size(), 8u + 14u - 1);
}

TEST_F(Reader, ReceiveHandsOverAtMost255Bytes)
{
    PowerOn();
    Bytes big(240, 0x11);
    card.SetApduScript([&](const Bytes&) { return Cat(Bytes(big.begin(), big.end() - 2), {0x90, 0x00}); });
    hostSeq ^= 0x40;
    Bytes block = Block(hostSeq, Bytes(200, 0x22));
    ASSERT_TRUE(Command(Cat({0xB2}, block)));
    EXPECT_EQ(Receive().size(), 255u);
    EXPECT_EQ(Receive().size(), block.size() + big.size() + 4 - 255);
}

TEST_F(Reader, WrongCommandsAndAnUnpoweredCardGetNothing)
{
    const Bytes refused[] = {
        {},
        {0xB1},
        {0xB0, 0, 0, 0, 0, 3, 0, 0},         // short
        {0xB0, 0, 0, 0, 0, 5, 0, 0, 0},      // another class
        {0xB3, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0}, // long
        {0xB2},                              // no block
        Cat({0xB2}, Bytes(255, 0)),          // more than the reader holds
    };
    for (const Bytes& payload : refused)
        EXPECT_FALSE(reader.HandleCommand(payload.data(), payload.size()).has_value()) << payload.size();
    EXPECT_EQ(reader.RefusedCommands(), int(std::size(refused)));

    // Before power on the card says nothing; the line still carries the echo.
    EXPECT_TRUE(Send(kRead).empty());
    EXPECT_TRUE(card.Apdus().empty());
}

TEST_F(Reader, ResetEndsTheSessionButKeepsTheScript)
{
    card.SetAnswerToReset({0x3B, 0x00});
    card.AddFault(CardFault().For(kRead).Silent());
    ASSERT_TRUE(Command(kPowerOn));
    reader.Reset();
    EXPECT_FALSE(card.Powered());
    EXPECT_TRUE(Receive().empty()) << "the answer to reset went with the power";

    ASSERT_TRUE(Command(kPowerOn));
    EXPECT_EQ(Receive(), (Bytes{0x3B, 0x00}));
    Send(SelectApdu(SmartCardModel::kApplicationAid));
    cardSeq ^= 0x40;
    EXPECT_TRUE(Send(kRead).empty()) << "the fault outlived the reset";
    reader.Reset();
    ASSERT_TRUE(Command(kPowerOn));
    Receive();
    hostSeq = 0x40;
    cardSeq = 0x00;
    EXPECT_EQ(Send(kRead), Answer({0x6D, 0x00})) << "sequence bits and selection start afresh";
}

} // namespace
