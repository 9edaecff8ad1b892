// The libftdi1 calls the Linux driver back end makes, one virtual per call,
// so that tests can stand in for the library and the converter behind it.
#pragma once

#include <ftdi.h>

#include <memory>

namespace vu {

class ILibFtdi {
public:
    virtual ~ILibFtdi() = default;

    virtual ftdi_context* New() = 0;
    virtual void Free(ftdi_context* ftdi) = 0;
    // Context fields that libftdi has no setter for.
    virtual void SetModuleDetachMode(ftdi_context* ftdi, ftdi_module_detach_mode mode) = 0;
    virtual void SetBitbangEnabled(ftdi_context* ftdi, bool enabled) = 0;
    // How long one USB read may wait for the converter (libftdi's default: 5000 ms).
    virtual void SetUsbReadTimeout(ftdi_context* ftdi, int ms) = 0;

    virtual int UsbFindAll(ftdi_context* ftdi, ftdi_device_list** devlist, int vendor, int product) = 0;
    virtual void ListFree(ftdi_device_list** devlist) = 0;
    virtual int UsbGetStrings(ftdi_context* ftdi, libusb_device* dev, char* manufacturer, int mnfLen,
                              char* description, int descLen, char* serial, int serialLen) = 0;
    virtual int UsbOpenDev(ftdi_context* ftdi, libusb_device* dev) = 0;
    virtual int UsbClose(ftdi_context* ftdi) = 0;
    virtual int UsbReset(ftdi_context* ftdi) = 0;

    virtual int SetLatencyTimer(ftdi_context* ftdi, unsigned char latency) = 0;
    virtual int SetEventChar(ftdi_context* ftdi, unsigned char eventChar, unsigned char enable) = 0;
    virtual int SetErrorChar(ftdi_context* ftdi, unsigned char errorChar, unsigned char enable) = 0;
    virtual int ReadDataSetChunksize(ftdi_context* ftdi, unsigned int chunksize) = 0;
    virtual int SetLineProperty2(ftdi_context* ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit,
                                 ftdi_parity_type parity, ftdi_break_type breakType) = 0;
    virtual int SetBaudrate(ftdi_context* ftdi, int baudrate) = 0;
    virtual int WriteData(ftdi_context* ftdi, const unsigned char* buf, int size) = 0;
    virtual int ReadData(ftdi_context* ftdi, unsigned char* buf, int size) = 0;
    virtual int SetBitmode(ftdi_context* ftdi, unsigned char bitmask, unsigned char mode) = 0;
    virtual int Tciflush(ftdi_context* ftdi) = 0;
    virtual int Tcoflush(ftdi_context* ftdi) = 0;
    virtual int Tcioflush(ftdi_context* ftdi) = 0;

    // May be null when libftdi failed without setting a text.
    virtual const char* GetErrorString(ftdi_context* ftdi) = 0;
};

// The library itself.
std::unique_ptr<ILibFtdi> CreateLibFtdi();

} // namespace vu
