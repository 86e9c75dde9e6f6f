#pragma once
// A plain pixel buffer and the three file formats the window's pictures are stored in. No
// toolkit is involved so that the same source draws byte-identical files on every machine.

#include <cstdint>
#include <string>
#include <vector>

namespace pictures {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

// Pixels stored row by row from the top-left corner.
struct Canvas {
    Canvas(int w, int h, Rgb fill) : width(w), height(h), pixels(std::size_t(w) * h, fill) {}
    Rgb& at(int x, int y) { return pixels[std::size_t(y) * width + x]; }
    const Rgb& at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }

    int width;
    int height;
    std::vector<Rgb> pixels;
};

// Uncompressed Windows bitmap (BI_RGB), bottom-up rows padded to four bytes, 96 dpi.
// bitsPerPixel is 24 or 32; at 32 the fourth byte of every pixel is 255.
std::vector<std::uint8_t> encodeBmp(const Canvas& canvas, int bitsPerPixel);

// Windows icon holding one image of 256 colours. Every pixel must be one of the palette's
// colours; the icon is fully opaque. The palette holds at most 256 entries.
std::vector<std::uint8_t> encodeIco(const Canvas& canvas, const std::vector<Rgb>& palette);

// PNG, 8-bit RGB, no filtering, deflate "stored" blocks: larger than a compressed file but
// independent of any compression library's version.
std::vector<std::uint8_t> encodePng(const Canvas& canvas);

// Writes the bytes to a file; false when the file cannot be written completely.
bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace pictures
