// The driver back end that reaches a machine simulator over TCP instead of a
// USB converter (the virtual FTDI link). Every driver call becomes one request
// and one answer; counting and open attempts share one idle connection, and a
// successful open turns that connection into the device handle.
#pragma once

#include "device/FtdiDriver.h"
#include "platform/Socket.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace vu {

// Request ops of the virtual FTDI link.
enum : uint8_t {
    VFTDI_LIST_COUNT = 0x01,
    VFTDI_OPEN_BY_DESCRIPTION = 0x02,
    VFTDI_SET_DATA_CHARACTERISTICS = 0x03,
    VFTDI_SET_BAUD_RATE = 0x04,
    VFTDI_WRITE = 0x05,
    VFTDI_GET_STATUS = 0x06,
    VFTDI_READ = 0x07,
    VFTDI_RESET_DEVICE = 0x08,
    VFTDI_SET_BIT_MODE = 0x09,
    VFTDI_SET_BREAK_ON = 0x0A,
    VFTDI_SET_BREAK_OFF = 0x0B,
    VFTDI_PURGE = 0x0C,
    VFTDI_CLOSE = 0x0D,
    VFTDI_SET_LATENCY_TIMER = 0x0E,
    VFTDI_SET_CHARS = 0x0F,
};

constexpr size_t VFTDI_REQUEST_HEADER = 5; // op, u32 length
constexpr size_t VFTDI_ANSWER_HEADER = 8;  // u32 status, u32 length
// An answer that does not arrive within this time breaks the connection.
constexpr uint32_t VFTDI_ANSWER_TIMEOUT_MS = 15000;

// "HOST:PORT" with a dotted IPv4 address or a name; false when malformed or
// the name does not resolve.
bool ParseSimulatorAddress(const std::string& hostPort, uint32_t* addrNet, uint16_t* port);

class CVirtualFtdiClient : public IFtdiDriver {
public:
    explicit CVirtualFtdiClient(const std::string& hostPort);
    ~CVirtualFtdiClient() override;
    CVirtualFtdiClient(const CVirtualFtdiClient&) = delete;
    CVirtualFtdiClient& operator=(const CVirtualFtdiClient&) = delete;

    FT_STATUS ListDevicesCount(uint32_t* count) override;
    FT_STATUS OpenByDescription(const char* description, FT_HANDLE* handle) override;
    FT_STATUS SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity) override;
    FT_STATUS SetBaudRate(FT_HANDLE h, uint32_t baud) override;
    FT_STATUS Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written) override;
    FT_STATUS GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned) override;
    FT_STATUS ResetDevice(FT_HANDLE h) override;
    FT_STATUS SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode) override;
    FT_STATUS SetBreakOn(FT_HANDLE h) override;
    FT_STATUS SetBreakOff(FT_HANDLE h) override;
    FT_STATUS Purge(FT_HANDLE h, uint32_t mask) override;
    FT_STATUS Close(FT_HANDLE h) override;

    // Calls of the converter that the link itself does not make.
    FT_STATUS SetLatencyTimer(FT_HANDLE h, uint8_t ms);
    FT_STATUS SetChars(FT_HANDLE h, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar, uint8_t errorEnabled);

private:
    struct Connection {
        net::SocketHandle socket = net::INVALID_SOCKET_HANDLE;
        bool broken = false;
    };

    bool ConnectIdle();
    void DropIdle();
    Connection* FindHandle(FT_HANDLE h);
    // One request and its whole answer. False when the connection failed or
    // the answer broke the protocol; the connection is then marked broken.
    bool Transact(Connection& c, uint8_t op, const void* payload, uint32_t length, FT_STATUS* status,
                  void* answer, uint32_t capacity, uint32_t* answerLength);
    // One request on the idle connection (m_idleLock held). A connection that
    // broke while idle is replaced once. False when nothing answers.
    bool TransactIdle(uint8_t op, const void* payload, uint32_t length, FT_STATUS* status, void* answer,
                      uint32_t capacity, uint32_t* answerLength);
    // A handle call whose answer carries no payload.
    FT_STATUS SimpleCall(FT_HANDLE h, uint8_t op, const void* payload, uint32_t length);

    std::string m_address;
    bool m_bStarted = false;
    std::mutex m_idleLock;   // the idle connection: counting and opens
    Connection m_idle;
    std::mutex m_handleLock; // the set of open handles
    std::set<Connection*> m_handles;
};

} // namespace vu
