// The FTD2XX.dll stand-in as the product meets it: loaded by name, its
// functions found by their undecorated names, called as __stdcall, and
// every call reaching the simulator as the virtual link's request.
#include "device/FtdiDriver.h"
#include "device/VirtualFtdiProtocol.h"
#include "tests/virtualftdi/ScriptedLinkServer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <set>
#include <string>

using namespace vu::test;

namespace {

using Bytes = std::vector<uint8_t>;
typedef ULONG FT_STATUS;
typedef PVOID FT_HANDLE;

Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

LinkAnswer Machine(const LinkRequest& rq)
{
    switch (rq.op) {
    case vu::VFTDI_LIST_COUNT: return {0, U32(2)};
    case vu::VFTDI_OPEN_BY_DESCRIPTION:
        return {std::string(rq.payload.begin(), rq.payload.end()) == "Vantorelle" ? 0u : 2u, {}};
    case vu::VFTDI_WRITE: return {0, U32(uint32_t(rq.payload.size()))};
    case vu::VFTDI_GET_STATUS: {
        LinkAnswer a{0, U32(2)};
        for (int i = 0; i < 8; ++i)
            a.payload.push_back(0);
        return a;
    }
    case vu::VFTDI_READ: return {0, {0xD1, 0x00}};
    default: return {0, {}};
    }
}

class StandIn : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_server = new ScriptedLinkServer(Machine);
        // Read once, at the library's first call.
        SetEnvironmentVariableA("VANTORELLE_STANDIN_SIMULATOR", s_server->Address().c_str());
        SetEnvironmentVariableA("VANTORELLE_SIMULATOR", nullptr);
        s_dll = LoadLibraryA("FTD2XX.dll");
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }
    template <typename F> static F Fn(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(s_dll, name)));
    }
    static ScriptedLinkServer* s_server;
    static HMODULE s_dll;
};

ScriptedLinkServer* StandIn::s_server = nullptr;
HMODULE StandIn::s_dll = nullptr;

} // namespace

TEST_F(StandIn, ExportsExactlyTheDriverFunctionsByTheirUndecoratedNames)
{
    ASSERT_NE(s_dll, nullptr);
    auto base = reinterpret_cast<const uint8_t*>(s_dll);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        found.insert(reinterpret_cast<const char*>(base + names[i]));
    const std::set<std::string> expected = {
        "FT_ListDevices", "FT_OpenEx", "FT_SetDataCharacteristics", "FT_SetBaudRate", "FT_Write",
        "FT_GetStatus", "FT_Read", "FT_ResetDevice", "FT_SetBitMode", "FT_SetBreakOn",
        "FT_SetBreakOff", "FT_Purge", "FT_Close"};
    EXPECT_EQ(found, expected);
}

TEST_F(StandIn, ForwardsEveryCallToTheSimulator)
{
    ASSERT_NE(s_dll, nullptr);
    auto listDevices = Fn<FT_STATUS(WINAPI*)(PVOID, PVOID, DWORD)>("FT_ListDevices");
    auto openEx = Fn<FT_STATUS(WINAPI*)(PVOID, DWORD, FT_HANDLE*)>("FT_OpenEx");
    auto setData = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, UCHAR, UCHAR, UCHAR)>("FT_SetDataCharacteristics");
    auto setBaud = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, ULONG)>("FT_SetBaudRate");
    auto write = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, LPVOID, DWORD, LPDWORD)>("FT_Write");
    auto getStatus = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, DWORD*, DWORD*, DWORD*)>("FT_GetStatus");
    auto read = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, LPVOID, DWORD, LPDWORD)>("FT_Read");
    auto reset = Fn<FT_STATUS(WINAPI*)(FT_HANDLE)>("FT_ResetDevice");
    auto bitMode = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, UCHAR, UCHAR)>("FT_SetBitMode");
    auto breakOn = Fn<FT_STATUS(WINAPI*)(FT_HANDLE)>("FT_SetBreakOn");
    auto breakOff = Fn<FT_STATUS(WINAPI*)(FT_HANDLE)>("FT_SetBreakOff");
    auto purge = Fn<FT_STATUS(WINAPI*)(FT_HANDLE, ULONG)>("FT_Purge");
    auto close = Fn<FT_STATUS(WINAPI*)(FT_HANDLE)>("FT_Close");
    ASSERT_TRUE(listDevices && openEx && setData && setBaud && write && getStatus && read && reset && bitMode &&
                breakOn && breakOff && purge && close);

    DWORD count = 0;
    EXPECT_EQ(listDevices(&count, nullptr, 0x80000000), 0u);
    EXPECT_EQ(count, 2u);
    FT_HANDLE h = nullptr;
    char mox[] = "MOX";
    EXPECT_EQ(openEx(mox, 2, &h), 2u);
    char vantorelle[] = "Vantorelle";
    EXPECT_EQ(openEx(vantorelle, 1, &h), vu::FT_NOT_SUPPORTED) << "by serial number";
    ASSERT_EQ(openEx(vantorelle, 2, &h), 0u);
    ASSERT_NE(h, nullptr);

    size_t first = s_server->Requests().size();
    uint8_t frame[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    DWORD n = 0, rx = 0, tx = 9, ev = 9;
    uint8_t buf[8] = {};
    EXPECT_EQ(setData(h, 8, 0, 0), 0u);
    EXPECT_EQ(setBaud(h, 115200), 0u);
    EXPECT_EQ(write(h, frame, sizeof frame, &n), 0u);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(getStatus(h, &rx, &tx, &ev), 0u);
    EXPECT_EQ(rx, 2u);
    EXPECT_EQ(tx, 0u);
    EXPECT_EQ(read(h, buf, rx, &n), 0u);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[0], 0xD1);
    EXPECT_EQ(reset(h), 0u);
    EXPECT_EQ(bitMode(h, 0xF1, 0x20), 0u);
    EXPECT_EQ(breakOn(h), 0u);
    EXPECT_EQ(breakOff(h), 0u);
    EXPECT_EQ(purge(h, 1), 0u);
    EXPECT_EQ(close(h), 0u);

    const Bytes expected[] = {
        {0x03, 3, 0, 0, 0, 8, 0, 0},
        {0x04, 4, 0, 0, 0, 0x00, 0xC2, 0x01, 0x00},
        {0x05, 6, 0, 0, 0, 0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6},
        {0x06, 0, 0, 0, 0},
        {0x07, 4, 0, 0, 0, 2, 0, 0, 0},
        {0x08, 0, 0, 0, 0},
        {0x09, 2, 0, 0, 0, 0xF1, 0x20},
        {0x0A, 0, 0, 0, 0},
        {0x0B, 0, 0, 0, 0},
        {0x0C, 4, 0, 0, 0, 1, 0, 0, 0},
        {0x0D, 0, 0, 0, 0},
    };
    std::vector<LinkRequest> rqs = s_server->Requests();
    ASSERT_EQ(rqs.size(), first + std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(rqs[first + i].raw, expected[i]) << "request " << i;
        EXPECT_EQ(rqs[first + i].connection, rqs[first].connection);
    }
    EXPECT_EQ(close(h), vu::FT_INVALID_HANDLE) << "a closed handle";
}
