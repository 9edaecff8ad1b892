#include "platform/HttpGet.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>

namespace vu::net {

namespace {

using Clock = std::chrono::steady_clock;

// WinINet documents no cap on the redirects it follows; WinHTTP's documented
// default is 10, and a chain longer than that is a loop.
constexpr long MAX_REDIRECTS = 10;

struct Transfer {
    std::string* body;
    size_t maxBytes;
    std::chrono::milliseconds receiveLimit;
    uint64_t bodyBytes = 0;
    bool connected = false;
    Clock::time_point lastHeard{};
};

size_t OnBody(char* data, size_t size, size_t count, void* user)
{
    Transfer* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == '\r')
            continue;
        ++t->bodyBytes;
        // Past the bound the body is still read to its end, only not kept.
        if (t->body->size() < t->maxBytes)
            t->body->push_back(data[i]);
    }
    t->lastHeard = Clock::now();
    return n;
}

size_t OnHeader(char*, size_t size, size_t count, void* user)
{
    static_cast<Transfer*>(user)->lastHeard = Clock::now();
    return size * count;
}

// A new connection (the first, or one a redirect needs) is being set up:
// connecting has a limit of its own.
int OnNewSocket(void* user, curl_socket_t, curlsocktype)
{
    static_cast<Transfer*>(user)->connected = false;
    return CURL_SOCKOPT_OK;
}

// A connection stands: the receive limit counts from here.
int OnConnected(void* user, char*, char*, int, int)
{
    Transfer* t = static_cast<Transfer*>(user);
    t->connected = true;
    t->lastHeard = Clock::now();
    return CURL_PREREQFUNC_OK;
}

// Called all through the transfer, at least about once a second while
// nothing arrives. As WinINet's receive limit, this one bounds each silence,
// not the whole transfer.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    Transfer* t = static_cast<Transfer*>(user);
    return t->connected && Clock::now() - t->lastHeard > t->receiveLimit ? 1 : 0; // non-zero ends it
}

} // namespace

int HttpGet(const std::string& url, std::string* body, size_t maxBytes, uint64_t* bodyBytes,
            const HttpLimits* limits)
{
    body->clear();
    if (bodyBytes)
        *bodyBytes = 0;
    static std::once_flag once;
    static CURLcode initResult = CURLE_OK;
    std::call_once(once, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (initResult != CURLE_OK)
        return HTTP_GET_FAILED;

    CURL* curl = curl_easy_init();
    if (!curl)
        return HTTP_GET_FAILED;
    const HttpLimits& bounds = limits ? *limits : WININET_DEFAULT_LIMITS;
    Transfer transfer{body, maxBytes, std::chrono::milliseconds(bounds.receiveMs)};
    // libcurl takes http_proxy, HTTPS_PROXY, ALL_PROXY and NO_PROXY from the environment itself.
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(bounds.connectMs));
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "VantorelleUpdate");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &OnNewSocket);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &OnConnected);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (bodyBytes)
        *bodyBytes = transfer.bodyBytes;
    return result == CURLE_OK ? HTTP_GET_OK : HTTP_GET_FAILED;
}

} // namespace vu::net
