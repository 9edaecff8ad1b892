#include "sim/machine/ModelDriver.h"

#include <algorithm>
#include <cstring>

namespace vu::sim {

namespace {
constexpr uintptr_t HANDLE_BASE = 0x5600;
}

uint64_t ModelDriver::NowUs() const
{
    uint64_t freq = m_clock.PerformanceFrequency();
    uint64_t counter = m_clock.PerformanceCounter();
    if (freq == 1'000'000 || freq == 0)
        return counter;
    return uint64_t((long double)counter * 1'000'000.0L / (long double)freq);
}

FT_HANDLE ModelDriver::HandleOf(size_t index) { return reinterpret_cast<FT_HANDLE>(HANDLE_BASE + index); }

MachineModel& ModelDriver::Attach(const std::string& description, MachineState state)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto d = std::make_unique<Device>();
    d->description = description;
    d->model = std::make_unique<MachineModel>(std::move(state));
    MachineModel& model = *d->model;
    m_devices.push_back(std::move(d));
    return model;
}

size_t ModelDriver::DeviceCount() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_devices.size();
}

MachineModel& ModelDriver::Model(size_t index)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return *m_devices.at(index)->model;
}

void ModelDriver::Unplug(size_t index)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device& d = *m_devices.at(index);
    d.unplugged = true;
    d.queue.clear();
    d.model->Disconnected();
}

void ModelDriver::Replug(size_t index)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Device& d = *m_devices.at(index);
    d.unplugged = false;
    d.model->Replug();
}

bool ModelDriver::IsOpen(size_t index) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_devices.at(index)->open;
}

size_t ModelDriver::QueuedBytes(size_t index) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    size_t n = 0;
    for (const Pending& p : m_devices.at(index)->queue)
        n += p.bytes.size();
    return n;
}

size_t ModelDriver::CountOf(const std::string& call) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& c : m_counts)
        if (c.first == call)
            return c.second;
    return 0;
}

void ModelDriver::Count(const char* call)
{
    for (auto& c : m_counts) {
        if (c.first == call) {
            ++c.second;
            return;
        }
    }
    m_counts.emplace_back(call, 1);
}

ModelDriver::Device* ModelDriver::Find(FT_HANDLE h, FT_STATUS* status)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v < HANDLE_BASE || v - HANDLE_BASE >= m_devices.size() || !m_devices[v - HANDLE_BASE]->open) {
        *status = FT_INVALID_HANDLE;
        return nullptr;
    }
    Device* d = m_devices[v - HANDLE_BASE].get();
    if (d->unplugged || d->model->Unplugged()) {
        d->unplugged = true;
        *status = FT_IO_ERROR;
        return nullptr;
    }
    *status = FT_OK;
    return d;
}

void ModelDriver::Collect(Device& d)
{
    uint64_t now = NowUs();
    if (d.model->RestartCount() != d.restartsSeen) {
        // The machine restarted: answers it had not finished sending are gone.
        d.restartsSeen = d.model->RestartCount();
        while (!d.queue.empty() && d.queue.back().readyUs > now)
            d.queue.pop_back();
        d.lastReadyUs = now;
    }
    if (d.model->Unplugged()) {
        d.unplugged = true;
        d.queue.clear();
        return;
    }
    uint64_t at = std::max(now, d.lastReadyUs);
    for (OutputPiece& piece : d.model->TakeOutput()) {
        at += uint64_t(piece.delayMs) * 1000;
        if (!piece.bytes.empty())
            d.queue.push_back(Pending{std::move(piece.bytes), at});
    }
    d.lastReadyUs = at;
}

FT_STATUS ModelDriver::ListDevicesCount(uint32_t* count)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("ListDevices");
    uint32_t n = 0;
    for (const auto& d : m_devices)
        if (!d->unplugged && !d->model->Unplugged())
            ++n;
    if (count)
        *count = n;
    return FT_OK;
}

