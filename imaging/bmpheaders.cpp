#include "imaging/bmpheaders.h"

#include <QtEndian>

BmpHeaders BmpHeaders::read(const quint8* bytes)
{
    BmpHeaders h;
    const quint8* p = bytes;
    h.file.bfType = qFromLittleEndian<quint16>(p + 0);
    h.file.bfSize = qFromLittleEndian<quint32>(p + 2);
    h.file.bfReserved1 = qFromLittleEndian<quint16>(p + 6);
    h.file.bfReserved2 = qFromLittleEndian<quint16>(p + 8);
    h.file.bfOffBits = qFromLittleEndian<quint32>(p + 10);

    p = bytes + sizeof(BitMapFileHeader_t);
    h.info.biSize = qFromLittleEndian<quint32>(p + 0);
    h.info.biWidth = qFromLittleEndian<quint32>(p + 4);
    h.info.biHeight = qFromLittleEndian<qint32>(p + 8);
    h.info.biPlanes = qFromLittleEndian<quint16>(p + 12);
    h.info.biBitCount = qFromLittleEndian<quint16>(p + 14);
    h.info.biCompression = qFromLittleEndian<quint32>(p + 16);
    h.info.biImageSize = qFromLittleEndian<quint32>(p + 20);
    h.info.biXPelsPerMeter = qFromLittleEndian<quint32>(p + 24);
    h.info.biYPelsPerMeter = qFromLittleEndian<quint32>(p + 28);
    h.info.biClrUsed = qFromLittleEndian<quint32>(p + 32);
    h.info.biClrImportant = qFromLittleEndian<quint32>(p + 36);
    return h;
}
