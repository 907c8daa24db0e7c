#pragma once

#include "sim/page.h"

#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace vqsim {

// The files that show what the simulated printer received for one page:
// page-N.json, the manifest, and page-N-head-H.png, what head H prints.
//
// Placement rule of the pictures. A unit's rows are 600 dots per inch along
// a row and 290.3 rows per inch across rows, the resolutions the station
// cuts pages at. The station's default cutter reports PosYmm as the distance
// of the unit's left edge from the page's left edge and PosXmm as the
// distance of its bottom edge from the page's bottom edge, so:
//   left column  = round(PosYmm * 600 / 25.4)
//   bottom row   = round(PosXmm * 290.3 / 25.4), counted upward
// and the unit's first row is its top row. The picture spans from the left
// edge to the rightmost unit edge and from the bottom edge to the highest
// unit edge (blank paper beyond the outermost units is not known to the
// printer). Rows are then repeated to 600 per inch, so the picture has the
// page's proportions at 600 dpi. A set bit is black. Malformed units, and
// units placed outside 0..16384 dots or 0..8192 rows, are not drawn.
namespace PageFiles {

QJsonObject manifest(const PageRecord& page);

// Heads that have at least one drawable unit on the page, ascending.
QList<int> heads(const PageRecord& page);

// The picture of one head, 1-bit (index 0 white, index 1 black), or a null
// image when the head has nothing to draw.
QImage picture(const PageRecord& page, int head);

// Writes page-N.json and one picture per head into `dir` (created when
// missing). False, with the reason in `error`, when a file cannot be written.
bool write(const QString& dir, const PageRecord& page, QString* error);

} // namespace PageFiles

// Writes the files of each page handed to it into one folder, and reports on
// standard error what cannot be written. Without a folder it writes nothing.
// It stands beside the controller as its page observer.
class PageWriter {
public:
    explicit PageWriter(const QString& dir) : m_dir(dir) {}

    void write(const PageRecord& page) const;

private:
    QString m_dir;
};

} // namespace vqsim
