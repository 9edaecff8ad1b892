// The driver back end that reaches a machine simulator over TCP instead of a
// USB converter (the virtual FTDI link). Every driver call becomes one request
// and one answer; counting and open attempts share one idle connection, and a
// successful open turns that connection into the device handle.
#pragma once

#include "device/FtdiDriver.h"
#include "device/VirtualFtdiProtocol.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vu {

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

    FT_STATUS SetLatencyTimer(FT_HANDLE h, uint8_t ms) override;
    FT_STATUS SetChars(FT_HANDLE h, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                       uint8_t errorEnabled) override;
    // WAIT_RECEIVE, in pieces of at most VFTDI_MAX_WAIT_MS. A simulator that
    // answers FT_NOT_SUPPORTED does not know the op: from then on this
    // returns FT_NOT_SUPPORTED without asking, and the caller polls.
    FT_STATUS WaitReceive(FT_HANDLE h, uint32_t ms, uint32_t* rxQueue) override;
    // LIST_COUNT, then GET_DESCRIPTION for each index. Nothing listening: an empty list.
    FT_STATUS ListDescriptions(std::vector<std::string>* descriptions) override;

    // The description of attached device index (GET_DESCRIPTION), as a
    // USB-level emulator gives it for the product string: FT_DEVICE_NOT_FOUND
    // for an index with no device, FT_IO_ERROR when the simulator cannot be
    // reached or breaks the exchange.
    FT_STATUS GetDescription(uint32_t index, std::string* description);

private:
    struct Connection {
        net::SocketHandle socket = net::INVALID_SOCKET_HANDLE;
        bool broken = false;
    };

    bool ConnectIdle();
    void DropIdle();
    Connection* FindHandle(FT_HANDLE h);
    // FT_OK and the handle's connection, or the status of a call on a handle
    // that is unknown (FT_INVALID_HANDLE) or broken (FT_IO_ERROR).
    FT_STATUS UsableHandle(FT_HANDLE h, Connection** c);
    // One request and its whole answer. False when the connection failed or
    // the answer broke the protocol; the connection is then marked broken.
    bool Transact(Connection& c, uint8_t op, const void* payload, uint32_t length, FT_STATUS* status,
                  void* answer, uint32_t capacity, uint32_t* answerLength);
    // One request on the idle connection (m_idleLock held). A connection that
    // broke while idle is replaced once. False when nothing answers.
    bool TransactIdle(uint8_t op, const void* payload, uint32_t length, FT_STATUS* status, void* answer,
                      uint32_t capacity, uint32_t* answerLength);
    // One call on an open handle. The answer's capacity comes from the op's
    // shape (READ: capacity); an FT_OK answer of another fixed length is FT_IO_ERROR.
    FT_STATUS HandleCall(FT_HANDLE h, uint8_t op, const void* payload, uint32_t length, void* answer = nullptr,
                         uint32_t capacity = 0, uint32_t* answerLength = nullptr);
    // Counting and describing with m_idleLock held.
    FT_STATUS CountLocked(uint32_t* count);
    FT_STATUS DescribeLocked(uint32_t index, std::string* description);

    std::string m_address;
    bool m_bStarted = false;
    std::mutex m_idleLock;   // the idle connection: counting and opens
    Connection m_idle;
    std::mutex m_handleLock; // the set of open handles
    std::set<Connection*> m_handles;
    std::atomic<bool> m_bNoWaitReceive{false}; // the simulator answered WAIT_RECEIVE with 17
};

} // namespace vu
