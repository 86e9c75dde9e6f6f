#include "image_files.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <stdexcept>

namespace pictures {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v & 0xFF));
    out.push_back(std::uint8_t((v >> 8) & 0xFF));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void put32be(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t((v >> shift) & 0xFF));
}

// 3780 pixels per metre is 96 dots per inch, the resolution the window is laid out for.
constexpr std::uint32_t kPixelsPerMetre = 3780;

void putInfoHeader(std::vector<std::uint8_t>& out, int width, int height, int bits,
                   std::uint32_t imageBytes, std::uint32_t coloursUsed)
{
    put32(out, 40);
    put32(out, std::uint32_t(width));
    put32(out, std::uint32_t(height));
    put16(out, 1);
    put16(out, std::uint32_t(bits));
    put32(out, 0);  // BI_RGB
    put32(out, imageBytes);
    put32(out, kPixelsPerMetre);
    put32(out, kPixelsPerMetre);
    put32(out, coloursUsed);
    put32(out, 0);
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void putPngChunk(std::vector<std::uint8_t>& out, const char* type,
                 const std::vector<std::uint8_t>& data)
{
    put32be(out, std::uint32_t(data.size()));
    std::vector<std::uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    put32be(out, crc32(typed.data(), typed.size()));
}

}  // namespace

std::vector<std::uint8_t> encodeBmp(const Canvas& canvas, int bitsPerPixel)
{
    if (bitsPerPixel != 24 && bitsPerPixel != 32)
        throw std::invalid_argument("bitmaps are written with 24 or 32 bits per pixel");
    const int bytesPerPixel = bitsPerPixel / 8;
    const std::uint32_t stride = std::uint32_t((canvas.width * bytesPerPixel + 3) / 4 * 4);
    const std::uint32_t imageBytes = stride * std::uint32_t(canvas.height);

    std::vector<std::uint8_t> out;
    out.reserve(54 + imageBytes);
    out.push_back('B');
    out.push_back('M');
    put32(out, 54 + imageBytes);
    put32(out, 0);
    put32(out, 54);
    putInfoHeader(out, canvas.width, canvas.height, bitsPerPixel, imageBytes, 0);
    for (int y = canvas.height - 1; y >= 0; --y) {
        std::uint32_t written = 0;
        for (int x = 0; x < canvas.width; ++x) {
            const Rgb& p = canvas.at(x, y);
            out.push_back(p.b);
            out.push_back(p.g);
            out.push_back(p.r);
            if (bytesPerPixel == 4)
                out.push_back(255);
            written += std::uint32_t(bytesPerPixel);
        }
        for (; written < stride; ++written)
            out.push_back(0);
    }
    return out;
}

std::vector<std::uint8_t> encodeIco(const Canvas& canvas, const std::vector<Rgb>& palette)
{
    if (palette.empty() || palette.size() > 256 || canvas.width > 256 || canvas.height > 256)
        throw std::invalid_argument("an icon image holds at most 256 colours and 256 pixels");
    const std::uint32_t colourStride = std::uint32_t((canvas.width + 3) / 4 * 4);
    const std::uint32_t maskStride = std::uint32_t((canvas.width + 31) / 32 * 4);
    const std::uint32_t h = std::uint32_t(canvas.height);
    const std::uint32_t imageBytes = (colourStride + maskStride) * h;
    const std::uint32_t resourceBytes = 40 + 256 * 4 + imageBytes;

    std::vector<std::uint8_t> out;
    put16(out, 0);
    put16(out, 1);  // icon
    put16(out, 1);  // one image
    out.push_back(std::uint8_t(canvas.width & 0xFF));
    out.push_back(std::uint8_t(canvas.height & 0xFF));
    out.push_back(0);  // 256 colours
    out.push_back(0);
    put16(out, 1);
    put16(out, 8);
    put32(out, resourceBytes);
    put32(out, 6 + 16);

    // The image's height counts the colour rows and the transparency mask together.
    putInfoHeader(out, canvas.width, canvas.height * 2, 8, imageBytes, 256);
    for (std::size_t i = 0; i < 256; ++i) {
        const Rgb c = i < palette.size() ? palette[i] : Rgb{};
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
    for (int y = canvas.height - 1; y >= 0; --y) {
        std::uint32_t written = 0;
        for (int x = 0; x < canvas.width; ++x, ++written) {
            std::size_t index = 0;
            while (index < palette.size() && !(palette[index] == canvas.at(x, y)))
                ++index;
            if (index == palette.size())
                throw std::invalid_argument("icon pixel outside its palette");
            out.push_back(std::uint8_t(index));
        }
        for (; written < colourStride; ++written)
            out.push_back(0);
    }
    out.insert(out.end(), std::size_t(maskStride * h), std::uint8_t(0));
    return out;
}

std::vector<std::uint8_t> encodePng(const Canvas& canvas)
{
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < canvas.height; ++y) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < canvas.width; ++x) {
            const Rgb& p = canvas.at(x, y);
            raw.push_back(p.r);
            raw.push_back(p.g);
            raw.push_back(p.b);
        }
    }

    std::vector<std::uint8_t> zlib{0x78, 0x01};
    std::size_t pos = 0;
    do {
        const std::size_t len = std::min<std::size_t>(65535, raw.size() - pos);
        zlib.push_back(pos + len == raw.size() ? 1 : 0);
        put16(zlib, std::uint32_t(len));
        put16(zlib, std::uint32_t(~len & 0xFFFF));
        zlib.insert(zlib.end(), raw.begin() + std::ptrdiff_t(pos),
                    raw.begin() + std::ptrdiff_t(pos + len));
        pos += len;
    } while (pos < raw.size());
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32be(zlib, (b << 16) | a);

    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> header;
    put32be(header, std::uint32_t(canvas.width));
    put32be(header, std::uint32_t(canvas.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    putPngChunk(out, "IHDR", header);
    putPngChunk(out, "IDAT", zlib);
    putPngChunk(out, "IEND", {});
    return out;
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    file.close();
    return !file.fail();
}

}  // namespace pictures
