#include "engine/Engine.h"
#include "engine/PhaseFrame.h"
#include "log/Format.h"
#include "log/Log.h"
#include "platform/ToolVersion.h"
#include "server/ServerExchange.h"

#include <algorithm>

namespace vu {

void WriteStartLine() { WriteLog(Format(L"TAVRIN Automatic Key Cutting Machine V%s start", TOOL_VERSION_TEXT)); }

unsigned VersionInfoThread(IWorkerWindow* window)
{
    EnableCommandButtons(window, false);
    window->ShowStatus(L"Getting version info...");
    bool shown = GetVersionInfo(window);
    EnableCommandButtons(window, true);
    window->ShowStatus(L"");
    window->ReportOutcome(shown);
    return 0;
}

bool GetVersionInfo(IWorkerWindow* window)
{
    ExchangeRecordPtr record = NewExchangeRecord(0);
    static const uint8_t kTag[3] = {0x02, 0x01, 0x04};
    AddRequestField(*record, kTag, sizeof kTag);
    static const uint8_t kLanguage[2] = {'e', 'n'};
    AddRequestField(*record, kLanguage, sizeof kLanguage);
    window->ShowStatus(L"Communication with server...");
    ExchangeWithServer(*record, window->Context().server); // judged by replyCount alone
    if (record->replyCount <= 1)
        return false;
    window->ShowStatus(L"");
    std::wstring notes;
    for (int i = 1; i < record->replyCount; ++i) {
        // A record that fills its buffer without a zero byte ends at its length.
        size_t length = size_t(std::clamp(record->replyLength[i], 0, EXCHANGE_REPLY_BYTES));
        notes += TextUpToZero(record->replyData[i], length);
    }
    window->SetItemText(IDC_UPDATE_LOG, notes);
    return true;
}

} // namespace vu
