// The libusb-1.0 functions that libftdi1 calls, served by virtual FT232R
// converters: one per device the machine simulator at
// VANTORELLE_USB_SIMULATOR (HOST:PORT) presents, none when it is unset.
// Test only: the library takes libusb's soname and is put first on the
// library path of a program that would otherwise load the real one.
//
// One client to the simulator serves the whole process, so that the tool's
// back-to-back open attempts (a libusb context each) share its connection.
// A handle's converter is taken on the simulator (opened by description) when
// its interface is claimed, or at its first vendor request or bulk transfer,
// and let go at libusb_close; reading descriptors takes nothing.
// Asynchronous transfers run inside libusb_handle_events_timeout*, on the
// thread that calls it, in the order they were submitted.
// VANTORELLE_USB_FAULT=stall-in, read when a converter is taken, makes it a
// stalled one: it answers no bulk IN request, so each read runs into its
// time-out.
#include "sim/usb-ftdi/Ft232rChip.h"
#include "sim/usb-ftdi/UsbAbi.h"

#include "device/FtdiDriver.h"
#include "platform/Platform.h"

#include <sys/time.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

using namespace vu;
using namespace vu::usbftdi;

namespace vu::usbftdi {

struct CUsbContext;

struct CUsbDevice {
    std::atomic<int> refs{1};
    CUsbContext* context = nullptr; // whose list found it: its transfers run there
    uint32_t index = 0;
    ChipStrings strings;
};

struct UsbDeviceHandle {
    CUsbDevice* device = nullptr;
    bool claimed = false;
    std::mutex lock; // one request at a time on the converter
    std::unique_ptr<CFt232rChip> chip;
};

// Where an asynchronous transfer stands; the transfer itself comes last,
// since its packet descriptors run on past its end.
struct CTransferBox {
    std::atomic<bool> inFlight{false};
    std::atomic<bool> cancelled{false}; // may come from another thread
    uint32_t deadline = 0; // tick; only when the transfer has a timeout
    InTransfer in;
    UsbTransfer transfer;
};

struct CUsbContext {
    std::mutex lock;
    std::vector<CUsbDevice*> devices; // the context's own references, by index
    std::list<CTransferBox*> inFlight;
};

} // namespace vu::usbftdi

namespace {

constexpr uint32_t UNLIMITED_WAIT_STEP_MS = 60000;
constexpr uint8_t BUS_NUMBER = 1;

struct Library {
    std::mutex lock;
    std::string address;
    std::unique_ptr<IFtdiDriver> driver; // null: no simulator, no devices
    int contexts = 0;
    CUsbContext* defaultContext = nullptr;
    int defaultRefs = 0;
};

// Never destroyed: a program's last libusb calls may come from its exit handlers.
Library& Lib()
{
    static Library* lib = new Library;
    return *lib;
}

ISystemServices& Clock() { return RealSystem(); }

CUsbContext* ContextOf(CUsbContext* ctx) { return ctx ? ctx : Lib().defaultContext; }

void Unref(CUsbDevice* dev)
{
    if (dev && dev->refs.fetch_sub(1) == 1)
        delete dev;
}

// The driver and the lists of the devices the simulator presents.
void Enumerate(CUsbContext* ctx)
{
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(Lib().lock);
        if (Lib().driver)
            Lib().driver->ListDescriptions(&names); // nothing listening: none
    }
    std::lock_guard<std::mutex> lock(ctx->lock);
    for (size_t i = 0; i < names.size(); ++i) {
        // The same converter keeps its device while it is attached.
        if (i < ctx->devices.size() && ctx->devices[i]->strings.product == names[i])
            continue;
        auto* dev = new CUsbDevice;
        dev->context = ctx;
        dev->index = uint32_t(i);
        dev->strings.product = names[i];
        char serial[16];
        std::snprintf(serial, sizeof serial, "VU%06u", unsigned(i + 1));
        dev->strings.serial = serial;
        if (i < ctx->devices.size()) {
            Unref(ctx->devices[i]);
            ctx->devices[i] = dev;
        } else {
            ctx->devices.push_back(dev);
        }
    }
    while (ctx->devices.size() > names.size()) {
        Unref(ctx->devices.back());
        ctx->devices.pop_back();
    }
}

