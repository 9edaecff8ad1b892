// A stand-in for libftdi1 and the USB bus behind it: converters with product
// strings, a record of every libftdi call made, scripted failures with
// libftdi-style error texts, and the converter state the calls leave behind.
// With a clock, a read waits as the USB stack does: for the converter's next
// packet, which comes when its latency timer runs out if nothing else does,
// or for the read's time-out when the converter has stalled.
#pragma once

#include "device/posix/LibFtdiApi.h"
#include "tests/testsupport/VirtualSystem.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace vu::test {

struct FakeConverter {
    int vendor = 0x0403;
    int product = 0x6001;
    std::string description;
    bool attached = true;
    // Below zero: ftdi_usb_get_strings fails on this converter with text.
    int stringsResult = 0;
    const char* stringsText = nullptr;

    // Left behind by the calls.
    ftdi_context* heldBy = nullptr;
    ftdi_module_detach_mode detachModeAtOpen = DONT_DETACH_SIO_MODULE;
    int latency = 16;
    int eventChar = -1, errorChar = -1; // -1: disabled
    bool stalled = false; // answers no read: each one runs into its time-out
    int baud = 0; // the rate the UART runs at
    int bits = 8, stopBits = 0, parity = 0;
    bool breakOn = false;
    std::vector<uint8_t> bitmodeMasks;
    std::vector<uint8_t> written;
    // Bytes on their way in; each ftdi_read_data takes from the first chunk
    // only, once the clock has reached the chunk's time.
    struct Chunk {
        std::vector<uint8_t> bytes;
        uint64_t atUs = 0;
    };
    std::deque<Chunk> arriving;

    void Arrive(std::vector<uint8_t> bytes, uint64_t atUs = 0) { arriving.push_back({std::move(bytes), atUs}); }
};

class FakeBus {
public:
    FakeConverter& Add(const std::string& description, int product = 0x6001, int vendor = 0x0403);

    // The next `times` calls of `call` ("ftdi_set_baudrate", "ftdi_new", ...)
    // return result without effect, leaving text as libftdi's error string.
    void Fail(const std::string& call, int result, const char* text, int times = 1);

    size_t Mark() const { return calls.size(); }
    std::vector<std::string> CallsSince(size_t mark) const;

    std::deque<FakeConverter> converters; // stable addresses: they are the libusb devices
    std::vector<std::string> calls;       // "ftdi_set_baudrate(c2, 115200)"
    int liveContexts = 0;
    int liveListEntries = 0;
    VirtualSystem* clock = nullptr; // null: reads take no time

    // For FakeLibFtdi.
    struct Failure {
        std::string call;
        int result;
        const char* text;
        int times;
    };
    bool TakeFailure(const std::string& call, Failure* failure);
    std::string Name(ftdi_context* context);
    std::string Name(libusb_device* dev);
    FakeConverter* Held(ftdi_context* context);

    std::vector<Failure> failures;
    std::map<ftdi_context*, int> contextIds;
    int nextContextId = 1;
};

class FakeLibFtdi : public ILibFtdi {
public:
    explicit FakeLibFtdi(FakeBus& bus) : m_bus(bus) {}

    ftdi_context* New() override;
    void Free(ftdi_context* ftdi) override;
    void SetModuleDetachMode(ftdi_context* ftdi, ftdi_module_detach_mode mode) override;
    void SetBitbangEnabled(ftdi_context* ftdi, bool enabled) override;
    void SetUsbReadTimeout(ftdi_context* ftdi, int ms) override;
    int UsbFindAll(ftdi_context* ftdi, ftdi_device_list** devlist, int vendor, int product) override;
    void ListFree(ftdi_device_list** devlist) override;
    int UsbGetStrings(ftdi_context* ftdi, libusb_device* dev, char* manufacturer, int mnfLen, char* description,
                      int descLen, char* serial, int serialLen) override;
    int UsbOpenDev(ftdi_context* ftdi, libusb_device* dev) override;
    int UsbClose(ftdi_context* ftdi) override;
    int UsbReset(ftdi_context* ftdi) override;
    int SetLatencyTimer(ftdi_context* ftdi, unsigned char latency) override;
    int SetEventChar(ftdi_context* ftdi, unsigned char eventChar, unsigned char enable) override;
    int SetErrorChar(ftdi_context* ftdi, unsigned char errorChar, unsigned char enable) override;
    int ReadDataSetChunksize(ftdi_context* ftdi, unsigned int chunksize) override;
    int SetLineProperty2(ftdi_context* ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit, ftdi_parity_type parity,
                         ftdi_break_type breakType) override;
    int SetBaudrate(ftdi_context* ftdi, int baudrate) override;
    int WriteData(ftdi_context* ftdi, const unsigned char* buf, int size) override;
    int ReadData(ftdi_context* ftdi, unsigned char* buf, int size) override;
    int SetBitmode(ftdi_context* ftdi, unsigned char bitmask, unsigned char mode) override;
    int Tciflush(ftdi_context* ftdi) override;
    int Tcoflush(ftdi_context* ftdi) override;
    int Tcioflush(ftdi_context* ftdi) override;
    const char* GetErrorString(ftdi_context* ftdi) override;

private:
    // Records the call; true when a scripted failure applies (result set).
    bool Enter(const std::string& call, const std::string& args, ftdi_context* ftdi, int* result);
    // The event or the error character.
    int SetCharacter(const char* call, int FakeConverter::*field, ftdi_context* ftdi, unsigned char ch,
                     unsigned char enable);
    // libftdi's answer on a context that holds no converter.
    int Unavailable(ftdi_context* ftdi);

    FakeBus& m_bus;
};

} // namespace vu::test
