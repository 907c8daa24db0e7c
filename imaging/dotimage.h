#pragma once

#include <QImage>

struct SliceArea_t;

// Work on 1-bit images (QImage::Format_Mono, leftmost pixel in the top bit)
// done a scan line and a byte at a time: Qt reads, turns and draws such
// images pixel by pixel, which is far too slow for a 600-dpi page.
//
// The dot image is the page as the printer sees it: a 1-bit image with the
// default colour table (index 0 black, index 1 white) in which bit 1 marks a
// dot to print.
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

    // A quarter turn clockwise of a Format_Mono image, with the same pixels
    // and metadata as QImage::transformed gives for a 90-degree rotation.
    static QImage rotated90(const QImage& mono);

    // Draws one template slice of a Format_Mono page whose two colours are
    // each opaque black or opaque white onto a 1-bit canvas (index 0 black,
    // index 1 white), with the very pixels QPainter::drawImage(QPoint(new_x,
    // new_y), page, QRect(x, y, width, height)) gives.
    static void copySlice(QImage* canvas, const QImage& page, const SliceArea_t& slice);

    // The bits of the last byte of a row `width` pixels wide that lie inside
    // the width; the leftmost pixel is the top bit.
    static uchar lastByteMask(int width);
};