// The converter behind a handle, taken on the simulator if it is not yet.
// Called with the handle's lock held.
int TakeChip(UsbDeviceHandle* h)
{
    if (!h->chip) {
        std::lock_guard<std::mutex> lock(Lib().lock);
        if (!Lib().driver)
            return USB_ERROR_NO_DEVICE;
        h->chip = std::make_unique<CFt232rChip>(*Lib().driver, Clock(), h->device->strings.product);
        h->chip->SetStalled(GetEnv("VANTORELLE_USB_FAULT") == "stall-in");
    }
    return h->chip->Attach();
}

int StandardRequest(UsbDeviceHandle* h, uint8_t requestType, uint8_t request, uint16_t value, uint8_t* data,
                    uint16_t length)
{
    std::vector<uint8_t> answer;
    const bool in = requestType & USB_ENDPOINT_IN;
    if ((requestType & USB_RECIPIENT_MASK) != USB_RECIPIENT_DEVICE)
        return USB_ERROR_PIPE;
    if (in && request == USB_REQUEST_GET_DESCRIPTOR) {
        const uint8_t type = uint8_t(value >> 8), index = uint8_t(value);
        if (type == USB_DT_DEVICE && index == 0)
            answer = DeviceDescriptorBytes();
        else if (type == USB_DT_CONFIG && index == 0)
            answer = ConfigDescriptorBytes();
        else if (type != USB_DT_STRING || !StringDescriptorBytes(h->device->strings, index, &answer))
            return USB_ERROR_PIPE;
    } else if (in && request == USB_REQUEST_GET_STATUS) {
        answer = {0, 0}; // bus powered, remote wake-up off
    } else if (in && request == USB_REQUEST_GET_CONFIGURATION) {
        answer = {1};
    } else if (!in && request == USB_REQUEST_SET_CONFIGURATION) {
        return value <= 1 ? USB_SUCCESS : USB_ERROR_PIPE;
    } else {
        return USB_ERROR_PIPE;
    }
    const int n = std::min<int>(int(answer.size()), length);
    if (n > 0 && !data)
        return USB_ERROR_INVALID_PARAM;
    std::memcpy(data, answer.data(), size_t(n));
    return n;
}

// A control transfer, with the handle's lock held.
int Control(UsbDeviceHandle* h, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
            uint16_t length)
{
    if ((requestType & USB_REQUEST_TYPE_MASK) == USB_REQUEST_TYPE_STANDARD)
        return StandardRequest(h, requestType, request, value, data, length);
    if ((requestType & USB_REQUEST_TYPE_MASK) != USB_REQUEST_TYPE_VENDOR)
        return USB_ERROR_PIPE;
    if (int r = TakeChip(h))
        return r;
    return h->chip->VendorRequest(requestType, request, value, index, data, length);
}

UsbTransferStatus StatusOf(int result)
{
    switch (result) {
    case USB_SUCCESS: return USB_TRANSFER_COMPLETED;
    case USB_ERROR_NO_DEVICE: return USB_TRANSFER_NO_DEVICE;
    case USB_ERROR_PIPE: return USB_TRANSFER_STALL;
    case USB_ERROR_TIMEOUT: return USB_TRANSFER_TIMED_OUT;
    case USB_ERROR_OVERFLOW: return USB_TRANSFER_OVERFLOW;
    default: return USB_TRANSFER_ERROR;
    }
}

CTransferBox* BoxOf(UsbTransfer* t)
{
    return reinterpret_cast<CTransferBox*>(reinterpret_cast<char*>(t) - offsetof(CTransferBox, transfer));
}

