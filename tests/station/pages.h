#pragma once

// Job pages as the program that hands jobs to the station writes them (A4
// at 600 dpi, 1-bit BMP), and the inked spans of the simulator's page
// pictures, to compare what the printer got with what the page held.

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

namespace station {

// An A4 page at 600 dpi, 1 dot = 1 pixel.
const int kPageWidth = 4960;
const int kPageHeight = 7016;

int mmToDots(double mm);

// White A4 with the given rectangles in black.
QImage pageWithBlocks(const QList<QRect>& blocks);

// Writes the pages into `folder` as 1.bmp, 2.bmp, ... with modification
// times one second apart, oldest first.
bool writeJob(const QString& folder, const QList<QImage>& pages);

struct Span {
    int from = 0;   // first inked position
    int to = 0;     // one past the last
    bool operator==(const Span& o) const { return from == o.from && to == o.to; }
};

// Inked columns of a picture, left to right, as maximal spans.
QList<Span> inkedColumns(const QImage& picture);
// Inked rows counted from the picture's bottom edge, bottom up.
QList<Span> inkedRowsFromBottom(const QImage& picture);

// Both lists hold the same number of spans and every edge lies within
// `tolerance` of the expected one.
bool spansMatch(const QList<Span>& actual, const QList<Span>& expected, int tolerance);
QString spansText(const QList<Span>& spans);

} // namespace station
