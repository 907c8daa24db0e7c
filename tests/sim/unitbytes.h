#pragma once

// Builds image units the way the station sends them: the 19-byte descriptor
// (little-endian) and the rows, run-length coded.

#include "sim/rle.h"

#include <QByteArray>
#include <QtEndian>

#include <cstring>

namespace unitbytes {

struct Unit {
    quint8 sliceNo = 0;
    float posXmm = 0.0f;
    float posYmm = 0.0f;
    quint8 head = 1;
    quint16 dpi = 300;
    quint16 width = 32;
    quint16 height = 1;
    QByteArray rows; // height x stride bytes unless a test wants otherwise
};

inline int stride(int width) { return ((width + 31) / 32) * 4; }

inline QByteArray rawBlock(const Unit& u)
{
    char p[19] = {};
    quint32 bits;
    p[0] = char(u.sliceNo);
    std::memcpy(&bits, &u.posXmm, 4);
    qToLittleEndian<quint32>(bits, p + 1);
    std::memcpy(&bits, &u.posYmm, 4);
    qToLittleEndian<quint32>(bits, p + 5);
    p[9] = char(u.head);
    qToLittleEndian<quint16>(u.dpi, p + 13);
    qToLittleEndian<quint16>(u.width, p + 15);
    qToLittleEndian<quint16>(u.height, p + 17);
    return QByteArray(p, sizeof p) + u.rows;
}

inline QByteArray payload(const Unit& u) { return vqsim::runLengthEncode(rawBlock(u)); }

inline QByteArray frame(quint8 type, const QByteArray& payload)
{
    char h[8] = {char(0x7E), char(type)};
    qToLittleEndian<quint32>(quint32(payload.size() + 12), h + 4);
    return QByteArray(h, sizeof h) + payload + QByteArray(4, '\0');
}

inline QByteArray taskFrame(int units, int page = 1, int pages = 1)
{
    char t[6] = {};
    qToLittleEndian<quint16>(quint16(pages), t);
    qToLittleEndian<quint16>(quint16(page), t + 2);
    t[4] = char(units);
    t[5] = 1;
    return frame(0x40, QByteArray(t, sizeof t));
}

inline QByteArray statusFrame() { return frame(0x12, QByteArray(4, '\0')); }

// A unit of `rows` rows whose row r has the byte pattern `fill` + r.
inline Unit filledUnit(int width, int rows, char fill)
{
    Unit u;
    u.width = quint16(width);
    u.height = quint16(rows);
    for (int r = 0; r < rows; ++r)
        u.rows += QByteArray(stride(width), char(fill + r));
    return u;
}

} // namespace unitbytes