// Runs one submitted transfer until `until`; true when it has ended.
bool Run(CTransferBox* box, uint32_t until)
{
    UsbTransfer* t = &box->transfer;
    if (box->cancelled) {
        t->status = USB_TRANSFER_CANCELLED;
        return true;
    }
    UsbDeviceHandle* h = t->dev_handle;
    std::lock_guard<std::mutex> lock(h->lock);
    if (t->type == USB_TRANSFER_TYPE_CONTROL) {
        const uint8_t* s = t->buffer;
        const uint16_t value = uint16_t(s[2] | s[3] << 8), index = uint16_t(s[4] | s[5] << 8);
        const uint16_t length = uint16_t(s[6] | s[7] << 8);
        int r = length > t->length - USB_CONTROL_SETUP_SIZE
                    ? USB_ERROR_INVALID_PARAM
                    : Control(h, s[0], s[1], value, index, t->buffer + USB_CONTROL_SETUP_SIZE, length);
        t->actual_length = r > 0 ? r : 0;
        t->status = StatusOf(r < 0 ? r : USB_SUCCESS);
        return true;
    }
    if (int r = TakeChip(h)) {
        t->status = StatusOf(r);
        return true;
    }
    if (t->endpoint == BULK_OUT_ENDPOINT) {
        int n = 0;
        int r = h->chip->BulkOut(t->buffer, t->length, &n);
        t->actual_length = n;
        t->status = StatusOf(r);
        return true;
    }
    if (t->endpoint != BULK_IN_ENDPOINT) {
        t->status = USB_TRANSFER_ERROR;
        return true;
    }
    uint32_t limit = until;
    if (t->timeout && int32_t(box->deadline - until) < 0)
        limit = box->deadline;
    int r = h->chip->BulkInStep(box->in, limit);
    t->actual_length = box->in.actual;
    if (r < 0) {
        t->status = StatusOf(r);
        return true;
    }
    if (r == 1) {
        t->status = box->in.overflow ? USB_TRANSFER_OVERFLOW
                    : (t->flags & USB_TRANSFER_SHORT_NOT_OK) && t->actual_length < t->length ? USB_TRANSFER_ERROR
                                                                                             : USB_TRANSFER_COMPLETED;
        return true;
    }
    if (t->timeout && int32_t(Clock().TickCount() - box->deadline) >= 0) {
        t->status = USB_TRANSFER_TIMED_OUT;
        return true;
    }
    return false;
}

} // namespace

