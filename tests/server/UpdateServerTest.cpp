#include "tests/server/ServerLinkFixture.h"

#include "platform/Socket.h"
#include "sim/update-server/Faults.h"
#include "sim/update-server/RequestPacket.h"
#include "sim/update-server/UpdateContent.h"

namespace vu::test {
namespace {

using namespace vu::sim;

const Bytes NAME{'P', 0, 'C', 0}, VERSION = VersionField();

Bytes Corrupt(Bytes packet, size_t at, uint8_t value)
{
    packet[at] = value;
    return packet;
}

TEST(RequestParseTest, WellFormedRequestsOfEveryKindAreTaken)
{
    const std::vector<std::vector<Bytes>> requests = {
        {TAG_NOTES, NAME, VERSION, Bytes{'e', 'n'}},
        {TAG_FIRMWARE, NAME, VERSION, Bytes(10), Bytes(5), Bytes(5)},
        {TAG_IMAGE_PART, Bytes{}, VERSION, Bytes(10), Bytes(5), Bytes(5), Bytes(4), Bytes(4)},
        {TAG_PLAYBACK, NAME, VERSION, Bytes(8), Bytes(61)},
        {TAG_CARD, NAME, VERSION, Bytes(8), Bytes(61), Bytes(8), Bytes(8), Bytes(8)},
    };
    for (const auto& fields : requests) {
        Bytes p = PackRequest(fields, 77);
        ParsedRequest r = ParseRequest(p.data(), p.size());
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.resumeOffset, 77u);
        EXPECT_EQ(r.fields, fields);
    }
}

TEST(RequestParseTest, MalformedRequestsAreRefusedWithAReason)
{
    const Bytes good = PackRequest({TAG_PLAYBACK, NAME, VERSION, Bytes(8), Bytes(61)});
    Bytes eleven = PackRequest(std::vector<Bytes>(11, Bytes(1)));
    const struct { const char* what; Bytes packet; std::string reason; } cases[] = {
        {"short", Bytes(good.begin(), good.begin() + 12), "shorter than 13"},
        {"total word off", Corrupt(good, 0, uint8_t(good[0] + 1)), "total length word"},
        {"missing half of it", Bytes(good.begin(), good.end() - 1), "total length word"},
        {"eleven fields", eleven, "more than 10"},
        {"field longer than 100", PackRequest({TAG_PLAYBACK, NAME, VERSION, Bytes(101)}), "more than 100"},
        {"lengths add up wrong", Corrupt(good, 12, 4), "add up"},
        {"no final zero", Corrupt(good, good.size() - 1, 1), "last byte"},
        {"odd name", PackRequest({TAG_PLAYBACK, Bytes(3), VERSION, Bytes(8), Bytes(61)}), "computer name"},
        {"name over 15 characters", PackRequest({TAG_PLAYBACK, Bytes(32), VERSION, Bytes(8), Bytes(61)}),
         "computer name"},
        {"other version", PackRequest({TAG_PLAYBACK, NAME, Bytes(10, '1'), Bytes(8), Bytes(61)}), "version"},
        {"unknown tag", PackRequest({Bytes{0x07, 0x43}, NAME, VERSION}), "unknown request tag"},
        {"field missing", PackRequest({TAG_PLAYBACK, NAME, VERSION, Bytes(8)}), "expected 5"},
        {"identity of 7 bytes", PackRequest({TAG_PLAYBACK, NAME, VERSION, Bytes(7), Bytes(61)}), "field 3"},
    };
    for (const auto& c : cases) {
        ParsedRequest r = ParseRequest(c.packet.data(), c.packet.size());
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << c.what << ": " << r.error;
    }
}

TEST(UpdateContentTest, FolderRoundTripsAndBadFilesAreNamed)
{
    TempDir dir;
    UpdateContent demo = MakeDemoContent(2500, 7000, "AB123");
    std::string error;
    ASSERT_TRUE(SaveContent(demo, dir.Path(), &error)) << error;
    UpdateContent loaded;
    ASSERT_TRUE(LoadContent(dir.Path(), &loaded, &error)) << error;
    EXPECT_EQ(loaded.notes, demo.notes);
    EXPECT_EQ(loaded.firmwareHeader, (Bytes{0x00, 'A', 'B', '1', '2', '3'}));
    EXPECT_EQ(loaded.firmware, demo.firmware);
    EXPECT_EQ(loaded.image, demo.image);
    EXPECT_EQ(loaded.playback, demo.playback);
    EXPECT_EQ(loaded.card, demo.card);
    // Playback restores item 6 with a checked boot-loader frame.
    EXPECT_EQ(loaded.playback.at(0), (Bytes{0x0D, 0x00, 0x08, 0x00, 0xA0, 0x06, 0x02, 'A', 'B', '1', '2', '3', 0x92}));

    WriteFileBytes(dir / "card.hex", {'0', '0', ' ', 'A', '\n', 'z', 'z', '\n'});
    EXPECT_FALSE(LoadContent(dir.Path(), &loaded, &error));
    EXPECT_NE(error.find("card.hex:1"), std::string::npos) << error;

    std::filesystem::remove(dir / "card.hex");
    WriteFileBytes(dir / "firmware.bin", Bytes(12000 * 1024, 1));
    EXPECT_FALSE(LoadContent(dir.Path(), &loaded, &error));
    EXPECT_NE(error.find("more than 12000"), std::string::npos) << error;

    TempDir empty;
    ASSERT_TRUE(LoadContent(empty.Path(), &loaded, &error)) << error;
    EXPECT_TRUE(loaded.image.empty());
    EXPECT_TRUE(loaded.playback.empty());
}

TEST(FaultListTest, LinesBecomeFaultsAndBadLinesAreNamed)
{
    std::vector<Fault> faults;
    std::string error;
    ASSERT_TRUE(ParseFaultList("# scripted\n\ncut 100 count=2\nstall 5000 count=all\n"
                               "close tag=020102 skip=1\ncut-stall 10 200\nwrong-total\nraw 0D000000\r\n",
                               &faults, &error))
        << error;
    ASSERT_EQ(faults.size(), 6u);
    EXPECT_EQ(faults[0].kind, FaultKind::Cut);
    EXPECT_EQ(faults[0].bytes, 100u);
    EXPECT_EQ(faults[0].count, 2);
    EXPECT_EQ(faults[1].ms, 5000u);
    EXPECT_EQ(faults[1].count, 0);
    EXPECT_EQ(faults[2].tag, TAG_IMAGE_PART);
    EXPECT_EQ(faults[2].skip, 1);
    EXPECT_EQ(faults[3].bytes, 10u);
    EXPECT_EQ(faults[3].ms, 200u);
    EXPECT_EQ(faults[4].bytes, 0u);
    EXPECT_EQ(faults[5].raw, (Bytes{0x0D, 0, 0, 0}));

    for (const char* bad : {"explode", "cut", "stall soon", "cut 1 count=0", "close tag=xyz", "wrong-total 1 2"}) {
        std::vector<Fault> none;
        EXPECT_FALSE(ParseFaultList(std::string("close\n") + bad + "\n", &none, &error)) << bad;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    }
}

TEST(UpdateServerTest, RequestsAreLoggedAndServersKeepToTheirAddress)
{
    TempDir dir;
    UpdateServerOptions options;
    options.requestLog = dir / "requests.log";
    UpdateServer one(MakeDemoContent(100, 100), options), two(MakeDemoContent(100, 100), options);
    ASSERT_TRUE(one.Start());
    ASSERT_TRUE(two.Start());
    EXPECT_NE(one.Address(), two.Address());
    EXPECT_EQ(one.FixedPort(), 5001);
    EXPECT_EQ(one.NamedPort(), 4006);

    Bytes packet = PackRequest({TAG_IMAGE_PART, NAME, VERSION, Bytes(10), Bytes(5), Bytes(5), Bytes{0, 0, 0, 0},
                                Bytes{50, 0, 0, 0}});
    net::SocketHandle s = net::TcpSocket();
    ASSERT_EQ(net::Connect(s, net::InetAddr(two.Address()), two.NamedPort()), 0);
    ASSERT_EQ(net::Send(s, packet.data(), int(packet.size())), int(packet.size()));
    net::ShutdownSend(s);
    Bytes reply(4096);
    size_t got = 0;
    for (int n; (n = net::Recv(s, reply.data() + got, int(reply.size() - got))) > 0;)
        got += size_t(n);
    net::CloseSocket(s);
    one.Stop();
    two.Stop();

    EXPECT_EQ(got, 8u + 8u + 4u + 50u);
    EXPECT_TRUE(one.Requests().empty());
    ASSERT_EQ(two.Requests().size(), 1u);
    EXPECT_EQ(two.Requests()[0].port, "named");
    std::string log = ReadFileText(dir / "requests.log");
    EXPECT_NE(log.find("named tag=02 01 02 offset=0 fields=3,4,10,10,5,5,4,4 part=0+50 reply=70 sent=70"),
              std::string::npos)
        << log;
}

} // namespace
} // namespace vu::test
