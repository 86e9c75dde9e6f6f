// The pictures embedded in the window: their files' formats and sizes, and the properties the
// display relies on (the exact lit colour, digits that read as digits, the colon's squares).

#include "app/window/form1.h"

#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace {

const QRgb kLit = qRgb(192, 192, 255);

QByteArray fileBytes(const QString& name)
{
    app::registerWindowPictures();
    QFile file(QStringLiteral(":/pictures/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::uint32_t le(const QByteArray& b, int at, int size)
{
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = v << 8 | std::uint8_t(b.at(at + i));
    return v;
}

QImage picture(const QString& name)
{
    app::registerWindowPictures();
    return QImage(QStringLiteral(":/pictures/") + name).convertToFormat(QImage::Format_RGB32);
}

QString digitFile(bool large, int d)
{
    return QStringLiteral("digit_%1_%2.bmp").arg(large ? "large" : "small").arg(d);
}

TEST(Pictures, BitmapsAreUncompressedWithTheirSizesAndDepths)
{
    struct Expected {
        QString file;
        int width, height, bits;
    };
    std::vector<Expected> all{
        {"background.bmp", 872, 190, 24}, {"plus.bmp", 16, 16, 32}, {"minus.bmp", 16, 16, 32},
        {"question.bmp", 16, 16, 32},     {"on.bmp", 25, 15, 24},   {"off.bmp", 25, 15, 24},
        {"colon.bmp", 5, 13, 24},
    };
    for (int d = 0; d < 10; ++d) {
        all.push_back({digitFile(true, d), 11, 18, 24});
        all.push_back({digitFile(false, d), 8, 13, 24});
    }
    for (const Expected& e : all) {
        SCOPED_TRACE(e.file.toStdString());
        const QByteArray b = fileBytes(e.file);
        ASSERT_GE(b.size(), 54);
        EXPECT_EQ(b.left(2), QByteArray("BM"));
        EXPECT_EQ(le(b, 2, 4), std::uint32_t(b.size()));
        EXPECT_EQ(le(b, 14, 4), 40u);                     // BITMAPINFOHEADER
        EXPECT_EQ(le(b, 18, 4), std::uint32_t(e.width));
        EXPECT_EQ(le(b, 22, 4), std::uint32_t(e.height));
        EXPECT_EQ(le(b, 28, 2), std::uint32_t(e.bits));
        EXPECT_EQ(le(b, 30, 4), 0u);                      // no compression
        EXPECT_EQ(picture(e.file).size(), QSize(e.width, e.height));
    }
}

TEST(Pictures, IconIsOne48PixelImageOf256Colours)
{
    const QByteArray ico = fileBytes("icon.ico");
    ASSERT_GE(ico.size(), 22 + 40);
    EXPECT_EQ(le(ico, 0, 2), 0u);
    EXPECT_EQ(le(ico, 2, 2), 1u);   // an icon
    EXPECT_EQ(le(ico, 4, 2), 1u);   // one image
    EXPECT_EQ(std::uint8_t(ico.at(6)), 48);
    EXPECT_EQ(std::uint8_t(ico.at(7)), 48);
    EXPECT_EQ(le(ico, 12, 2), 8u);  // bits per pixel
    EXPECT_EQ(le(ico, 14, 4) + le(ico, 18, 4), std::uint32_t(ico.size()));
    EXPECT_EQ(le(ico, 22 + 14, 2), 8u);

    const QImage png = picture("icon.png");
    ASSERT_EQ(png.size(), QSize(48, 48));
    // Black on white: white corners, a good share of black ink.
    EXPECT_EQ(png.pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(png.pixel(47, 47), qRgb(255, 255, 255));
    int black = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            black += png.pixel(x, y) == qRgb(0, 0, 0);
    EXPECT_GT(black, 48 * 48 / 8);
    // The mast stands in the lower left, the waves spread to the upper right.
    EXPECT_EQ(png.pixel(14, 43), qRgb(0, 0, 0));
    EXPECT_EQ(png.pixel(44, 44), qRgb(255, 255, 255));
}

// One sample pixel in the middle of each segment, a to g (top, upper right, lower right,
// bottom, lower left, upper left, middle), read off the slanted glyphs.
struct SegmentProbes {
    bool large;
    std::array<QPoint, 7> at;
};
const std::array<SegmentProbes, 2> kProbes{{
    {true, {QPoint(5, 1), QPoint(8, 4), QPoint(7, 11), QPoint(4, 15), QPoint(2, 12), QPoint(3, 5), QPoint(5, 8)}},
    {false, {QPoint(4, 1), QPoint(6, 3), QPoint(5, 9), QPoint(3, 11), QPoint(1, 9), QPoint(2, 4), QPoint(3, 6)}},
}};

// Seven-segment patterns: 6 with its top bar, 7 with the top and both right-hand segments,
// 9 with its bottom bar.
const std::array<const char*, 10> kLitSegments{
    "abcdef", "bc", "abdeg", "abcdg", "bcfg", "acdfg", "acdefg", "abc", "abcdefg", "abcdfg"};

TEST(Pictures, DigitsLightTheirSegments)
{
    for (const SegmentProbes& probes : kProbes)
        for (int d = 0; d < 10; ++d) {
            const QImage image = picture(digitFile(probes.large, d));
            for (int s = 0; s < 7; ++s) {
                const bool wanted = std::string(kLitSegments[d]).find(char('a' + s)) != std::string::npos;
                const QRgb p = image.pixel(probes.at[s]);
                SCOPED_TRACE(digitFile(probes.large, d).toStdString() + " segment " + char('a' + s));
                if (wanted)
                    EXPECT_EQ(p, kLit);
                else
                    EXPECT_LT(qBlue(p), 128) << "segment should be dark";
            }
        }
}

TEST(Pictures, DigitsAreLightBlueOnBlackWithDarkerEdges)
{
    for (bool large : {true, false})
        for (int d = 0; d < 10; ++d) {
            SCOPED_TRACE(digitFile(large, d).toStdString());
            const QImage image = picture(digitFile(large, d));
            int lit = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QRgb p = image.pixel(x, y);
                    lit += p == kLit;
                    // Anything else is black or a blue-grey darker than the lit colour.
                    if (p != kLit && p != qRgb(0, 0, 0)) {
                        EXPECT_LT(qRed(p), 192);
                        EXPECT_EQ(qRed(p), qGreen(p));
                        EXPECT_GT(qBlue(p), qRed(p));
                    }
                }
            EXPECT_GE(lit, large ? 14 : 8);
            // The glyph leaves the outer rows black, so neighbouring slots join cleanly.
            for (int x = 0; x < image.width(); ++x) {
                EXPECT_EQ(image.pixel(x, 0), qRgb(0, 0, 0));
                EXPECT_EQ(image.pixel(x, image.height() - 1), qRgb(0, 0, 0));
            }
            // Slanted to the right: the lit pixels of the top half lie further right.
            double top = 0, bottom = 0;
            int nTop = 0, nBottom = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (image.pixel(x, y) == kLit && d == 8) {
                        (y < image.height() / 2 ? top : bottom) += x;
                        ++(y < image.height() / 2 ? nTop : nBottom);
                    }
            if (d == 8) {
                EXPECT_GT(top / nTop - bottom / nBottom, 0.5);
            }
        }
}

TEST(Pictures, ColonHasTwoLitSquares)
{
    const QImage colon = picture("colon.bmp");
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 5; ++x) {
            const bool lit = x >= 1 && x <= 3 && ((y >= 1 && y <= 3) || (y >= 9 && y <= 11));
            EXPECT_EQ(colon.pixel(x, y), lit ? kLit : qRgb(0, 0, 0)) << x << "," << y;
        }
}

TEST(Pictures, BackgroundIsLightBrushedMetal)
{
    const QImage bg = picture("background.bmp");
    double sum = 0, alongRows = 0, acrossRows = 0;
    int darkest = 255, brightest = 0;
    for (int y = 0; y < bg.height(); ++y)
        for (int x = 0; x < bg.width(); ++x) {
            const int v = qGray(bg.pixel(x, y));
            sum += v;
            darkest = std::min(darkest, v);
            brightest = std::max(brightest, v);
            if (x + 1 < bg.width())
                alongRows += std::abs(v - qGray(bg.pixel(x + 1, y)));
            if (y + 1 < bg.height())
                acrossRows += std::abs(v - qGray(bg.pixel(x, y + 1)));
        }
    const double mean = sum / (bg.width() * bg.height());
    EXPECT_GE(darkest, 150);
    EXPECT_GT(brightest, 245);
    EXPECT_NEAR(mean, 220.0, 5.0);
    // Streaks run along the rows: neighbours in a row differ far less than rows do.
    EXPECT_LT(alongRows * 3, acrossRows);
}

TEST(Pictures, ButtonFacesCarryBlackGlyphsOnLightFaces)
{
    struct Expected {
        QString file;
        int minBlack, maxBlack;
        int lightest;  // the face's colours are at least this bright
    };
    for (const Expected& e : {Expected{"plus.bmp", 40, 60, 230}, Expected{"minus.bmp", 20, 30, 230},
                              Expected{"question.bmp", 25, 50, 230}, Expected{"on.bmp", 30, 80, 200},
                              Expected{"off.bmp", 30, 90, 200}}) {
        SCOPED_TRACE(e.file.toStdString());
        const QImage image = picture(e.file);
        int black = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                black += image.pixel(x, y) == qRgb(0, 0, 0);
        EXPECT_GE(black, e.minBlack);
        EXPECT_LE(black, e.maxBlack);
        for (QPoint corner : {QPoint(0, 0), QPoint(image.width() - 1, image.height() - 1)})
            EXPECT_GE(qGray(image.pixel(corner)), e.lightest);
    }
    // The switch faces are banded: lighter at the top than at the bottom, even along a row.
    const QImage on = picture("on.bmp");
    EXPECT_GT(qGray(on.pixel(0, 0)), qGray(on.pixel(0, 14)));
    EXPECT_EQ(on.pixel(0, 5), on.pixel(24, 5));
    // Plus and minus share their bar, centred on the button.
    const QImage plus = picture("plus.bmp");
    const QImage minus = picture("minus.bmp");
    for (int x = 0; x < 16; ++x)
        for (int y = 7; y <= 9; ++y)
            EXPECT_EQ(plus.pixel(x, y), minus.pixel(x, y)) << x << "," << y;
    EXPECT_EQ(plus.pixel(8, 8), qRgb(0, 0, 0));
    EXPECT_EQ(plus.pixel(8, 4), qRgb(0, 0, 0));
    EXPECT_EQ(plus.pixel(8, 12), qRgb(0, 0, 0));
}

}  // namespace
