#pragma once

#include <QImage>

// The page as the printer sees it: a 1-bit image (QImage::Format_Mono, the
// default colour table of index 0 black and index 1 white) in which bit 1
// marks a dot to print. Every operation walks whole scan lines; none reads
// pixels one by one through QImage::pixel, which is far too slow for a
// 600-dpi page.
class DotImage {
public:
    DotImage() = delete;

    // Bit 1 wherever the page pixel, read as 0xAARRGGBB, is anything but
    // 0xFFFFFFFF: a pixel that differs from opaque white in any channel,
    // alpha included, is a dot. The bits that pad each row to whole 32-bit
    // words are 0. A null page gives a null image.
    static QImage fromPage(const QImage& page);

    // The w x h rectangle of a dot image whose top left corner is (x, y),
    // bit for bit, as a new 1-bit image. Parts of the rectangle outside the
    // dot image hold no dots, and neither do the bits after the last dot of
    // each row: the printer gets whole words and must not find stray ink in
    // them. Anything but a Format_Mono source gives a null image.
    static QImage crop(const QImage& dots, int x, int y, int w, int h);

    // For a Format_Mono image: true when every pixel reads as black, opaque
    // (0xFF000000) or transparent (0x00000000); with the default colour table
    // that means no bit is set, the image holds no dot to print. False for
    // any other format.
    static bool holdsNoDot(const QImage& mono);
};
