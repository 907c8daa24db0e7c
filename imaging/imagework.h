#pragma once

#include <QImage>
#include <QMap>

// The station's image operations on 600-dpi pages. Stateless.
class ImageWork {
public:
    ImageWork() {}

    // Resamples a 600-dpi image to Meter_X by Meter_Y dots per inch (a value of
    // 0 or less keeps that dimension), nearest pixel.
    static QImage img_DotsPerMeter(QImage image, double Meter_X, double Meter_Y);
    // Scales both sides by the factor (0 or less keeps the size), nearest pixel.
    static QImage img_Scale(QImage image, double scale);
    // Turns the picture clockwise by angle degrees into the smallest upright
    // image that holds it.
    static QImage img_Rotate(QImage image, int angle);
    static QImage img_Mirrore(QImage image, bool X, bool Y);

    // Lays a page out per print head from the active template: key 0 alone
    // for a one-head page, else every head of the template plus the
    // composite of all slices under key -1.
    static QMap<int, QImage> img_GetPrintSrc(QImage image);

    // The size of the largest print source img_GetPrintSrc makes of a page of
    // `page` pixels, turned as the template says.
    static QSize printSourceSize(const QSize& page);
    // Qt's painter, which lays out and turns pages, draws nothing past this
    // row or column: a larger print source would lose its far part.
    static constexpr int kMaxPrintSourceSide = 32767;

    // True when drawing this image onto a fresh 1-bit canvas comes down to
    // copying (or inverting) its bits: a 1-bit image, most significant bit
    // first, whose two colours are each opaque black or opaque white.
    static bool _bitCopyMatchesPainter(const QImage& image);

private:
    static QImage _compose(const QImage& work, int Width, int Height, int head, bool perHead);
};
