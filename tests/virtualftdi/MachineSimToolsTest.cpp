// The simulator's command line, its state folder and the hashes in its report.
#include "platform/Socket.h"
#include "sim/machine-sim/Sha256.h"
#include "sim/machine-sim/SimConfig.h"
#include "sim/machine-sim/StateStore.h"
#include "tests/testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vu::sim;

TEST(MachineSimTools, Sha256KnownDigests)
{
    struct Case { std::string input; const char* digest; };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first padding block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()), c.digest)
            << c.input.size() << " bytes";
}

TEST(MachineSimTools, FaultSpecifications)
{
    int command = 0;
    MachineFault f;
    std::string error;
    ASSERT_TRUE(ParseFault("D8:refuse:times=2:after=10", &command, &f, &error)) << error;
    EXPECT_EQ(command, 0xD8);
    EXPECT_EQ(f.kind, MachineFault::Kind::Refuse);
    EXPECT_EQ(f.times, 2);
    EXPECT_EQ(f.after, 10);
    ASSERT_TRUE(ParseFault("any:split:at=3:ms=40", &command, &f, &error)) << error;
    EXPECT_EQ(command, ANY_COMMAND);
    EXPECT_EQ(f.kind, MachineFault::Kind::Split);
    EXPECT_EQ(f.splitAt, 3u);
    EXPECT_EQ(f.delayMs, 40u);
    ASSERT_TRUE(ParseFault("a4:garbage:bytes=0700A400:times=-1:status=05", &command, &f, &error)) << error;
    EXPECT_EQ(command, 0xA4);
    EXPECT_EQ(f.garbage, (std::vector<uint8_t>{0x07, 0x00, 0xA4, 0x00}));
    EXPECT_EQ(f.times, -1);
    EXPECT_EQ(f.status, 0x05);

    for (const char* bad : {"D8", "D8:explode", "XYZ:refuse", "D8:refuse:times", "D8:refuse:times=x",
                            "D8:refuse:after=-1", "D8:refuse:colour=red", "D8:garbage:bytes=ABC"}) {
        EXPECT_FALSE(ParseFault(bad, &command, &f, &error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << "the reason names the specification given";
    }
}

TEST(MachineSimTools, CommandLine)
{
    SimConfig c;
    std::string error;
    ASSERT_TRUE(ParseSimArgs({"--listen", "127.0.0.5:0", "--broken", "--item", "1=V3.00", "--device", "MOX",
                              "--device", "Vantorelle", "--fault", "D8:refuse", "--latency", "2", "--no-timing"},
                             &c, &error))
        << error;
    EXPECT_EQ(c.listenAddrNet, vu::net::InetAddr("127.0.0.5"));
    EXPECT_EQ(c.listenPort, 0);
    EXPECT_EQ(c.devices, (std::vector<std::string>{"MOX", "Vantorelle"}));
    EXPECT_EQ(c.faults.size(), 1u);
    EXPECT_EQ(c.timing.latencyMs, 2u);
    EXPECT_FALSE(c.timing.enabled);
    MachineState s = StartingState(c);
    EXPECT_EQ(s.items.count(6), 0u) << "broken: item 6 missing";
    EXPECT_EQ(s.items[1], (std::vector<uint8_t>{'V', '3', '.', '0', '0'}));

    ASSERT_TRUE(ParseSimArgs({}, &c, &error));
    EXPECT_EQ(c.devices, std::vector<std::string>{"Vantorelle"});
    EXPECT_EQ(c.listenPort, 7010);
    EXPECT_TRUE(StartingState(c).items.count(6));

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--listen", "somewhere"}, {"--listen", "127.0.0.1:70000"}, {"--listen"}, {"--identity", "0102"},
             {"--item", "300=x"}, {"--latency", "1"}, {"--device", std::string(64, 'x')}, {"--frobnicate"}}) {
        EXPECT_FALSE(ParseSimArgs(bad, &c, &error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(MachineSimTools, StateFolderRoundTripAndReport)
{
    vu::test::TempDir dir;
    MachineState s = MachineState::Broken();
    s.firmware = {1, 2, 3};
    s.image.assign(1024, 0x77);
    s.items[6] = {'V', '2', '.', '3', '0'};
    std::string error;
    ASSERT_TRUE(SaveMachineState(dir.Path() / "m", s, &error)) << error;

    MachineState loaded = MachineState::Healthy();
    loaded.items[9] = {'x'};
    ASSERT_TRUE(LoadMachineState(dir.Path() / "m", &loaded, &error)) << error;
    EXPECT_EQ(loaded.firmware, s.firmware);
    EXPECT_EQ(loaded.image, s.image);
    EXPECT_EQ(loaded.items, s.items) << "the stored items replace the starting ones";

    MachineState untouched = MachineState::Healthy();
    EXPECT_TRUE(LoadMachineState(dir.Path() / "absent", &untouched, &error)) << "nothing stored yet";
    EXPECT_EQ(untouched.items, MachineState::Healthy().items);

    vu::test::WriteFileBytes(dir.Path() / "m" / "items.txt", {'6', ' ', 'Z', 'Z', '\n'});
    EXPECT_FALSE(LoadMachineState(dir.Path() / "m", &loaded, &error));
    EXPECT_NE(error.find("items.txt:1"), std::string::npos) << error;

    WriteTally tally;
    tally.imageBytes = 1024;
    tally.sectorWrites = 1;
    std::string report = StateReport("Vantorelle", s, tally);
    EXPECT_NE(report.find("firmware 3 bytes sha256 039058c6f2c0cb492c533b0a4d14ef77cc0f78abccced5287d84a1a2011cfb81"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("image 1024 bytes in 1 sector writes"), std::string::npos) << report;
    EXPECT_NE(report.find("item 6 \"V2.30\""), std::string::npos) << report;
}
