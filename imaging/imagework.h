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
    static QImage img_Scale(QImage image, double scale);
    static QImage img_Rotate(QImage image, int angle);
    static QImage img_Mirrore(QImage image, bool X, bool Y);

    // Lays a page out per print head from the active template: key 0 alone
    // for a one-head page, else every head of the template plus the
    // composite of all slices under key -1.
    static QMap<int, QImage> img_GetPrintSrc(QImage image);
};