FT_STATUS ModelDriver::OpenByDescription(const char* description, FT_HANDLE* handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("OpenEx");
    if (!description || !handle)
        return FT_INVALID_PARAMETER;
    for (size_t i = 0; i < m_devices.size(); ++i) {
        Device& d = *m_devices[i];
        if (d.open || d.unplugged || d.model->Unplugged() || d.description != description)
            continue;
        d.open = true;
        d.queue.clear();
        d.restartsSeen = d.model->RestartCount();
        d.lastReadyUs = 0;
        *handle = HandleOf(i);
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS ModelDriver::SetDataCharacteristics(FT_HANDLE h, uint8_t, uint8_t, uint8_t)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("SetDataCharacteristics");
    FT_STATUS st;
    Find(h, &st);
    return st;
}

FT_STATUS ModelDriver::SetBaudRate(FT_HANDLE h, uint32_t baud)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("SetBaudRate");
    FT_STATUS st;
    if (Device* d = Find(h, &st))
        d->model->SetHostBaud(baud);
    return st;
}

FT_STATUS ModelDriver::Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("Write");
    if (written)
        *written = 0;
    FT_STATUS st;
    Device* d = Find(h, &st);
    if (!d)
        return st;
    d->model->HostWrite(static_cast<const uint8_t*>(data), count);
    Collect(*d);
    if (written)
        *written = count;
    return FT_OK;
}

FT_STATUS ModelDriver::GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (rxQueue)
        *rxQueue = 0;
    if (txQueue)
        *txQueue = 0;
    if (events)
        *events = 0;
    FT_STATUS st;
    Device* d = Find(h, &st);
    if (!d)
        return st;
    if (!d->queue.empty() && d->queue.front().readyUs <= NowUs() && rxQueue)
        *rxQueue = uint32_t(d->queue.front().bytes.size());
    return FT_OK;
}

FT_STATUS ModelDriver::Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("Read");
    if (returned)
        *returned = 0;
    FT_STATUS st;
    Device* d = Find(h, &st);
    if (!d)
        return st;
    if (d->queue.empty() || d->queue.front().readyUs > NowUs())
        return FT_OK;
    Pending& front = d->queue.front();
    uint32_t n = std::min<uint32_t>(count, uint32_t(front.bytes.size()));
    std::memcpy(buffer, front.bytes.data(), n);
    front.bytes.erase(front.bytes.begin(), front.bytes.begin() + n);
    if (front.bytes.empty())
        d->queue.pop_front();
    if (returned)
        *returned = n;
    return FT_OK;
}

FT_STATUS ModelDriver::ResetDevice(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("ResetDevice");
    FT_STATUS st;
    if (Device* d = Find(h, &st))
        d->model->ConverterReset();
    return st;
}

FT_STATUS ModelDriver::SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("SetBitMode");
    FT_STATUS st;
    if (Device* d = Find(h, &st)) {
        d->model->SetBitMode(mask, mode);
        Collect(*d);
    }
    return st;
}

FT_STATUS ModelDriver::SetBreakOn(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("SetBreakOn");
    FT_STATUS st;
    if (Device* d = Find(h, &st))
        d->model->SetBreak(true);
    return st;
}

FT_STATUS ModelDriver::SetBreakOff(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("SetBreakOff");
    FT_STATUS st;
    if (Device* d = Find(h, &st))
        d->model->SetBreak(false);
    return st;
}

FT_STATUS ModelDriver::Purge(FT_HANDLE h, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("Purge");
    FT_STATUS st;
    Device* d = Find(h, &st);
    if (!d)
        return st;
    if (mask & FT_PURGE_RX) {
        uint64_t now = NowUs();
        while (!d->queue.empty() && d->queue.front().readyUs <= now)
            d->queue.pop_front();
    }
    return FT_OK;
}

FT_STATUS ModelDriver::Close(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Count("Close");
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v < HANDLE_BASE || v - HANDLE_BASE >= m_devices.size() || !m_devices[v - HANDLE_BASE]->open)
        return FT_INVALID_HANDLE;
    Device& d = *m_devices[v - HANDLE_BASE];
    d.open = false;
    d.queue.clear();
    d.model->Disconnected();
    return FT_OK;
}

FT_STATUS ModelDriver::ListDescriptions(std::vector<std::string>* descriptions)
{
    std::lock_guard<std::mutex> lock(m_lock);
    descriptions->clear();
    for (const auto& d : m_devices)
        if (!d->unplugged && !d->model->Unplugged())
            descriptions->push_back(d->description);
    return FT_OK;
}

} // namespace vu::sim
