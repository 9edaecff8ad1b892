#include "device/posix/LibFtdiApi.h"

namespace vu {

namespace {

class CLibFtdi : public ILibFtdi {
public:
    ftdi_context* New() override { return ftdi_new(); }
    void Free(ftdi_context* ftdi) override { ftdi_free(ftdi); }
    void SetModuleDetachMode(ftdi_context* ftdi, ftdi_module_detach_mode mode) override
    {
        ftdi->module_detach_mode = mode;
    }
    void SetBitbangEnabled(ftdi_context* ftdi, bool enabled) override { ftdi->bitbang_enabled = enabled ? 1 : 0; }
    void SetUsbReadTimeout(ftdi_context* ftdi, int ms) override { ftdi->usb_read_timeout = ms; }

    int UsbFindAll(ftdi_context* ftdi, ftdi_device_list** devlist, int vendor, int product) override
    {
        return ftdi_usb_find_all(ftdi, devlist, vendor, product);
    }
    void ListFree(ftdi_device_list** devlist) override { ftdi_list_free(devlist); }
    int UsbGetStrings(ftdi_context* ftdi, libusb_device* dev, char* manufacturer, int mnfLen, char* description,
                      int descLen, char* serial, int serialLen) override
    {
        return ftdi_usb_get_strings(ftdi, dev, manufacturer, mnfLen, description, descLen, serial, serialLen);
    }
    int UsbOpenDev(ftdi_context* ftdi, libusb_device* dev) override { return ftdi_usb_open_dev(ftdi, dev); }
    int UsbClose(ftdi_context* ftdi) override { return ftdi_usb_close(ftdi); }
    int UsbReset(ftdi_context* ftdi) override { return ftdi_usb_reset(ftdi); }

    int SetLatencyTimer(ftdi_context* ftdi, unsigned char latency) override
    {
        return ftdi_set_latency_timer(ftdi, latency);
    }
    int SetEventChar(ftdi_context* ftdi, unsigned char eventChar, unsigned char enable) override
    {
        return ftdi_set_event_char(ftdi, eventChar, enable);
    }
    int SetErrorChar(ftdi_context* ftdi, unsigned char errorChar, unsigned char enable) override
    {
        return ftdi_set_error_char(ftdi, errorChar, enable);
    }
    int ReadDataSetChunksize(ftdi_context* ftdi, unsigned int chunksize) override
    {
        return ftdi_read_data_set_chunksize(ftdi, chunksize);
    }
    int SetLineProperty2(ftdi_context* ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit, ftdi_parity_type parity,
                         ftdi_break_type breakType) override
    {
        return ftdi_set_line_property2(ftdi, bits, sbit, parity, breakType);
    }
    int SetBaudrate(ftdi_context* ftdi, int baudrate) override { return ftdi_set_baudrate(ftdi, baudrate); }
    int WriteData(ftdi_context* ftdi, const unsigned char* buf, int size) override
    {
        return ftdi_write_data(ftdi, buf, size);
    }
    int ReadData(ftdi_context* ftdi, unsigned char* buf, int size) override { return ftdi_read_data(ftdi, buf, size); }
    int SetBitmode(ftdi_context* ftdi, unsigned char bitmask, unsigned char mode) override
    {
        return ftdi_set_bitmode(ftdi, bitmask, mode);
    }
    int Tciflush(ftdi_context* ftdi) override { return ftdi_tciflush(ftdi); }
    int Tcoflush(ftdi_context* ftdi) override { return ftdi_tcoflush(ftdi); }
    int Tcioflush(ftdi_context* ftdi) override { return ftdi_tcioflush(ftdi); }

    const char* GetErrorString(ftdi_context* ftdi) override { return ftdi_get_error_string(ftdi); }
};

} // namespace

std::unique_ptr<ILibFtdi> CreateLibFtdi() { return std::make_unique<CLibFtdi>(); }

} // namespace vu
