// The parts of libusb-1.0's binary interface that the virtual converter
// library serves, declared from libusb's API documentation: result codes,
// the descriptor structures, the transfer structure and the control setup.
// Their layouts must be those of the real library, since libftdi1 was
// built against it; UsbAbiLayoutTest holds them against the installed
// header. The opaque handles (context, device, device handle) are the
// library's own types.
#pragma once

#include <cstdint>

namespace vu::usbftdi {

// libusb_error
enum : int {
    USB_SUCCESS = 0,
    USB_ERROR_IO = -1,
    USB_ERROR_INVALID_PARAM = -2,
    USB_ERROR_ACCESS = -3,
    USB_ERROR_NO_DEVICE = -4,
    USB_ERROR_NOT_FOUND = -5,
    USB_ERROR_BUSY = -6,
    USB_ERROR_TIMEOUT = -7,
    USB_ERROR_OVERFLOW = -8,
    USB_ERROR_PIPE = -9,
    USB_ERROR_INTERRUPTED = -10,
    USB_ERROR_NO_MEM = -11,
    USB_ERROR_NOT_SUPPORTED = -12,
    USB_ERROR_OTHER = -99,
};

// libusb_transfer_status
enum UsbTransferStatus : int {
    USB_TRANSFER_COMPLETED = 0,
    USB_TRANSFER_ERROR = 1,
    USB_TRANSFER_TIMED_OUT = 2,
    USB_TRANSFER_CANCELLED = 3,
    USB_TRANSFER_STALL = 4,
    USB_TRANSFER_NO_DEVICE = 5,
    USB_TRANSFER_OVERFLOW = 6,
};

// libusb_transfer_flags
enum : uint8_t {
    USB_TRANSFER_SHORT_NOT_OK = 1 << 0,
    USB_TRANSFER_FREE_BUFFER = 1 << 1,
    USB_TRANSFER_FREE_TRANSFER = 1 << 2,
    USB_TRANSFER_ADD_ZERO_PACKET = 1 << 3,
};

// libusb_transfer_type
enum : uint8_t {
    USB_TRANSFER_TYPE_CONTROL = 0,
    USB_TRANSFER_TYPE_ISOCHRONOUS = 1,
    USB_TRANSFER_TYPE_BULK = 2,
    USB_TRANSFER_TYPE_INTERRUPT = 3,
    USB_TRANSFER_TYPE_BULK_STREAM = 4,
};

// Standard requests, descriptor types, request types.
enum : uint8_t {
    USB_REQUEST_GET_STATUS = 0x00,
    USB_REQUEST_GET_DESCRIPTOR = 0x06,
    USB_REQUEST_GET_CONFIGURATION = 0x08,
    USB_REQUEST_SET_CONFIGURATION = 0x09,
    USB_DT_DEVICE = 0x01,
    USB_DT_CONFIG = 0x02,
    USB_DT_STRING = 0x03,
    USB_DT_INTERFACE = 0x04,
    USB_DT_ENDPOINT = 0x05,
    USB_ENDPOINT_IN = 0x80,
    USB_REQUEST_TYPE_MASK = 0x60,
    USB_REQUEST_TYPE_STANDARD = 0x00,
    USB_REQUEST_TYPE_VENDOR = 0x40,
    USB_RECIPIENT_MASK = 0x1F,
    USB_RECIPIENT_DEVICE = 0x00,
    USB_ENDPOINT_TRANSFER_TYPE_BULK = 0x02,
};

constexpr int USB_CONTROL_SETUP_SIZE = 8;

struct UsbDeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct UsbEndpointDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
    uint8_t bRefresh;
    uint8_t bSynchAddress;
    const unsigned char* extra;
    int extra_length;
};

struct UsbInterfaceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
    const UsbEndpointDescriptor* endpoint;
    const unsigned char* extra;
    int extra_length;
};

struct UsbInterface {
    const UsbInterfaceDescriptor* altsetting;
    int num_altsetting;
};

struct UsbConfigDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t MaxPower;
    const UsbInterface* interface;
    const unsigned char* extra;
    int extra_length;
};

struct UsbIsoPacketDescriptor {
    unsigned int length;
    unsigned int actual_length;
    UsbTransferStatus status;
};

struct UsbDeviceHandle; // the library's own
struct UsbTransfer;
using UsbTransferCallback = void (*)(UsbTransfer* transfer);

struct UsbTransfer {
    UsbDeviceHandle* dev_handle;
    uint8_t flags;
    unsigned char endpoint;
    unsigned char type;
    unsigned int timeout; // ms, 0: none
    UsbTransferStatus status;
    int length;
    int actual_length;
    UsbTransferCallback callback;
    void* user_data;
    unsigned char* buffer;
    int num_iso_packets;
    UsbIsoPacketDescriptor iso_packet_desc[1]; // as many as num_iso_packets
};

} // namespace vu::usbftdi
