// Draws the window's pictures and writes them as files into the folder named on the command
// line: the digit faces, the colon, the button faces, the brushed-metal background and the icon.
// Everything is computed from integers and a fixed pseudo-random sequence, so two runs (and two
// machines) produce the same bytes; a test holds the committed files to that.

#include "image_files.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pictures {
namespace {

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kLit{192, 192, 255};  // the display's light blue, shared with the weekday mark
constexpr Rgb kButtonFace{240, 240, 240};

using Shape = std::function<bool(double x, double y)>;

// Samples per pixel side when a shape's edge is smoothed.
constexpr int kSamples = 8;

// How many of the pixel's kSamples² sample points lie inside the shape.
int coveredSamples(const Shape& inside, int px, int py)
{
    int count = 0;
    for (int j = 0; j < kSamples; ++j)
        for (int i = 0; i < kSamples; ++i)
            if (inside(px + (i + 0.5) / kSamples, py + (j + 0.5) / kSamples))
                ++count;
    return count;
}

std::uint8_t mix(std::uint8_t under, std::uint8_t over, int part, int whole)
{
    return std::uint8_t((under * (whole - part) + over * part + whole / 2) / whole);
}

// Paints the shape in one colour, its edges blended with what lies under them.
void paint(Canvas& canvas, const Shape& inside, Rgb colour)
{
    constexpr int whole = kSamples * kSamples;
    for (int y = 0; y < canvas.height; ++y)
        for (int x = 0; x < canvas.width; ++x) {
            const int part = coveredSamples(inside, x, y);
            if (part == 0)
                continue;
            Rgb& p = canvas.at(x, y);
            p = {mix(p.r, colour.r, part, whole), mix(p.g, colour.g, part, whole),
                 mix(p.b, colour.b, part, whole)};
        }
}

struct Point {
    double x;
    double y;
};

// Inside test for a convex polygon given clockwise on screen (y pointing down).
Shape convex(std::vector<Point> corners)
{
    return [corners = std::move(corners)](double x, double y) {
        for (std::size_t i = 0; i < corners.size(); ++i) {
            const Point a = corners[i];
            const Point b = corners[(i + 1) % corners.size()];
            if ((b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x) < 0)
                return false;
        }
        return true;
    };
}

Shape unite(std::vector<Shape> parts)
{
    return [parts = std::move(parts)](double x, double y) {
        return std::any_of(parts.begin(), parts.end(),
                           [&](const Shape& s) { return s(x, y); });
    };
}

// Pixel art from rows of characters: '#' black, '+' dark grey, '-' light grey, anything else
// leaves the pixel alone. Used where a few hand-placed pixels read better than a smoothed shape.
void stamp(Canvas& canvas, int left, int top, const std::vector<std::string_view>& rows,
           Rgb ink = kBlack)
{
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            Rgb& p = canvas.at(left + int(c), top + int(r));
            switch (rows[r][c]) {
            case '#': p = ink; break;
            case '+': p = {mix(p.r, ink.r, 2, 3), mix(p.g, ink.g, 2, 3), mix(p.b, ink.b, 2, 3)}; break;
            case '-': p = {mix(p.r, ink.r, 1, 3), mix(p.g, ink.g, 1, 3), mix(p.b, ink.b, 1, 3)}; break;
            default: break;
            }
        }
}

// ---------------------------------------------------------------------------------------------
// Seven-segment digits.

// Segment order: a top, b upper right, c lower right, d bottom, e lower left, f upper left,
// g middle.
constexpr std::array<std::string_view, 10> kSegments{
    "abcdef", "bc", "abdeg", "abcdg", "bcfg", "acdfg", "acdefg", "abc", "abcdefg", "abcdfg"};

struct DigitGeometry {
    int width, height;      // picture size
    double left, right;     // outer edges of the upright glyph
    double top, bottom;
    double stroke;          // segment thickness
    double gap;             // space left at each end of a segment
    double slant;           // how far the top leans right of the bottom
};

constexpr DigitGeometry kLarge{11, 18, 0.7, 8.3, 1.0, 17.0, 2.0, 0.3, 2.0};
constexpr DigitGeometry kSmall{8, 13, 0.35, 5.9, 1.0, 12.0, 1.5, 0.2, 1.5};

