// The FTDI driver over machine models in the same process: each attached
// device has a description and its own MachineModel. Answer pieces are held
// in the device's receive queue until their delay has passed on the clock it
// is given (the virtual clock in tests, so every delay and time limit is free),
// and each piece is delivered by a read of its own, so split and trickled
// answers reach the link the way the fault asked for.
//
// Converter behaviour: ListDevicesCount counts the plugged devices;
// OpenByDescription opens the first plugged device with exactly that
// description that is not open (FT_DEVICE_NOT_FOUND otherwise). A device that
// is unplugged (Unplug, or a model fault of kind Vanish) answers every call on
// its handle with FT_IO_ERROR; Close still succeeds. Purge of the receive
// queue drops what has arrived, not answers still on their way. A machine
// restart drops answers not delivered yet.
#pragma once

#include "device/FtdiDriver.h"
#include "platform/Platform.h"
#include "sim/machine/MachineModel.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vu::sim {

class ModelDriver : public IFtdiDriver {
public:
    explicit ModelDriver(ISystemServices& clock) : m_clock(clock) {}
    ModelDriver(const ModelDriver&) = delete;
    ModelDriver& operator=(const ModelDriver&) = delete;

    // Attaches a device with a model of its own; returns that model.
    MachineModel& Attach(const std::string& description, MachineState state = MachineState::Healthy());
    size_t DeviceCount() const;
    MachineModel& Model(size_t index = 0);
    void Unplug(size_t index = 0);
    void Replug(size_t index = 0);
    bool IsOpen(size_t index = 0) const;

    // Bytes waiting in a device's receive queue (delivered or still on the way).
    size_t QueuedBytes(size_t index = 0) const;
    // Calls made on the driver, counted by name ("Write", "SetBitMode", ...).
    size_t CountOf(const std::string& call) const;

    // IFtdiDriver
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
    FT_STATUS ListDescriptions(std::vector<std::string>* descriptions) override;

private:
    struct Pending {
        std::vector<uint8_t> bytes;
        uint64_t readyUs;
    };
    struct Device {
        std::string description;
        std::unique_ptr<MachineModel> model;
        bool open = false;
        bool unplugged = false;
        uint32_t restartsSeen = 0;
        std::deque<Pending> queue;
        uint64_t lastReadyUs = 0;
    };

    // The open, plugged device behind h, or nullptr (status says why).
    Device* Find(FT_HANDLE h, FT_STATUS* status);
    // Moves the model's new output into the queue, dropping what a restart made stale.
    void Collect(Device& d);
    void Count(const char* call);
    uint64_t NowUs() const;
    static FT_HANDLE HandleOf(size_t index);

    ISystemServices& m_clock;
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<Device>> m_devices;
    std::vector<std::pair<std::string, size_t>> m_counts;
};

} // namespace vu::sim
