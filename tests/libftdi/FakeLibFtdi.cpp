#include "tests/libftdi/FakeLibFtdi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vu::test {

namespace {
std::string Hex(int value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}
} // namespace

FakeConverter& FakeBus::Add(const std::string& description, int product, int vendor)
{
    FakeConverter& c = converters.emplace_back();
    c.description = description;
    c.product = product;
    c.vendor = vendor;
    return c;
}

void FakeBus::Fail(const std::string& call, int result, const char* text, int times)
{
    failures.push_back({call, result, text, times});
}

bool FakeBus::TakeFailure(const std::string& call, Failure* failure)
{
    for (auto it = failures.begin(); it != failures.end(); ++it)
        if (it->call == call) {
            *failure = *it;
            if (--it->times == 0)
                failures.erase(it);
            return true;
        }
    return false;
}

std::vector<std::string> FakeBus::CallsSince(size_t mark) const
{
    return std::vector<std::string>(calls.begin() + std::min(mark, calls.size()), calls.end());
}

std::string FakeBus::Name(ftdi_context* context)
{
    auto it = contextIds.find(context);
    return it == contextIds.end() ? "c?" : "c" + std::to_string(it->second);
}

std::string FakeBus::Name(libusb_device* dev)
{
    for (size_t i = 0; i < converters.size(); ++i)
        if (reinterpret_cast<libusb_device*>(&converters[i]) == dev)
            return "d" + std::to_string(i);
    return "d?";
}

FakeConverter* FakeBus::Held(ftdi_context* context)
{
    for (FakeConverter& c : converters)
        if (c.heldBy == context && c.attached)
            return &c;
    return nullptr;
}

bool FakeLibFtdi::Enter(const std::string& call, const std::string& args, ftdi_context* ftdi, int* result)
{
    m_bus.calls.push_back(call + "(" + args + ")");
    FakeBus::Failure failure;
    if (!m_bus.TakeFailure(call, &failure))
        return false;
    if (ftdi && failure.text)
        ftdi->error_str = failure.text;
    *result = failure.result;
    return true;
}

int FakeLibFtdi::Unavailable(ftdi_context* ftdi)
{
    ftdi->error_str = "USB device unavailable";
    return -666;
}

ftdi_context* FakeLibFtdi::New()
{
    FakeBus::Failure failure;
    if (m_bus.TakeFailure("ftdi_new", &failure)) {
        m_bus.calls.push_back("ftdi_new -> null");
        return nullptr;
    }
    auto* ftdi = new ftdi_context{};
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE; // libftdi's defaults
    ftdi->usb_read_timeout = 5000;
    ftdi->readbuffer_chunksize = 4096;
    m_bus.contextIds[ftdi] = m_bus.nextContextId++;
    ++m_bus.liveContexts;
    m_bus.calls.push_back("ftdi_new -> " + m_bus.Name(ftdi));
    return ftdi;
}

void FakeLibFtdi::Free(ftdi_context* ftdi)
{
    m_bus.calls.push_back("ftdi_free(" + m_bus.Name(ftdi) + ")");
    for (FakeConverter& c : m_bus.converters)
        if (c.heldBy == ftdi)
            c.heldBy = nullptr; // ftdi_free closes what the context still holds
    m_bus.contextIds.erase(ftdi);
    --m_bus.liveContexts;
    delete ftdi;
}

void FakeLibFtdi::SetModuleDetachMode(ftdi_context* ftdi, ftdi_module_detach_mode mode)
{
    ftdi->module_detach_mode = mode;
}

void FakeLibFtdi::SetBitbangEnabled(ftdi_context* ftdi, bool enabled) { ftdi->bitbang_enabled = enabled ? 1 : 0; }

void FakeLibFtdi::SetUsbReadTimeout(ftdi_context* ftdi, int ms) { ftdi->usb_read_timeout = ms; }

int FakeLibFtdi::UsbFindAll(ftdi_context* ftdi, ftdi_device_list** devlist, int vendor, int product)
{
    int result;
    if (Enter("ftdi_usb_find_all", m_bus.Name(ftdi) + ", " + Hex(vendor, 4) + ":" + Hex(product, 4), ftdi, &result))
        return result;
    *devlist = nullptr;
    ftdi_device_list** tail = devlist;
    int count = 0;
    for (FakeConverter& c : m_bus.converters)
        if (c.attached && c.vendor == vendor && c.product == product) {
            *tail = new ftdi_device_list{nullptr, reinterpret_cast<libusb_device*>(&c)};
            tail = &(*tail)->next;
            ++m_bus.liveListEntries;
            ++count;
        }
    return count;
}

