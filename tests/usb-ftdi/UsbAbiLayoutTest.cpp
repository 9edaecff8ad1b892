// The virtual converter library declares libusb's structures itself; libftdi1
// was built against the installed libusb header. This holds the two
// together at compile time: every field the library fills or reads sits
// where libftdi1 looks for it, and every result code means the same.
#include "sim/usb-ftdi/UsbAbi.h"

#include <libusb-1.0/libusb.h>

#include <gtest/gtest.h>

#include <cstddef>

using namespace vu::usbftdi;

#define SAME_FIELD(ours, theirs, field) \
    static_assert(offsetof(ours, field) == offsetof(theirs, field), #theirs "." #field)
#define SAME_SIZE(ours, theirs) static_assert(sizeof(ours) == sizeof(theirs), #theirs)

SAME_SIZE(UsbDeviceDescriptor, libusb_device_descriptor);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, bcdUSB);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, bMaxPacketSize0);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, idVendor);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, idProduct);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, bcdDevice);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, iManufacturer);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, iProduct);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, iSerialNumber);
SAME_FIELD(UsbDeviceDescriptor, libusb_device_descriptor, bNumConfigurations);

SAME_SIZE(UsbEndpointDescriptor, libusb_endpoint_descriptor);
SAME_FIELD(UsbEndpointDescriptor, libusb_endpoint_descriptor, bEndpointAddress);
SAME_FIELD(UsbEndpointDescriptor, libusb_endpoint_descriptor, wMaxPacketSize);
SAME_FIELD(UsbEndpointDescriptor, libusb_endpoint_descriptor, bSynchAddress);
SAME_FIELD(UsbEndpointDescriptor, libusb_endpoint_descriptor, extra);
SAME_FIELD(UsbEndpointDescriptor, libusb_endpoint_descriptor, extra_length);

SAME_SIZE(UsbInterfaceDescriptor, libusb_interface_descriptor);
SAME_FIELD(UsbInterfaceDescriptor, libusb_interface_descriptor, bNumEndpoints);
SAME_FIELD(UsbInterfaceDescriptor, libusb_interface_descriptor, iInterface);
SAME_FIELD(UsbInterfaceDescriptor, libusb_interface_descriptor, endpoint);
SAME_FIELD(UsbInterfaceDescriptor, libusb_interface_descriptor, extra_length);

SAME_SIZE(UsbInterface, libusb_interface);
SAME_FIELD(UsbInterface, libusb_interface, altsetting);
SAME_FIELD(UsbInterface, libusb_interface, num_altsetting);

SAME_SIZE(UsbConfigDescriptor, libusb_config_descriptor);
SAME_FIELD(UsbConfigDescriptor, libusb_config_descriptor, wTotalLength);
SAME_FIELD(UsbConfigDescriptor, libusb_config_descriptor, bConfigurationValue);
SAME_FIELD(UsbConfigDescriptor, libusb_config_descriptor, MaxPower);
SAME_FIELD(UsbConfigDescriptor, libusb_config_descriptor, interface);
SAME_FIELD(UsbConfigDescriptor, libusb_config_descriptor, extra_length);

SAME_SIZE(UsbIsoPacketDescriptor, libusb_iso_packet_descriptor);
SAME_FIELD(UsbTransfer, libusb_transfer, dev_handle);
SAME_FIELD(UsbTransfer, libusb_transfer, flags);
SAME_FIELD(UsbTransfer, libusb_transfer, endpoint);
SAME_FIELD(UsbTransfer, libusb_transfer, type);
SAME_FIELD(UsbTransfer, libusb_transfer, timeout);
SAME_FIELD(UsbTransfer, libusb_transfer, status);
SAME_FIELD(UsbTransfer, libusb_transfer, length);
SAME_FIELD(UsbTransfer, libusb_transfer, actual_length);
SAME_FIELD(UsbTransfer, libusb_transfer, callback);
SAME_FIELD(UsbTransfer, libusb_transfer, user_data);
SAME_FIELD(UsbTransfer, libusb_transfer, buffer);
SAME_FIELD(UsbTransfer, libusb_transfer, num_iso_packets);
SAME_FIELD(UsbTransfer, libusb_transfer, iso_packet_desc);
static_assert(USB_CONTROL_SETUP_SIZE == LIBUSB_CONTROL_SETUP_SIZE);

#define SAME_VALUE(ours, theirs) static_assert(int(ours) == int(theirs), #theirs)

SAME_VALUE(USB_ERROR_IO, LIBUSB_ERROR_IO);
SAME_VALUE(USB_ERROR_INVALID_PARAM, LIBUSB_ERROR_INVALID_PARAM);
SAME_VALUE(USB_ERROR_ACCESS, LIBUSB_ERROR_ACCESS);
SAME_VALUE(USB_ERROR_NO_DEVICE, LIBUSB_ERROR_NO_DEVICE);
SAME_VALUE(USB_ERROR_NOT_FOUND, LIBUSB_ERROR_NOT_FOUND);
SAME_VALUE(USB_ERROR_BUSY, LIBUSB_ERROR_BUSY);
SAME_VALUE(USB_ERROR_TIMEOUT, LIBUSB_ERROR_TIMEOUT);
SAME_VALUE(USB_ERROR_OVERFLOW, LIBUSB_ERROR_OVERFLOW);
SAME_VALUE(USB_ERROR_PIPE, LIBUSB_ERROR_PIPE);
SAME_VALUE(USB_ERROR_INTERRUPTED, LIBUSB_ERROR_INTERRUPTED);
SAME_VALUE(USB_ERROR_NO_MEM, LIBUSB_ERROR_NO_MEM);
SAME_VALUE(USB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_NOT_SUPPORTED);
SAME_VALUE(USB_ERROR_OTHER, LIBUSB_ERROR_OTHER);
SAME_VALUE(USB_TRANSFER_COMPLETED, LIBUSB_TRANSFER_COMPLETED);
SAME_VALUE(USB_TRANSFER_ERROR, LIBUSB_TRANSFER_ERROR);
SAME_VALUE(USB_TRANSFER_TIMED_OUT, LIBUSB_TRANSFER_TIMED_OUT);
SAME_VALUE(USB_TRANSFER_CANCELLED, LIBUSB_TRANSFER_CANCELLED);
SAME_VALUE(USB_TRANSFER_STALL, LIBUSB_TRANSFER_STALL);
SAME_VALUE(USB_TRANSFER_NO_DEVICE, LIBUSB_TRANSFER_NO_DEVICE);
SAME_VALUE(USB_TRANSFER_OVERFLOW, LIBUSB_TRANSFER_OVERFLOW);
SAME_VALUE(USB_TRANSFER_SHORT_NOT_OK, LIBUSB_TRANSFER_SHORT_NOT_OK);
SAME_VALUE(USB_TRANSFER_FREE_BUFFER, LIBUSB_TRANSFER_FREE_BUFFER);
SAME_VALUE(USB_TRANSFER_FREE_TRANSFER, LIBUSB_TRANSFER_FREE_TRANSFER);
SAME_VALUE(USB_TRANSFER_ADD_ZERO_PACKET, LIBUSB_TRANSFER_ADD_ZERO_PACKET);
SAME_VALUE(USB_TRANSFER_TYPE_CONTROL, LIBUSB_TRANSFER_TYPE_CONTROL);
SAME_VALUE(USB_TRANSFER_TYPE_BULK, LIBUSB_TRANSFER_TYPE_BULK);

// The checks above are the test; this case only makes the suite visible.
TEST(UsbAbiLayout, MatchesTheInstalledLibusbHeader) { SUCCEED(); }
