#pragma once

#include <QtGlobal>

#pragma pack(push, 1)

// The two headers at the start of a BMP file, as stored (little-endian).
struct BitMapFileHeader_t {
    quint16 bfType;
    quint32 bfSize;
    quint16 bfReserved1;
    quint16 bfReserved2;
    quint32 bfOffBits;
};
static_assert(sizeof(BitMapFileHeader_t) == 14, "BMP file header is 14 bytes");

struct BitMapInfoHeader_t {
    quint32 biSize;
    quint32 biWidth;
    qint32 biHeight;
    quint16 biPlanes;
    quint16 biBitCount;
    quint32 biCompression;
    quint32 biImageSize;
    quint32 biXPelsPerMeter;
    quint32 biYPelsPerMeter;
    quint32 biClrUsed;
    quint32 biClrImportant;
};
static_assert(sizeof(BitMapInfoHeader_t) == 40, "BMP info header is 40 bytes");

#pragma pack(pop)

// Both headers of a BMP file, read field by field from its first bytes, so
// that the host's byte order and alignment do not matter. Nothing is
// checked: what the fields may hold is for the reader's caller to judge.
struct BmpHeaders {
    static constexpr int kSize = int(sizeof(BitMapFileHeader_t) + sizeof(BitMapInfoHeader_t));

    BitMapFileHeader_t file;
    BitMapInfoHeader_t info;

    // Reads the kSize bytes at `bytes`.
    static BmpHeaders read(const quint8* bytes);
};
