#include "platform/HttpGet.h"

#include <curl/curl.h>

#include <mutex>

namespace vu::net {

namespace {

struct Sink {
    std::string* body;
    size_t maxBytes;
    bool overflow = false;
};

size_t OnData(char* data, size_t size, size_t count, void* user)
{
    Sink* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == '\r')
            continue;
        if (sink->body->size() >= sink->maxBytes) {
            sink->overflow = true;
            return 0; // ends the transfer with an error
        }
        sink->body->push_back(data[i]);
    }
    return n;
}

} // namespace

int HttpGet(const std::string& url, std::string* body, size_t maxBytes)
{
    body->clear();
    static std::once_flag once;
    static CURLcode initResult = CURLE_OK;
    std::call_once(once, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (initResult != CURLE_OK)
        return HTTP_GET_FAILED;

    CURL* curl = curl_easy_init();
    if (!curl)
        return HTTP_GET_FAILED;
    Sink sink{body, maxBytes};
    // libcurl takes http_proxy, HTTPS_PROXY, ALL_PROXY and NO_PROXY from the environment itself.
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "VantorelleUpdate");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return result == CURLE_OK && !sink.overflow ? HTTP_GET_OK : HTTP_GET_FAILED;
}

} // namespace vu::net