extern "C" {

int libusb_init(CUsbContext** ctx)
{
    Library& lib = Lib();
    std::lock_guard<std::mutex> lock(lib.lock);
    if (lib.contexts == 0) {
        // Read at the first context, so a test can point a fresh start at another simulator.
        std::string address = GetEnv("VANTORELLE_USB_SIMULATOR");
        if (address != lib.address) {
            lib.driver.reset();
            if (!address.empty())
                lib.driver = CreateVirtualFtdiClient(address);
            lib.address = address;
        }
    }
    if (!ctx) {
        if (lib.defaultRefs++ == 0) {
            lib.defaultContext = new CUsbContext;
            ++lib.contexts;
        }
        return USB_SUCCESS;
    }
    *ctx = new CUsbContext;
    ++lib.contexts;
    return USB_SUCCESS;
}

void libusb_exit(CUsbContext* ctx)
{
    Library& lib = Lib();
    {
        std::lock_guard<std::mutex> lock(lib.lock);
        if (!ctx) {
            if (lib.defaultRefs == 0 || --lib.defaultRefs > 0)
                return;
            ctx = lib.defaultContext;
            lib.defaultContext = nullptr;
        }
        --lib.contexts;
    }
    for (CUsbDevice* dev : ctx->devices)
        Unref(dev);
    for (CTransferBox* box : ctx->inFlight)
        box->inFlight = false;
    delete ctx;
}

ssize_t libusb_get_device_list(CUsbContext* ctx, CUsbDevice*** list)
{
    ctx = ContextOf(ctx);
    if (!ctx || !list)
        return USB_ERROR_INVALID_PARAM;
    Enumerate(ctx);
    std::lock_guard<std::mutex> lock(ctx->lock);
    auto** out = static_cast<CUsbDevice**>(std::calloc(ctx->devices.size() + 1, sizeof(CUsbDevice*)));
    if (!out)
        return USB_ERROR_NO_MEM;
    for (size_t i = 0; i < ctx->devices.size(); ++i) {
        ctx->devices[i]->refs.fetch_add(1);
        out[i] = ctx->devices[i];
    }
    *list = out;
    return ssize_t(ctx->devices.size());
}

void libusb_free_device_list(CUsbDevice** list, int unref_devices)
{
    if (!list)
        return;
    if (unref_devices)
        for (CUsbDevice** d = list; *d; ++d)
            Unref(*d);
    std::free(list);
}

CUsbDevice* libusb_ref_device(CUsbDevice* dev)
{
    dev->refs.fetch_add(1);
    return dev;
}

void libusb_unref_device(CUsbDevice* dev) { Unref(dev); }

uint8_t libusb_get_bus_number(CUsbDevice*) { return BUS_NUMBER; }

uint8_t libusb_get_device_address(CUsbDevice* dev) { return uint8_t(dev->index + 2); } // 1 is the root hub

int libusb_get_device_descriptor(CUsbDevice*, UsbDeviceDescriptor* desc)
{
    const std::vector<uint8_t> d = DeviceDescriptorBytes();
    auto le16 = [&](size_t at) { return uint16_t(d[at] | d[at + 1] << 8); };
    *desc = UsbDeviceDescriptor{d[0], d[1], le16(2), d[4], d[5], d[6], d[7], le16(8), le16(10), le16(12),
                                d[14], d[15], d[16], d[17]};
    return USB_SUCCESS;
}

namespace {
// One allocation for a configuration and everything it points at.
struct CConfigBlock {
    UsbConfigDescriptor config;
    UsbInterface interface;
    UsbInterfaceDescriptor altsetting;
    UsbEndpointDescriptor endpoints[2];
};
} // namespace

int libusb_get_config_descriptor(CUsbDevice*, uint8_t config_index, UsbConfigDescriptor** config)
{
    if (config_index != 0)
        return USB_ERROR_NOT_FOUND;
    const std::vector<uint8_t> d = ConfigDescriptorBytes();
    auto* b = new (std::nothrow) CConfigBlock{};
    if (!b)
        return USB_ERROR_NO_MEM;
    b->config = UsbConfigDescriptor{d[0], d[1], uint16_t(d[2] | d[3] << 8), d[4], d[5], d[6], d[7], d[8],
                                    &b->interface, nullptr, 0};
    b->interface = UsbInterface{&b->altsetting, 1};
    const uint8_t* i = d.data() + 9;
    b->altsetting = UsbInterfaceDescriptor{i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7], i[8], b->endpoints, nullptr, 0};
    for (int e = 0; e < 2; ++e) {
        const uint8_t* p = d.data() + 18 + 7 * e;
        b->endpoints[e] = UsbEndpointDescriptor{p[0], p[1], p[2], p[3], uint16_t(p[4] | p[5] << 8), p[6], 0, 0,
                                                nullptr, 0};
    }
    *config = &b->config;
    return USB_SUCCESS;
}

void libusb_free_config_descriptor(UsbConfigDescriptor* config)
{
    delete reinterpret_cast<CConfigBlock*>(config); // the block starts with it
}

int libusb_open(CUsbDevice* dev, UsbDeviceHandle** handle)
{
    if (!dev || !handle)
        return USB_ERROR_INVALID_PARAM;
    auto* h = new UsbDeviceHandle;
    h->device = libusb_ref_device(dev);
    *handle = h;
    return USB_SUCCESS;
}

void libusb_close(UsbDeviceHandle* h)
{
    if (!h)
        return;
    {
        std::lock_guard<std::mutex> lock(h->lock);
        h->chip.reset(); // lets the converter go on the simulator
    }
    Unref(h->device);
    delete h;
}

int libusb_get_configuration(UsbDeviceHandle*, int* config)
{
    *config = 1;
    return USB_SUCCESS;
}

int libusb_set_configuration(UsbDeviceHandle*, int configuration)
{
    return configuration == 1 || configuration == -1 ? USB_SUCCESS : USB_ERROR_NOT_FOUND;
}