// A segment is a six-sided bar with pointed ends, so neighbours meet on a mitre.
Shape horizontalSegment(double x0, double x1, double yc, double t, double gap)
{
    const double h = t / 2;
    return convex({{x0 + gap, yc}, {x0 + gap + h, yc - h}, {x1 - gap - h, yc - h},
                   {x1 - gap, yc}, {x1 - gap - h, yc + h}, {x0 + gap + h, yc + h}});
}

Shape verticalSegment(double xc, double y0, double y1, double t, double gap)
{
    const double h = t / 2;
    return convex({{xc, y0 + gap}, {xc + h, y0 + gap + h}, {xc + h, y1 - gap - h},
                   {xc, y1 - gap}, {xc - h, y1 - gap - h}, {xc - h, y0 + gap + h}});
}

Canvas drawDigit(const DigitGeometry& g, int digit)
{
    const double h = g.stroke / 2;
    const double xl = g.left + h, xr = g.right - h;
    const double yt = g.top + h, yb = g.bottom - h, ym = (g.top + g.bottom) / 2;
    std::vector<Shape> lit;
    for (char s : kSegments[std::size_t(digit)]) {
        switch (s) {
        case 'a': lit.push_back(horizontalSegment(xl, xr, yt, g.stroke, g.gap)); break;
        case 'b': lit.push_back(verticalSegment(xr, yt, ym, g.stroke, g.gap)); break;
        case 'c': lit.push_back(verticalSegment(xr, ym, yb, g.stroke, g.gap)); break;
        case 'd': lit.push_back(horizontalSegment(xl, xr, yb, g.stroke, g.gap)); break;
        case 'e': lit.push_back(verticalSegment(xl, ym, yb, g.stroke, g.gap)); break;
        case 'f': lit.push_back(verticalSegment(xl, yt, ym, g.stroke, g.gap)); break;
        case 'g': lit.push_back(horizontalSegment(xl, xr, ym, g.stroke, g.gap)); break;
        }
    }
    const Shape upright = unite(std::move(lit));
    // Lean the glyph: a point at height y is found in the upright glyph shifted left by its
    // share of the slant.
    const Shape slanted = [&](double x, double y) {
        return upright(x - g.slant * (g.bottom - y) / (g.bottom - g.top), y);
    };

    // Pixels mostly inside a stroke get the exact lit colour, so the slots match the weekday
    // highlight; partly covered pixels become a darker blue-grey that rounds the edges off.
    Canvas canvas(g.width, g.height, kBlack);
    constexpr int whole = kSamples * kSamples;
    for (int y = 0; y < g.height; ++y)
        for (int x = 0; x < g.width; ++x) {
            const int part = coveredSamples(slanted, x, y);
            if (part * 100 >= whole * 62) {
                canvas.at(x, y) = kLit;
            } else if (part * 100 >= whole * 12) {
                canvas.at(x, y) = {std::uint8_t(150 * part / whole + 10),
                                   std::uint8_t(150 * part / whole + 10),
                                   std::uint8_t(230 * part / whole + 16)};
            }
        }
    return canvas;
}

Canvas drawColon()
{
    Canvas canvas(5, 13, kBlack);
    for (int top : {1, 9})
        for (int y = top; y < top + 3; ++y)
            for (int x = 1; x <= 3; ++x)
                canvas.at(x, y) = kLit;
    return canvas;
}

// ---------------------------------------------------------------------------------------------
// Button faces.

Canvas drawPlus()
{
    Canvas canvas(16, 16, kButtonFace);
    stamp(canvas, 4, 4,
          {"   ###   ",
           "   ###   ",
           "   ###   ",
           "#########",
           "#########",
           "#########",
           "   ###   ",
           "   ###   ",
           "   ###   "});
    return canvas;
}

Canvas drawMinus()
{
    Canvas canvas(16, 16, kButtonFace);
    stamp(canvas, 4, 7,
          {"#########",
           "#########",
           "#########"});
    return canvas;
}

Canvas drawQuestion()
{
    Canvas canvas(16, 16, kButtonFace);
    stamp(canvas, 4, 3,
          {" -#####- ",
           " ##+-+## ",
           " ##   ## ",
           "     +## ",
           "    +##- ",
           "   +##-  ",
           "   ###   ",
           "         ",
           "   ###   ",
           "   ###   "});
    return canvas;
}

