// The card channel against the machine model's reader and card, through the
// in-process driver, on the virtual clock: the card checks every block the
// tool sends, so a wrong tool fails here.
#include "device/CardChannel.h"
#include "device/MachineLink.h"
#include "sim/machine/ModelDriver.h"
#include "tests/testsupport/ScriptedDriver.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vu;
using vu::sim::Bytes;
using vu::sim::CardFault;
using vu::sim::SmartCardModel;
using vu::test::Hex;
using vu::test::HexText;

namespace {

const Bytes kRead = {0x00, 0xAD, 0x00, 0x00};

class CardOnMachine : public ::testing::Test {
protected:
    CardOnMachine() : driver(clock), machine(driver.Attach("Vantorelle"))
    {
        link = std::make_unique<CMachineLink>(driver, clock);
        EXPECT_EQ(link->Open(), LINK_OK);
        EXPECT_EQ(link->EnterBios(), LINK_OK);
        link->m_bLogTraffic = false;
        channel = std::make_unique<CCardChannel>(link.get());
    }
    ~CardOnMachine() override { link->Close(); }

    SmartCardModel& Card() { return machine.Card().SmartCard(); }

    // Transmit as the card phase relays a record: 1000 ms, a 1000-byte answer buffer.
    Bytes Relay(const Bytes& apdu)
    {
        uint8_t answer[1000] = {};
        uint32_t count = 0;
        channel->Transmit(apdu.data(), int(apdu.size()), answer, &count, sizeof answer, 1000);
        return Bytes(answer, answer + count);
    }

    Bytes ReadHeader(int* result = nullptr)
    {
        uint8_t answer[500] = {};
        uint32_t count = 0;
        int r = channel->TransmitHeader(kRead.data(), answer, &count, sizeof answer);
        if (result)
            *result = r;
        return Bytes(answer, answer + count);
    }

    // Open, select the application, read, select the card manager, INITIALIZE UPDATE.
    void RunOpening()
    {
        ASSERT_EQ(channel->Open(), LINK_OK);
        ASSERT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_OK);
        Bytes read = ReadHeader();
        ASSERT_EQ(read.size(), 10u);
        ASSERT_EQ(channel->SelectCardManager(), LINK_OK);
        ASSERT_EQ(channel->InitializeUpdate(), LINK_OK);
    }

    VirtualSystem clock;
    sim::ModelDriver driver;
    sim::MachineModel& machine;
    test::LogCapture log;
    std::unique_ptr<CMachineLink> link;
    std::unique_ptr<CCardChannel> channel;
};

TEST_F(CardOnMachine, TheWholeOpeningAndRelayedCommandsAreAccepted)
{
    Card().SetApplicationData(Hex("31 32 33 34 35 36 37 38"));
    Card().SetApduScript([](const Bytes& apdu) { return apdu[1] == 0xE8 ? Hex("6A 80") : Hex("90 00"); });

    ASSERT_EQ(channel->Open(), LINK_OK);
    EXPECT_EQ(channel->Open(), LINK_OK);
    EXPECT_EQ(Card().PowerOnCount(), 1);
    ASSERT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_OK);
    int result = -1;
    EXPECT_EQ(HexText(ReadHeader(&result)), "31 32 33 34 35 36 37 38 90 00");
    EXPECT_EQ(result, LINK_OK);
    ASSERT_EQ(channel->SelectCardManager(), LINK_OK);
    ASSERT_EQ(channel->InitializeUpdate(), LINK_OK);

    auto seen = Card().InitializeUpdates();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(Bytes(seen[0].hostChallenge, seen[0].hostChallenge + 8),
              Bytes(channel->m_hostChallenge, channel->m_hostChallenge + 8));
    EXPECT_EQ(Bytes(channel->m_cardChallenge, channel->m_cardChallenge + 8),
              Bytes(seen[0].answer.begin() + 12, seen[0].answer.begin() + 20));

    const Bytes records[] = {Hex("84 82 00 00 10 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"),
                             Hex("80 E8 00 00 02 C4 01"), Bytes(250, 0x80)};
    EXPECT_EQ(HexText(Relay(records[0])), "90 00");
    EXPECT_EQ(HexText(Relay(records[1])), "6A 80");
    EXPECT_EQ(HexText(Relay(records[2])), "90 00");

    auto apdus = Card().Apdus();
    ASSERT_EQ(apdus.size(), 7u);
    EXPECT_EQ(apdus[4], records[0]);
    EXPECT_EQ(apdus[6], records[2]);
    EXPECT_TRUE(Card().Rejections().empty());
    EXPECT_TRUE(machine.Rejections().empty());
}

TEST_F(CardOnMachine, FaultsOfTheCardAndTheReader)
{
    struct Case {
        const char* name;
        CardFault fault;
        size_t chunk;
        std::string answer; // what TransmitHeader returns
    };
    const Case cases[] = {
        {"time asked 4 times, multiplier 3", CardFault().For(kRead).AskForTime(4, 0x03), 0,
         "56 54 52 31 00 00 04 07 90 00"},
        {"answer in pieces of 5 bytes", CardFault().For({0xFF}), 5, "56 54 52 31 00 00 04 07 90 00"},
        {"answer after 20 receives", CardFault().For(kRead).HoldFor(20), 0, "56 54 52 31 00 00 04 07 90 00"},
        {"answer replaced", CardFault().For(kRead).Answer(Hex("56 54 52 31 00 00 04 07 6A 82")), 0,
         "56 54 52 31 00 00 04 07 6A 82"},
        {"time asked, then pieces", CardFault().For(kRead).AskForTime(2, 0x01), 2, "56 54 52 31 00 00 04 07 90 00"},
        {"silent", CardFault().For(kRead).Silent(), 0, ""},
        {"cut short", CardFault().For(kRead).CutTo(9), 0, ""},
    };
    ASSERT_EQ(channel->Open(), LINK_OK);
    ASSERT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Card().ClearFaults();
        Card().AddFault(c.fault);
        machine.Card().SetReceiveChunk(c.chunk);
        EXPECT_EQ(HexText(ReadHeader()), c.answer);
        // Whatever the card left on the line goes before the next case.
        machine.Card().SetReceiveChunk(0);
        uint8_t rest[CARD_BLOCK_BUFFER_SIZE];
        uint32_t n = 0;
        link->Card_Receive(rest, &n, sizeof rest);
    }
    EXPECT_TRUE(Card().Rejections().empty()) << Card().Rejections().front();
}