int libusb_claim_interface(UsbDeviceHandle* h, int interface_number)
{
    if (interface_number != 0)
        return USB_ERROR_NOT_FOUND;
    std::lock_guard<std::mutex> lock(h->lock);
    if (int r = TakeChip(h)) {
        h->chip.reset();
        return r;
    }
    h->claimed = true;
    return USB_SUCCESS;
}

int libusb_release_interface(UsbDeviceHandle* h, int interface_number)
{
    std::lock_guard<std::mutex> lock(h->lock);
    if (interface_number != 0 || !h->claimed)
        return USB_ERROR_NOT_FOUND;
    h->claimed = false;
    return USB_SUCCESS;
}

// No kernel driver is ever bound to a virtual converter.
int libusb_detach_kernel_driver(UsbDeviceHandle*, int interface_number)
{
    return interface_number == 0 ? USB_ERROR_NOT_FOUND : USB_ERROR_INVALID_PARAM;
}

int libusb_set_auto_detach_kernel_driver(UsbDeviceHandle*, int) { return USB_SUCCESS; }

int libusb_control_transfer(UsbDeviceHandle* h, uint8_t request_type, uint8_t bRequest, uint16_t wValue,
                            uint16_t wIndex, unsigned char* data, uint16_t wLength, unsigned int /*timeout*/)
{
    if (!h)
        return USB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(h->lock);
    return Control(h, request_type, bRequest, wValue, wIndex, data, wLength);
}

int libusb_bulk_transfer(UsbDeviceHandle* h, unsigned char endpoint, unsigned char* data, int length,
                         int* transferred, unsigned int timeout)
{
    int ignored;
    if (!transferred)
        transferred = &ignored;
    *transferred = 0;
    if (!h || length < 0 || (length > 0 && !data))
        return USB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(h->lock);
    if (int r = TakeChip(h))
        return r;
    if (endpoint == BULK_OUT_ENDPOINT)
        return h->chip->BulkOut(data, length, transferred);
    if (endpoint != BULK_IN_ENDPOINT)
        return USB_ERROR_NOT_FOUND;
    InTransfer t;
    t.buffer = data;
    t.length = length;
    int r;
    do {
        const uint32_t step = timeout ? timeout : UNLIMITED_WAIT_STEP_MS;
        r = h->chip->BulkInStep(t, Clock().TickCount() + step);
    } while (r == 0 && timeout == 0);
    *transferred = t.actual;
    if (r < 0)
        return r;
    if (r == 0)
        return USB_ERROR_TIMEOUT;
    return t.overflow ? USB_ERROR_OVERFLOW : USB_SUCCESS;
}

int libusb_get_string_descriptor_ascii(UsbDeviceHandle* h, uint8_t desc_index, unsigned char* data, int length)
{
    if (!h || desc_index == 0 || !data || length <= 0)
        return USB_ERROR_INVALID_PARAM; // index 0 is the language list
    uint8_t text[255];
    int r = libusb_control_transfer(h, USB_ENDPOINT_IN, USB_REQUEST_GET_DESCRIPTOR, USB_DT_STRING << 8, 0, text,
                                    sizeof text, 1000);
    if (r < 0)
        return r;
    if (r < 4)
        return USB_ERROR_IO;
    const uint16_t language = uint16_t(text[2] | text[3] << 8);
    r = libusb_control_transfer(h, USB_ENDPOINT_IN, USB_REQUEST_GET_DESCRIPTOR, uint16_t(USB_DT_STRING << 8 | desc_index),
                                language, text, sizeof text, 1000);
    if (r < 0)
        return r;
    if (r < 2 || text[1] != USB_DT_STRING || text[0] > r)
        return USB_ERROR_IO;
    int n = 0;
    for (int at = 2; at + 1 < text[0] && n < length - 1; at += 2)
        data[n++] = (text[at] & 0x80) || text[at + 1] ? '?' : text[at]; // not ASCII
    data[n] = 0;
    return n;
}

