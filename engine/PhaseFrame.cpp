#include "engine/PhaseFrame.h"

#include "engine/Engine.h"

#include "log/Format.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "server/ServerExchange.h"

#include <cstring>

namespace vu {

const wchar_t* const ELAPSED_STATUS_FORMAT = L"Updating, elapsed time: %d m %d s";

bool IsElapsedTimeStatus(const std::wstring& text)
{
    const std::wstring format = ELAPSED_STATUS_FORMAT;
    return text.starts_with(format.substr(0, format.find(L'%')));
}

void ExchangeRecordDeleter::operator()(ExchangeRecord* record) const
{
    FreeExchangeRecord(*record);
    delete record;
}

ExchangeRecordPtr NewExchangeRecord(int32_t namedServer)
{
    ExchangeRecordPtr record(new ExchangeRecord);
    InitExchangeRecord(*record, namedServer);
    return record;
}

std::wstring TextUpToZero(const uint8_t* bytes, size_t capacity)
{
    const void* zero = std::memchr(bytes, 0, capacity);
    size_t count = zero ? size_t(static_cast<const uint8_t*>(zero) - bytes) : capacity;
    return AnsiToWide(bytes, count);
}

uint32_t SecondsSince(ISystemServices& system, uint32_t startTick) { return (system.TickCount() - startTick) / 1000; }

void EnableCommandButtons(IWorkerWindow* window, bool enable)
{
    window->EnableItem(IDC_UPDATE_ONLINE, enable);
    window->EnableItem(IDC_MENU_BUTTON, enable);
}

CPhaseFrame::CPhaseFrame(IWorkerWindow* window, uint32_t startTick, const PhaseSettings& settings)
    : m_window(window), m_context(window->Context()), m_startTick(startTick), m_settings(settings)
{
}

CPhaseFrame::~CPhaseFrame()
{
    if (!m_ended)
        End();
}

bool CPhaseFrame::Run(const Step& prepare, const Step& transfer)
{
    m_message.clear();
    m_ok = true;
    m_ended = false;
    m_link = std::make_unique<CMachineLink>(m_context.driver, m_context.system, m_settings.baudRate);
    m_record = NewExchangeRecord(m_settings.namedServer);
    if (m_settings.cardChannel)
        m_card = std::make_unique<CCardChannel>(m_link.get());

    if (SetUp() && (!prepare || prepare(*this))
        && Exchange(m_settings.noReplyCode, m_settings.singleReplyCode)) {
        if (m_settings.showPrepare)
            m_window->ShowStatus(L"Prepare to update...");
        if (transfer)
            transfer(*this);
    }

    End();
    if (!m_ok) {
        m_window->ShowStatus(m_message);
        if (m_settings.logFailure)
            WriteLog(m_message);
        m_context.system.Sleep(m_settings.failureWaitMs);
        return false;
    }
    return true;
}

bool CPhaseFrame::SetUp()
{
    if (m_link->Open() != 0)
        return Fail(L"Device not found.(%d)", 1);
    AddRequestField(*m_record, m_settings.tag, m_settings.tagLength);
    if (m_link->EnterBios() != 0)
        return Fail(L"Enter BIOS failed.(%d)", 2);
    if (m_settings.waitAfterBiosMs)
        m_context.system.Sleep(m_settings.waitAfterBiosMs);
    return GatherIdentity();
}

bool CPhaseFrame::GatherIdentity()
{
    if (m_settings.identity == PhaseIdentity::DeviceIdAndInfo) {
        uint8_t id[8] = {};
        if (m_link->GetDeviceId(id) != 0)
            return Fail(L"Getting device info failed.(%d)", 3);
        AddRequestField(*m_record, id, sizeof id);
        // GetDeviceInfo fills 54 bytes; the request carries the whole zeroed 61.
        uint8_t info[61] = {};
        if (m_link->GetDeviceInfo(info) != 0)
            return Fail(L"Getting device info failed.(%d)", 4);
        AddRequestField(*m_record, info, sizeof info);
        return true;
    }

    uint8_t text[255] = {};
    if (m_link->ReadInfoItem(1, text) != 0)
        return Fail(L"Getting device info failed.(%d)", 3);
    AddRequestField(*m_record, text, 10); // the text cut or zero-filled to 10 bytes
    std::memset(text, 0, sizeof text);
    if (m_link->ReadInfoItem(6, text) != 0)
        return Fail(L"Getting device info failed.(%d)", 4);
    AddRequestField(*m_record, text, 5);
    static const uint8_t kLoaderVersion[5] = {'2', '.', '2', '.', '9'};
    AddRequestField(*m_record, kLoaderVersion, sizeof kLoaderVersion);
    return true;
}

bool CPhaseFrame::Fail(const wchar_t* format, int code)
{
    m_message = Format(format, code);
    m_ok = false;
    return false;
}

bool CPhaseFrame::Exchange(int noReplyCode, int singleReplyCode)
{
    m_window->ShowStatus(L"Communication with server...");
    ExchangeWithServer(*m_record, m_context.server); // judged by replyCount alone
    if (m_record->replyCount <= 0)
        return Fail(L"Communication with server failed.(%d)", noReplyCode);
    if (m_record->replyCount == 1 && singleReplyCode != 0)
        return Fail(L"Communication with server failed.(%d)", singleReplyCode);
    return true;
}

void CPhaseFrame::StartStatusClock() { m_lastStatusTick = m_context.system.TickCount(); }

void CPhaseFrame::Progress(int position)
{
    m_window->SetProgressPos(position);
    ElapsedStatus();
}

void CPhaseFrame::ElapsedStatus()
{
    uint32_t now = m_context.system.TickCount();
    if (now - m_lastStatusTick <= 1000)
        return;
    uint32_t s = (now - m_startTick) / 1000;
    m_window->ShowStatus(Format(ELAPSED_STATUS_FORMAT, int(s / 60), int(s % 60)));
    m_lastStatusTick = m_context.system.TickCount();
}

bool CPhaseFrame::WriteWithRetries(const wchar_t* logPrefix, const std::function<int()>& write)
{
    if (write() == 0)
        return true;
    for (int retry = 1; retry <= 5; ++retry) {
        m_context.system.Sleep(1000);
        WriteLog(logPrefix + IntToText(retry));
        if (write() == 0)
            return true;
    }
    return false;
}

void CPhaseFrame::End()
{
    m_ended = true;
    if (m_settings.logTimeAtEnd)
        WriteLog(Format(L"time : %u s", SecondsSince(m_context.system, m_startTick)));
    m_record.reset();
    if (m_link) {
        m_link->ResetMachine();
        m_link->Close();
    }
    m_link.reset();
    m_card.reset();
}

} // namespace vu