// The switch faces: a light grey face in soft horizontal bands, like a brushed button, with
// the word in small serif letters.
Canvas switchFace()
{
    static constexpr std::array<std::uint8_t, 15> band{
        246, 242, 238, 234, 232, 230, 228, 226, 224, 222, 220, 218, 216, 212, 206};
    Canvas canvas(25, 15, kBlack);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 25; ++x)
            canvas.at(x, y) = {band[std::size_t(y)], band[std::size_t(y)],
                               std::uint8_t(band[std::size_t(y)] + (y % 2 == 0 ? 2 : 0) - 1)};
    return canvas;
}

const std::vector<std::string_view> kSerifO{
    "  -###-  ",
    " +#- -#+ ",
    "-#+   +#-",
    "##     ##",
    "##     ##",
    "##     ##",
    "-#+   +#-",
    " +#- -#+ ",
    "  -###-  "};

Canvas drawOn()
{
    Canvas canvas = switchFace();
    stamp(canvas, 3, 3, kSerifO);
    stamp(canvas, 13, 6,
          {"##-##+  ",
           "-##--#+ ",
           " ##  ## ",
           " ##  ## ",
           " ##  ## ",
           "#### ###"});
    return canvas;
}

Canvas drawOff()
{
    Canvas canvas = switchFace();
    stamp(canvas, 1, 3, kSerifO);
    const std::vector<std::string_view> f{
        "  -##+",
        " +#- +",
        " ##   ",
        "####  ",
        " ##   ",
        " ##   ",
        " ##   ",
        " ##   ",
        "####  "};
    stamp(canvas, 11, 3, f);
    stamp(canvas, 17, 3, f);
    return canvas;
}

// ---------------------------------------------------------------------------------------------
// Brushed metal.

// SplitMix64: a small generator whose sequence is fixed by its definition, unlike the
// distributions of the standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [-1, 1).
    double symmetric() { return double(next() >> 11) / double(1ull << 52) - 1.0; }
    int below(int n) { return int(next() % std::uint64_t(n)); }

private:
    std::uint64_t m_state;
};

Canvas drawBackground()
{
    constexpr int w = 872, h = 190;
    Random random(0x50454E4452454Cull);
    std::vector<double> value(std::size_t(w) * h);

    // Each row gets its own long-grained noise: white noise smeared along the row by repeated
    // running averages, which is what a brush leaves on metal.
    std::vector<double> row(w), smeared(w);
    for (int y = 0; y < h; ++y) {
        const double rowShade = 5.0 * random.symmetric();
        for (double& v : row)
            v = random.symmetric();
        for (int pass = 0; pass < 3; ++pass) {
            constexpr int reach = 9;
            for (int x = 0; x < w; ++x) {
                double sum = 0;
                for (int k = -reach; k <= reach; ++k)
                    sum += row[std::size_t(std::clamp(x + k, 0, w - 1))];
                smeared[std::size_t(x)] = sum / (2 * reach + 1);
            }
            row.swap(smeared);
        }
        for (int x = 0; x < w; ++x) {
            // Light falls from the upper left: a gentle fall-off across the sheet.
            const double light = 10.0 - 12.0 * (y / double(h)) - 4.0 * (x / double(w));
            value[std::size_t(y) * w + x] =
                224.0 + light + rowShade + 38.0 * row[std::size_t(x)] + 1.5 * random.symmetric();
        }
    }

    // A few long scratches, bright and dark, each one pixel high.
    for (int n = 0; n < 140; ++n) {
        const int y = random.below(h);
        const int length = 30 + random.below(260);
        const int x0 = random.below(w) - length / 2;
        const double depth = random.below(3) == 0 ? -(14.0 + 40.0 * std::abs(random.symmetric()))
                                                   : 10.0 + 14.0 * std::abs(random.symmetric());
        for (int x = std::max(0, x0); x < std::min(w, x0 + length); ++x) {
            // Scratches fade in and out along their length.
            const double along = (x - x0) / double(length);
            value[std::size_t(y) * w + x] += depth * std::sin(along * 3.14159265358979);
        }
    }

    double mean = 0;
    for (double v : value)
        mean += v;
    mean /= double(value.size());
    Canvas canvas(w, h, kBlack);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double v = std::clamp(value[std::size_t(y) * w + x] - mean + 220.0, 150.0, 255.0);
            const int grey = int(std::lround(v));
            // A faint cool cast, as on aluminium.
            canvas.at(x, y) = {std::uint8_t(std::max(0, grey - 2)), std::uint8_t(grey),
                               std::uint8_t(std::min(255, grey + 2))};
        }
    return canvas;
}

