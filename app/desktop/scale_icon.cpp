// Build-time helper: writes the window icon at one of the sizes desktops ask for.
//
//   pendrel-scale-icon SOURCE.png SIZE OUT.png
//
// The icon is pixel art drawn at 48 x 48. Enlarging it smoothly in one step blurs its thin
// lines, so it is first enlarged by the largest whole factor that fits (every pixel becomes a
// block) and only the remainder is smoothed. Reductions are smoothed directly.
#include <QImage>
#include <QString>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: pendrel-scale-icon SOURCE.png SIZE OUT.png\n");
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[2]).toInt(&ok);
    if (!ok || size < 1 || size > 1024) {
        std::fprintf(stderr, "pendrel-scale-icon: size must be 1 to 1024, not %s\n", argv[2]);
        return 2;
    }
    QImage image(source);
    if (image.isNull()) {
        std::fprintf(stderr, "pendrel-scale-icon: cannot read the picture %s\n", argv[1]);
        return 1;
    }
    image = image.convertToFormat(QImage::Format_ARGB32);
    const int side = std::max(image.width(), image.height());
    if (side < size) {
        const int factor = size / side;
        if (factor > 1) {
            image = image.scaled(image.width() * factor, image.height() * factor,
                                 Qt::KeepAspectRatio, Qt::FastTransformation);
        }
    }
    if (image.width() != size || image.height() != size) {
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    if (image.width() != size || image.height() != size) {
        // A picture that is not square is centred on a transparent square canvas.
        QImage square(size, size, QImage::Format_ARGB32);
        square.fill(Qt::transparent);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                square.setPixel(x + (size - image.width()) / 2, y + (size - image.height()) / 2,
                                image.pixel(x, y));
            }
        }
        image = square;
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "pendrel-scale-icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