void FakeLibFtdi::ListFree(ftdi_device_list** devlist)
{
    m_bus.calls.push_back("ftdi_list_free");
    while (ftdi_device_list* entry = *devlist) {
        *devlist = entry->next;
        delete entry;
        --m_bus.liveListEntries;
    }
}

int FakeLibFtdi::UsbGetStrings(ftdi_context* ftdi, libusb_device* dev, char* manufacturer, int mnfLen,
                               char* description, int descLen, char* serial, int serialLen)
{
    int result;
    if (Enter("ftdi_usb_get_strings", m_bus.Name(ftdi) + ", " + m_bus.Name(dev), ftdi, &result))
        return result;
    if (FakeConverter* held = m_bus.Held(ftdi)) {
        // libftdi closes the context's device after reading the strings.
        ADD_FAILURE() << "ftdi_usb_get_strings on a context that holds a converter";
        held->heldBy = nullptr;
    }
    auto* c = reinterpret_cast<FakeConverter*>(dev);
    if (c->stringsResult < 0) {
        ftdi->error_str = c->stringsText;
        return c->stringsResult;
    }
    auto put = [](char* dest, int size, const std::string& text) {
        if (dest && size > 0) {
            size_t n = std::min(text.size(), size_t(size - 1));
            std::memcpy(dest, text.data(), n);
            dest[n] = 0;
        }
    };
    put(manufacturer, mnfLen, "FTDI");
    put(description, descLen, c->description);
    put(serial, serialLen, "A0000001");
    return 0;
}

int FakeLibFtdi::UsbOpenDev(ftdi_context* ftdi, libusb_device* dev)
{
    int result;
    if (Enter("ftdi_usb_open_dev", m_bus.Name(ftdi) + ", " + m_bus.Name(dev), ftdi, &result))
        return result;
    auto* c = reinterpret_cast<FakeConverter*>(dev);
    if (c->heldBy) {
        ftdi->error_str = "unable to claim usb device. Make sure the default FTDI driver is not in use";
        return -5;
    }
    c->heldBy = ftdi;
    c->detachModeAtOpen = ftdi->module_detach_mode;
    c->baud = 9600; // libftdi's open sets 9600
    ftdi->bitbang_enabled = 0;
    return 0;
}

int FakeLibFtdi::UsbClose(ftdi_context* ftdi)
{
    int result;
    if (Enter("ftdi_usb_close", m_bus.Name(ftdi), ftdi, &result))
        return result;
    if (FakeConverter* c = m_bus.Held(ftdi))
        c->heldBy = nullptr;
    return 0;
}

