#include "platform/HttpGet.h"

#include <windows.h>
#include <wininet.h>

namespace vu::net {

namespace {

class CInternetHandle {
public:
    explicit CInternetHandle(HINTERNET h) : m_hInternet(h) {}
    ~CInternetHandle() { if (m_hInternet) ::InternetCloseHandle(m_hInternet); }
    CInternetHandle(const CInternetHandle&) = delete;
    CInternetHandle& operator=(const CInternetHandle&) = delete;
    HINTERNET Get() const { return m_hInternet; }

private:
    HINTERNET m_hInternet;
};

} // namespace

int HttpGet(const std::string& url, std::string* body, size_t maxBytes, uint64_t* bodyBytes,
            const HttpLimits* limits)
{
    body->clear();
    if (bodyBytes)
        *bodyBytes = 0;
    CInternetHandle session(::InternetOpenA("VantorelleUpdate", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session.Get())
        return HTTP_GET_FAILED;
    // Without limits WinINet keeps its own, as the system has them configured.
    if (limits) {
        DWORD connectMs = limits->connectMs, receiveMs = limits->receiveMs;
        ::InternetSetOptionA(session.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
        ::InternetSetOptionA(session.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
    }
    // The page names the server of the moment, so never answer it from the cache.
    DWORD flags = INTERNET_FLAG_TRANSFER_ASCII | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE
                  | INTERNET_FLAG_PRAGMA_NOCACHE;
    CInternetHandle file(::InternetOpenUrlA(session.Get(), url.c_str(), nullptr, 0, flags, 0));
    if (!file.Get())
        return HTTP_GET_FAILED;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!::InternetReadFile(file.Get(), chunk, sizeof chunk, &got))
            return HTTP_GET_FAILED;
        if (got == 0)
            return HTTP_GET_OK;
        for (DWORD i = 0; i < got; ++i) {
            if (chunk[i] == '\r')
                continue;
            if (bodyBytes)
                ++*bodyBytes;
            // Past the bound the body is still read to its end, only not kept.
            if (body->size() < maxBytes)
                body->push_back(chunk[i]);
        }
    }
}

} // namespace vu::net