UsbTransfer* libusb_alloc_transfer(int iso_packets)
{
    if (iso_packets < 0)
        return nullptr;
    const size_t size = offsetof(CTransferBox, transfer) + offsetof(UsbTransfer, iso_packet_desc) +
                        sizeof(UsbIsoPacketDescriptor) * size_t(std::max(iso_packets, 1));
    void* memory = std::calloc(1, std::max(size, sizeof(CTransferBox)));
    if (!memory)
        return nullptr;
    auto* box = new (memory) CTransferBox{};
    box->transfer.num_iso_packets = iso_packets;
    return &box->transfer;
}

void libusb_free_transfer(UsbTransfer* t)
{
    if (!t)
        return;
    if ((t->flags & USB_TRANSFER_FREE_BUFFER) && t->buffer)
        std::free(t->buffer);
    CTransferBox* box = BoxOf(t);
    box->~CTransferBox();
    std::free(box);
}

int libusb_submit_transfer(UsbTransfer* t)
{
    CTransferBox* box = BoxOf(t);
    if (!t->dev_handle || t->length < 0)
        return USB_ERROR_INVALID_PARAM;
    if (box->inFlight)
        return USB_ERROR_BUSY;
    if (t->type != USB_TRANSFER_TYPE_BULK && t->type != USB_TRANSFER_TYPE_CONTROL)
        return USB_ERROR_NOT_SUPPORTED;
    if (t->type == USB_TRANSFER_TYPE_CONTROL && t->length < USB_CONTROL_SETUP_SIZE)
        return USB_ERROR_INVALID_PARAM;
    CUsbContext* ctx = t->dev_handle->device->context;
    box->inFlight = true;
    box->cancelled = false;
    box->deadline = Clock().TickCount() + t->timeout;
    box->in = InTransfer{};
    box->in.buffer = t->buffer;
    box->in.length = t->length;
    t->actual_length = 0;
    std::lock_guard<std::mutex> lock(ctx->lock);
    ctx->inFlight.push_back(box);
    return USB_SUCCESS;
}

int libusb_cancel_transfer(UsbTransfer* t)
{
    CTransferBox* box = BoxOf(t);
    if (!box->inFlight || box->cancelled)
        return USB_ERROR_NOT_FOUND;
    box->cancelled = true;
    return USB_SUCCESS;
}

int libusb_handle_events_timeout_completed(CUsbContext* ctx, struct timeval* tv, int* completed)
{
    ctx = ContextOf(ctx);
    if (!ctx)
        return USB_ERROR_INVALID_PARAM;
    uint32_t budget = UNLIMITED_WAIT_STEP_MS;
    if (tv)
        budget = uint32_t(std::min<long long>(tv->tv_sec * 1000ll + tv->tv_usec / 1000, UNLIMITED_WAIT_STEP_MS));
    const uint32_t until = Clock().TickCount() + budget;
    for (;;) {
        if (completed && *completed)
            return USB_SUCCESS;
        std::vector<CTransferBox*> pending;
        {
            std::lock_guard<std::mutex> lock(ctx->lock);
            pending.assign(ctx->inFlight.begin(), ctx->inFlight.end());
        }
        if (pending.empty()) {
            // Nothing can happen: wait out the time as libusb would.
            int32_t left = int32_t(until - Clock().TickCount());
            if (left > 0)
                Clock().Sleep(uint32_t(left));
            return USB_SUCCESS;
        }
        bool ended = false;
        for (CTransferBox* box : pending) {
            if (!Run(box, until))
                continue;
            {
                std::lock_guard<std::mutex> lock(ctx->lock);
                ctx->inFlight.remove(box);
            }
            box->inFlight = false;
            ended = true;
            UsbTransfer* t = &box->transfer;
            const bool freeAfter = t->flags & USB_TRANSFER_FREE_TRANSFER;
            if (t->callback)
                t->callback(t);
            if (freeAfter)
                libusb_free_transfer(t);
        }
        if (ended || int32_t(until - Clock().TickCount()) <= 0)
            return USB_SUCCESS;
    }
}

int libusb_handle_events_timeout(CUsbContext* ctx, struct timeval* tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

} // extern "C"
