#pragma once

#include "imaging/bmpheaders.h"

#include <QString>
#include <QtGlobal>

// Printer models; each fixes how the cutter widens, orders and places units.
enum Device_Type {
    DEV_TYPE_TRV_A20 = 1,
    DEV_TYPE_TRV_B20 = 2,
    DEV_TYPE_TRV_C20 = 3,
};

#pragma pack(push, 1)

// One image unit: a rectangle of the page in dots (_y counted from the top)
// and where the printer puts it, in millimetres.
struct ImageUnitInfo_t {
    quint16 _x;
    quint16 _y;
    quint16 _w;
    quint16 _h;
    float _pos_x_mm;
    float _pos_y_mm;
};
static_assert(sizeof(ImageUnitInfo_t) == 16, "image unit record is 16 bytes");

struct BMP_CutResult_t {
    quint8 _total;
    ImageUnitInfo_t _image_unit_info[50];
};
static_assert(sizeof(BMP_CutResult_t) == 1 + 50 * 16, "cut result is a count byte and 50 units");

// A window of inked word columns: first pixel of its first and last word
// column, first and last stored row with ink.
struct CutUnitPara_t {
    quint16 _x_start;
    quint16 _x_end;
    quint16 _y_start;
    quint16 _y_end;
};

#pragma pack(pop)

// Finds where a 1-bit, bottom-up BMP held in memory carries ink and cuts it
// into image units the printer takes one by one. Stateless; draws nothing.
class CAppBmpCut {
public:
    static constexpr float CUT_DPI_X = 290.3f; // rows per inch of the bitmap
    static constexpr float CUT_DPI_Y = 600.0f; // dots per inch along a row
    // 5 mm of blank rows below and above every unit.
    static constexpr int ADD_SPACE_F = int(double(5 * CUT_DPI_X) / 25.4);
    static constexpr int ADD_SPACE_B = int(double(5 * CUT_DPI_X) / 25.4);
    static constexpr int WORDS_NUM_SIZE = 1000;
    static constexpr int CUT_UNIT_MAX = 50;
    static constexpr int MAX_ROW_WORDS = 999;
    static constexpr int MAX_ROWS = 65535;
    static constexpr int GROUP_GAP = 10;     // more blank words than this split units
    static constexpr int WIDTH_QUANTUM = 300; // the printer takes widths in steps of 300 dots

    CAppBmpCut() {}

    // Cuts the BMP file at pBmpAddr into the BMP_CutResult_t at pCutResult,
    // which the caller has cleared; a bitmap without ink leaves it untouched.
    // The buffer is trusted to hold the rows its headers declare. Returns 0,
    // or 1 when the headers describe a bitmap the cutter does not take.
    quint8 OS_Apps_BmpCut(quint8 Device_Type, quint8* pBmpAddr, quint8* pCutResult);

    // The entry point for BMP files read from disk: as above, but first
    // refuses (one log line, no unit written, result 1) a buffer that does
    // not hold its headers and every row they declare, and any bitmap that is
    // not 1-bit, uncompressed and bottom-up, is wider than 999 words or has
    // 65536 rows or more.
    quint8 OS_Apps_BmpCut(quint8 Device_Type, const quint8* pBmpAddr, quint32 bmpLength, quint8* pCutResult);

    // The steps that turn a unit found on the bitmap into the one sent.
    // Widens the unit to a whole number of width quanta, rounded up to whole
    // words, or narrows it when the padded width bmp_W has no room.
    static ImageUnitInfo_t _quantiseWidth(ImageUnitInfo_t unit, quint8 Device_Type, quint16 bmp_W);
    // Moves the unit left until it ends inside the image's true width.
    static ImageUnitInfo_t _fitIntoWidth(ImageUnitInfo_t unit, quint32 biWidth);
    // Adds the blank margins below and above (in stored rows, where the
    // bitmap has room) and turns _y into a row counted from the top.
    static ImageUnitInfo_t _addMargins(ImageUnitInfo_t unit, quint16 bmp_H);
    // Fills the position in millimetres for the device type's reference edges.
    static ImageUnitInfo_t _placeUnit(ImageUnitInfo_t unit, quint8 Device_Type, quint16 bmp_W, quint16 bmp_H);

private:
    static quint8 _cut(quint8 Device_Type, const quint8* pBmpAddr, const quint32* bmpLength, quint8* pCutResult);
    static bool _acceptBitmap(const quint8* pBmpAddr, const quint32* bmpLength, const quint8* pCutResult,
                              QString* reason);
};