TEST_F(CardOnMachine, ReadStatus6A82ComesBackWithTheEightBytes)
{
    Card().SetReadStatus(0x6A, 0x82);
    ASSERT_EQ(channel->Open(), LINK_OK);
    ASSERT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_OK);
    Bytes read = ReadHeader();
    ASSERT_EQ(read.size(), 10u);
    EXPECT_EQ(HexText(Bytes(read.end() - 2, read.end())), "6A 82");
}

TEST_F(CardOnMachine, AWrongAnswerToResetFailsTheOpen)
{
    Card().SetAnswerToReset(Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A"));
    EXPECT_EQ(channel->Open(), LINK_E_PROTOCOL);
    EXPECT_FALSE(channel->m_bCardReady);
    EXPECT_FALSE(log.Contains(L"Card_Receive failed"));
}

TEST_F(CardOnMachine, InitializeUpdateGivesTheCardsChallenge)
{
    Card().SetSequenceCounter(0x0102);
    Card().SetCardChallenge(Hex("A1 A2 A3 A4 A5 A6"));
    RunOpening();
    EXPECT_EQ(HexText(channel->m_cardChallenge, 8), "01 02 A1 A2 A3 A4 A5 A6");

    // Answered 29 bytes: refused.
    Card().AddFault(CardFault().For({0x80, 0x50}).Answer(Bytes(29, 0x90)));
    EXPECT_EQ(channel->InitializeUpdate(), LINK_E_PROTOCOL);
}

TEST_F(CardOnMachine, ACardThatKeepsAskingForTimeIsGivenUpAfterAMinute)
{
    ASSERT_EQ(channel->Open(), LINK_OK);
    Card().AddFault(CardFault().AskForTime(-1, 0x02));
    uint32_t start = clock.NowMs();
    EXPECT_TRUE(Relay(Hex("80 CA 00 66 00")).empty());
    uint32_t elapsed = clock.NowMs() - start - 1000;
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LE(elapsed, 62100u);
    EXPECT_TRUE(Card().Rejections().empty()) << "every request was answered with its multiplier";
}

// The card and the machine refuse what a wrong tool would send.
TEST_F(CardOnMachine, WrongBlocksAndFramesAreRefused)
{
    ASSERT_EQ(channel->Open(), LINK_OK);

    // A tool that started its sequence bit at 40.
    channel->m_nSendSeq = 0x00;
    EXPECT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_E_PROTOCOL);
    ASSERT_EQ(Card().Rejections().size(), 1u);
    EXPECT_EQ(Card().Rejections()[0], "wrong sequence bit");

    // A block with a wrong LRC.
    Bytes bad = Hex("00 00 04 00 AD 00 00 A8");
    ASSERT_EQ(link->Card_Send(bad.data(), int(bad.size())), LINK_OK);
    uint8_t answer[CARD_BLOCK_BUFFER_SIZE] = {};
    uint32_t count = 0;
    EXPECT_EQ(channel->ReceiveBlock(answer, &count, sizeof answer), LINK_OK);
    EXPECT_EQ(count, 0u) << "an R-block carries no answer";
    EXPECT_EQ(Card().Rejections().back(), "wrong LRC");
    EXPECT_TRUE(Card().Apdus().empty());

    // The reader's commands in plain frames: the machine does not pass them on.
    const Bytes powerOn = Hex("B0 00 00 00 00 03 00 00 00");
    ASSERT_EQ(link->SendFrame(powerOn.data(), int(powerOn.size())), LINK_OK);
    count = 0;
    EXPECT_EQ(link->ReceiveCardFrame(answer, &count, sizeof answer), LINK_E_TIMEOUT);
    EXPECT_EQ(Card().PowerOnCount(), 1);

    // The sequence is in step again once the tool is: the card expected 00 all along.
    channel->m_nSendSeq = 0x40;
    EXPECT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_OK);
}

TEST_F(CardOnMachine, ARestartTakesTheCardsPower)
{
    RunOpening();
    EXPECT_EQ(link->ResetMachine(), LINK_OK);
    EXPECT_EQ(link->EnterBios(), LINK_OK);
    EXPECT_FALSE(Card().Powered());
    // The old channel thinks the card ready; the card, unpowered, answers nothing.
    EXPECT_EQ(channel->Select(SmartCardModel::kApplicationAid.data(), 6), LINK_E_PROTOCOL);

    CCardChannel fresh(link.get());
    ASSERT_EQ(fresh.Open(), LINK_OK);
    EXPECT_EQ(fresh.Select(SmartCardModel::kApplicationAid.data(), 6), LINK_OK);
    EXPECT_EQ(Card().PowerOnCount(), 2);
}

} // namespace
