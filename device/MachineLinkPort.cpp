// The port: opening by description, the raw traced write and the timed read.
#include "device/MachineLink.h"

#include "log/Log.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace vu {

const char* const LINK_DESCRIPTIONS[LINK_DESCRIPTION_COUNT] = {"Pexilant", "MOX", "DRAXO", "ZK4407", "Vantorelle"};

namespace {
constexpr uint32_t OPEN_RETRY_MS = 4000;
const wchar_t SENT_PREFIX[] = L"> :  ";
const wchar_t RECEIVED_PREFIX[] = L"< :  ";
} // namespace

CMachineLink::CMachineLink(IFtdiDriver& driver, ISystemServices& system, uint32_t baudRate)
    : m_dwBaudRate(baudRate), m_driver(driver), m_system(system)
{
}

int CMachineLink::Open()
{
    int result = TryOpen();
    if (result == LINK_OK)
        return LINK_OK;
    uint32_t start = m_system.TickCount();
    while (m_system.TickCount() - start < OPEN_RETRY_MS) {
        result = TryOpen();
        if (result == LINK_OK)
            return LINK_OK;
    }
    return result;
}

int CMachineLink::TryOpen()
{
    // A second open would leak the first handle: an open link stays as it is.
    if (m_bOpen)
        return LINK_OK;
    uint32_t count = 0;
    if (m_driver.ListDevicesCount(&count) != FT_OK || count == 0)
        return LINK_E_NOT_OPEN;
    bool opened = false;
    for (const char* description : LINK_DESCRIPTIONS) {
        FT_HANDLE handle = nullptr;
        if (m_driver.OpenByDescription(description, &handle) == FT_OK) {
            m_hDevice = handle;
            opened = true;
            break;
        }
    }
    if (!opened)
        return LINK_E_NOT_OPEN;
    m_driver.SetDataCharacteristics(m_hDevice, 8, 0, 0);
    m_driver.SetBaudRate(m_hDevice, LINK_STANDARD_BAUD);
    m_bOpen = true;
    return LINK_OK;
}

void CMachineLink::Close()
{
    if (!m_bOpen)
        return;
    m_driver.Close(m_hDevice);
    m_bOpen = false;
    m_hDevice = nullptr;
}

int CMachineLink::WriteRaw(const uint8_t* data, uint32_t count, uint32_t* written)
{
    uint32_t taken = 0;
    FT_STATUS status = m_driver.Write(m_hDevice, data, count, &taken);
    if (written)
        *written = taken;
    if (m_bLogTraffic) {
        int32_t shown = count > uint32_t(INT32_MAX) ? INT32_MAX : int32_t(count);
        WriteLog(SENT_PREFIX + HexDump(data, shown));
    }
    return int(status);
}

int CMachineLink::ReadRaw(uint8_t* dest, uint32_t* count, uint32_t timeoutMs)
{
    if (count)
        *count = 0;
    uint32_t start = m_system.TickCount();
    uint32_t queued = 0;
    for (;;) {
        uint32_t tx = 0, events = 0;
        queued = 0;
        m_driver.GetStatus(m_hDevice, &queued, &tx, &events);
        if (queued > 0)
            break;
        if (m_system.TickCount() - start >= timeoutMs)
            return LINK_E_TIMEOUT;
    }
    // More than 5000 bytes queued: read the first 5000, the rest stays queued for the next read.
    if (queued > LINK_BUFFER_SIZE)
        queued = LINK_BUFFER_SIZE;
    uint8_t buffer[LINK_BUFFER_SIZE];
    uint32_t got = 0;
    FT_STATUS status = m_driver.Read(m_hDevice, buffer, queued, &got);
    if (status != FT_OK)
        return int(status);
    // A driver that claims more than was asked for is believed only up to the request.
    if (got > queued)
        got = queued;
    if (m_bLogTraffic)
        WriteLog(RECEIVED_PREFIX + HexDump(buffer, int32_t(got)));
    std::memcpy(dest, buffer, got);
    if (count)
        *count = got;
    return LINK_OK;
}

} // namespace vu
