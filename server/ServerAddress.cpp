#include "server/ServerAddress.h"

#include "log/Format.h"
#include "log/Log.h"
#include "platform/HttpGet.h"
#include "platform/Platform.h"
#include "platform/Socket.h"
#include "server/ServerExchange.h"

#include <vector>

// The build names the endpoints (cmake/Endpoints.cmake); there is no default here.
#if !defined(VU_FIXED_SERVER) || !defined(VU_SERVER_NAME) || !defined(VU_ADDRESS_PAGE)
#error "VU_FIXED_SERVER, VU_SERVER_NAME and VU_ADDRESS_PAGE come from the build"
#endif

namespace vu {

namespace {

// The address text from the page lives in 30 bytes: 29 of text and its zero.
constexpr size_t ADDRESS_TEXT_MAX = 29;
// An address page is a dotted address; of a longer body this much is kept.
constexpr size_t PAGE_TEXT_MAX = 4096;

#if VU_TEST_HOOKS
std::string EnvOr(const char* name, const char* fallback)
{
    std::string v = GetEnv(name);
    return v.empty() ? std::string(fallback) : v;
}
#endif

bool LookUpHost(const HostLookup& lookup, const std::string& name, std::vector<uint32_t>* addrs, bool* isIpv4,
                int* error)
{
    addrs->clear();
    *isIpv4 = false;
    *error = 0;
    if (lookup)
        return lookup(name, addrs, isIpv4, error);
    *error = net::ResolveHostByName(name, addrs, isIpv4);
    return *error == 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The page text as an address text: up to its first zero byte, white space
// and line ends trimmed at both ends.
std::string TrimPageText(const std::string& page)
{
    std::string text = page.substr(0, page.find('\0'));
    size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    return text.substr(b, e - b);
}

std::wstring AsLogText(const std::string& bytes)
{
    return AnsiToWide(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

#if VU_TEST_HOOKS
// Development builds: the tests point the tool at their own server.
std::string FixedServerAddress() { return EnvOr("VANTORELLE_FIXED_SERVER", VU_FIXED_SERVER); }
std::string ServerDnsName() { return EnvOr("VANTORELLE_SERVER_NAME", VU_SERVER_NAME); }
std::string AddressPageUrl() { return EnvOr("VANTORELLE_ADDRESS_PAGE", VU_ADDRESS_PAGE); }
#else
// A release build reaches the servers it was built with, whatever the environment says.
std::string FixedServerAddress() { return VU_FIXED_SERVER; }
std::string ServerDnsName() { return VU_SERVER_NAME; }
std::string AddressPageUrl() { return VU_ADDRESS_PAGE; }
#endif

int FetchPageText(const std::string& url, std::string& pageText, uint64_t* bodyBytes)
{
    pageText.clear();
    return net::HttpGet(url, &pageText, PAGE_TEXT_MAX, bodyBytes) == net::HTTP_GET_OK ? net::HTTP_GET_OK
                                                                                  : net::HTTP_GET_FAILED;
}

int ResolveServerAddress(const ExchangeRecord& record, uint32_t* addrNet, const ServerSeams& seams)
{
    if (record.namedServer != 1) {
        *addrNet = net::InetAddr(FixedServerAddress());
        return 0;
    }

    std::string addressText;
    std::vector<uint32_t> addrs;
    bool isIpv4 = false;
    int lookupError = 0;
    if (LookUpHost(seams.lookUpHost, ServerDnsName(), &addrs, &isIpv4, &lookupError)) {
        if (isIpv4 && !addrs.empty())
            addressText = net::InetNtoa(addrs.back());
    } else {
        std::string page;
        uint64_t pageBytes = 0;
        int fetched = FetchPageText(AddressPageUrl(), page, &pageBytes);
        WriteLog(Format(L"%d-%s", fetched, AsLogText(page).c_str()));
        if (fetched == net::HTTP_GET_OK) {
            addressText = TrimPageText(page);
            // A body cut to the part kept counts by its whole length.
            uint64_t length = pageBytes > page.size() ? pageBytes : addressText.size();
            if (length > ADDRESS_TEXT_MAX) {
                // An over-long page is refused, not cut: a cut text could still parse as some other address.
                WriteLog(Format(L"Address page text too long: %llu bytes", (unsigned long long)length));
                addressText.clear();
            }
        } else if (lookupError == 0) {
            addressText.clear();
        } else if (lookupError == net::RESOLVE_HOST_NOT_FOUND) {
            WriteLog(L"Host not found");
            return SERVER_HOST_NOT_FOUND;
        } else if (lookupError == net::RESOLVE_NO_DATA) {
            WriteLog(L"No data record found");
            return -1;
        } else {
            WriteLog(Format(L"Function failed with error: %ld", long(lookupError)));
            return -1;
        }
    }

    WriteLog(Format(L"Host ip : %s", AsLogText(addressText).c_str()));
    // Not validated: an empty or malformed text gives an address the connect step fails on.
    *addrNet = net::InetAddr(addressText);
    return 0;
}

} // namespace vu