int FakeLibFtdi::UsbReset(ftdi_context* ftdi)
{
    int result;
    if (Enter("ftdi_usb_reset", m_bus.Name(ftdi), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->arriving.clear();
    return 0;
}

int FakeLibFtdi::SetLatencyTimer(ftdi_context* ftdi, unsigned char latency)
{
    int result;
    if (Enter("ftdi_set_latency_timer", m_bus.Name(ftdi) + ", " + std::to_string(latency), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->latency = latency;
    return 0;
}

int FakeLibFtdi::SetCharacter(const char* call, int FakeConverter::*field, ftdi_context* ftdi, unsigned char ch,
                              unsigned char enable)
{
    int result;
    if (Enter(call, m_bus.Name(ftdi) + ", " + Hex(ch, 2) + ", " + std::to_string(enable), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->*field = enable ? ch : -1;
    return 0;
}

int FakeLibFtdi::SetEventChar(ftdi_context* ftdi, unsigned char eventChar, unsigned char enable)
{
    return SetCharacter("ftdi_set_event_char", &FakeConverter::eventChar, ftdi, eventChar, enable);
}

int FakeLibFtdi::SetErrorChar(ftdi_context* ftdi, unsigned char errorChar, unsigned char enable)
{
    return SetCharacter("ftdi_set_error_char", &FakeConverter::errorChar, ftdi, errorChar, enable);
}

int FakeLibFtdi::ReadDataSetChunksize(ftdi_context* ftdi, unsigned int chunksize)
{
    int result;
    if (Enter("ftdi_read_data_set_chunksize", m_bus.Name(ftdi) + ", " + std::to_string(chunksize), ftdi, &result))
        return result;
    ftdi->readbuffer_chunksize = chunksize; // a context setting: no converter needed
    return 0;
}

int FakeLibFtdi::SetLineProperty2(ftdi_context* ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit,
                                  ftdi_parity_type parity, ftdi_break_type breakType)
{
    int result;
    std::string args = m_bus.Name(ftdi) + ", " + std::to_string(bits) + ", " + std::to_string(sbit) + ", " +
                       std::to_string(parity) + ", " + (breakType == BREAK_ON ? "BREAK_ON" : "BREAK_OFF");
    if (Enter("ftdi_set_line_property2", args, ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->bits = bits;
    c->stopBits = sbit;
    c->parity = parity;
    c->breakOn = breakType == BREAK_ON;
    return 0;
}

int FakeLibFtdi::SetBaudrate(ftdi_context* ftdi, int baudrate)
{
    int result;
    if (Enter("ftdi_set_baudrate", m_bus.Name(ftdi) + ", " + std::to_string(baudrate), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    if (baudrate <= 0) {
        ftdi->error_str = "Silly baudrate <= 0.";
        return -1;
    }
    c->baud = ftdi->bitbang_enabled ? baudrate * 4 : baudrate; // as libftdi does
    return 0;
}

int FakeLibFtdi::WriteData(ftdi_context* ftdi, const unsigned char* buf, int size)
{
    int result;
    if (Enter("ftdi_write_data", m_bus.Name(ftdi) + ", " + std::to_string(size), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->written.insert(c->written.end(), buf, buf + size);
    return size;
}

int FakeLibFtdi::ReadData(ftdi_context* ftdi, unsigned char* buf, int size)
{
    int result;
    if (Enter("ftdi_read_data", m_bus.Name(ftdi) + ", " + std::to_string(size), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    if (c->stalled) {
        if (m_bus.clock)
            m_bus.clock->Advance(uint64_t(ftdi->usb_read_timeout) * 1000);
        ftdi->error_str = "usb bulk read failed";
        return -7; // LIBUSB_ERROR_TIMEOUT, passed on by libftdi
    }
    const uint64_t now = m_bus.clock ? m_bus.clock->NowUs() : 0;
    if (c->arriving.empty() || c->arriving.front().atUs > now || size <= 0) {
        // Nothing yet: the converter's status bytes alone, when its timer runs out.
        if (m_bus.clock)
            m_bus.clock->Advance(uint64_t(c->latency) * 1000);
        return 0;
    }
    std::vector<uint8_t>& chunk = c->arriving.front().bytes;
    size_t n = std::min(chunk.size(), size_t(size));
    std::memcpy(buf, chunk.data(), n);
    chunk.erase(chunk.begin(), chunk.begin() + n);
    if (chunk.empty())
        c->arriving.pop_front();
    return int(n);
}

int FakeLibFtdi::SetBitmode(ftdi_context* ftdi, unsigned char bitmask, unsigned char mode)
{
    int result;
    if (Enter("ftdi_set_bitmode", m_bus.Name(ftdi) + ", " + Hex(bitmask, 2) + ", " + Hex(mode, 2), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->bitmodeMasks.push_back(bitmask);
    ftdi->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1; // as libftdi does
    return 0;
}

int FakeLibFtdi::Tciflush(ftdi_context* ftdi)
{
    int result;
    if (Enter("ftdi_tciflush", m_bus.Name(ftdi), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->arriving.clear();
    return 0;
}

int FakeLibFtdi::Tcoflush(ftdi_context* ftdi)
{
    int result;
    if (Enter("ftdi_tcoflush", m_bus.Name(ftdi), ftdi, &result))
        return result;
    return m_bus.Held(ftdi) ? 0 : Unavailable(ftdi);
}

int FakeLibFtdi::Tcioflush(ftdi_context* ftdi)
{
    int result;
    if (Enter("ftdi_tcioflush", m_bus.Name(ftdi), ftdi, &result))
        return result;
    FakeConverter* c = m_bus.Held(ftdi);
    if (!c)
        return Unavailable(ftdi);
    c->arriving.clear();
    return 0;
}

const char* FakeLibFtdi::GetErrorString(ftdi_context* ftdi) { return ftdi->error_str; }

} // namespace vu::test