// ---------------------------------------------------------------------------------------------
// Icon: a lattice radio mast on a broad foot, sending wave arcs to the upper right.

Canvas drawIcon()
{
    constexpr double tipX = 14.0, tipY = 17.0, footY = 41.0;
    const auto halfWidth = [&](double y) { return 1.0 + (y - tipY) * 6.5 / (footY - tipY); };

    Canvas canvas(48, 48, {255, 255, 255});
    std::vector<Shape> ink;
    // The tower, tapering to its tip.
    ink.push_back(convex({{tipX - 1.0, tipY}, {tipX + 1.0, tipY},
                          {tipX + halfWidth(footY), footY}, {tipX - halfWidth(footY), footY}}));
    // The broad foot it stands on.
    ink.push_back(convex({{3.5, footY}, {24.5, footY}, {26.0, 45.0}, {2.0, 45.0}}));
    // A small pennant beside the upper part.
    ink.push_back(convex({{5.5, 20.5}, {tipX - 1.2, 23.0}, {5.5, 25.5}}));
    // The ball on the tip.
    ink.push_back([=](double x, double y) {
        return (x - tipX) * (x - tipX) + (y - tipY + 1.0) * (y - tipY + 1.0) <= 5.0;
    });
    // Waves spreading from the tip to the upper right: concentric arcs, black and white in turn.
    ink.push_back([=](double x, double y) {
        const double dx = x - tipX, dy = tipY - 1.0 - y;
        const double angle = std::atan2(dy, dx);
        if (angle < -0.5 || angle > 0.9)
            return false;
        const double r = std::sqrt(dx * dx + dy * dy);
        for (double radius : {7.0, 12.5, 18.0, 23.5, 29.0})
            if (r >= radius && r < radius + 2.4)
                return true;
        return false;
    });
    paint(canvas, unite(std::move(ink)), kBlack);

    // Openwork between the legs, so the tower reads as a lattice mast rather than a spike:
    // in each section a downward and an upward triangle leave a black cross brace.
    std::vector<Shape> holes;
    for (double top = 23.0; top + 6.0 <= footY; top += 6.0) {
        const double bottom = top + 6.0, middle = (top + bottom) / 2;
        const double wt = halfWidth(top) - 1.6, wb = halfWidth(bottom) - 1.6;
        holes.push_back(convex({{tipX - wt + 0.9, top + 0.7}, {tipX + wt - 0.9, top + 0.7},
                                {tipX, middle - 0.6}}));
        holes.push_back(convex({{tipX, middle + 0.6}, {tipX + wb - 0.9, bottom - 0.7},
                                {tipX - wb + 0.9, bottom - 0.7}}));
    }
    paint(canvas, unite(std::move(holes)), {255, 255, 255});
    return canvas;
}

std::vector<Rgb> greyPalette()
{
    std::vector<Rgb> palette;
    for (int i = 0; i < 256; ++i)
        palette.push_back({std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)});
    return palette;
}

}  // namespace
}  // namespace pictures

int main(int argc, char** argv)
{
    using namespace pictures;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = true;
    const auto write = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        if (!writeFile(folder + "/" + name, bytes)) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name.c_str());
            ok = false;
        }
    };

    for (int d = 0; d < 10; ++d) {
        write("digit_large_" + std::to_string(d) + ".bmp", encodeBmp(drawDigit(kLarge, d), 24));
        write("digit_small_" + std::to_string(d) + ".bmp", encodeBmp(drawDigit(kSmall, d), 24));
    }
    write("colon.bmp", encodeBmp(drawColon(), 24));
    write("plus.bmp", encodeBmp(drawPlus(), 32));
    write("minus.bmp", encodeBmp(drawMinus(), 32));
    write("question.bmp", encodeBmp(drawQuestion(), 32));
    write("on.bmp", encodeBmp(drawOn(), 24));
    write("off.bmp", encodeBmp(drawOff(), 24));
    write("background.bmp", encodeBmp(drawBackground(), 24));
    const Canvas icon = drawIcon();
    write("icon.ico", encodeIco(icon, greyPalette()));
    write("icon.png", encodePng(icon));
    return ok ? 0 : 1;
}
