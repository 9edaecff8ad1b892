#include "tests/ui/ScreenCapture.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace vu::test {

namespace {

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0)
{
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

void Chunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& body)
{
    Put32(png, uint32_t(body.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    png.insert(png.end(), typed.begin(), typed.end());
    Put32(png, Crc32(typed.data(), typed.size()));
}

// A zlib stream of stored (uncompressed) blocks: no compressor needed.
std::vector<uint8_t> StoredZlib(const std::vector<uint8_t>& raw)
{
    std::vector<uint8_t> z{0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(raw.size() - pos, 65535);
        bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(uint8_t(n));
        z.push_back(uint8_t(n >> 8));
        z.push_back(uint8_t(~n));
        z.push_back(uint8_t(~n >> 8));
        z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    Put32(z, b << 16 | a);
    return z;
}

} // namespace

bool SaveWindowPng(HWND hWnd, const std::wstring& path)
{
    // The client area: without a window manager the frame is not drawn.
    RECT r;
    if (!GetClientRect(hWnd, &r))
        return false;
    MapWindowPoints(hWnd, nullptr, reinterpret_cast<POINT*>(&r), 2);
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return false;

    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h; // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = bmp && bits;
    if (ok) {
        HGDIOBJ old = SelectObject(mem, bmp);
        ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        SelectObject(mem, old);
    }
    std::vector<uint8_t> raw;
    if (ok) {
        const auto* px = static_cast<const uint8_t*>(bits);
        raw.reserve(size_t(h) * (size_t(w) * 3 + 1));
        for (int y = 0; y < h; ++y) {
            raw.push_back(0); // no filter
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = px + (size_t(y) * size_t(w) + size_t(x)) * 4;
                raw.insert(raw.end(), {p[2], p[1], p[0]});
            }
        }
    }
    if (bmp)
        DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (!ok)
        return false;

    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Put32(header, uint32_t(w));
    Put32(header, uint32_t(h));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", StoredZlib(raw));
    Chunk(png, "IEND", {});

    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f)
        return false;
    bool written = fwrite(png.data(), 1, png.size(), f) == png.size();
    return fclose(f) == 0 && written;
}

} // namespace vu::test
