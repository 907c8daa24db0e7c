#pragma once

// The plain rules, pixel by pixel, that the station's scan-line forms of the
// dot image, the unit crop and the emptiness test must match.

#include <QByteArray>
#include <QImage>

#include <cstring>

namespace pixelrules {

// A 1-bit image whose every byte is 0: QImage::fill leaves the bytes that pad
// each row as they were allocated.
inline QImage zeroMono(const QSize& size)
{
    QImage image(size, QImage::Format_Mono);
    std::memset(image.bits(), 0, size_t(image.sizeInBytes()));
    return image;
}

// Bit 1 wherever the pixel is not exactly opaque white.
inline QImage dots(const QImage& page)
{
    QImage out = zeroMono(page.size());
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            if (page.pixel(x, y) != 0xFFFFFFFFu)
                out.setPixel(x, y, 1);
    return out;
}

inline QImage crop(const QImage& dots, const QRect& r)
{
    QImage out = zeroMono(r.size());
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x)
            if (dots.rect().contains(r.x() + x, r.y() + y) && dots.pixelIndex(r.x() + x, r.y() + y) == 1)
                out.setPixel(x, y, 1);
    return out;
}

inline bool allBlack(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != 0xFF000000u && image.pixel(x, y) != 0x00000000u)
                return false;
    return true;
}

inline QByteArray bits(const QImage& image)
{
    return QByteArray(reinterpret_cast<const char*>(image.constBits()), int(image.sizeInBytes()));
}

} // namespace pixelrules
