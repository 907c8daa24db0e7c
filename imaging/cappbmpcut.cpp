#include "imaging/cappbmpcut.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QtEndian>

#include <array>
#include <cstring>

namespace {

const char* const kLinePrefix = "//-----------------------------// ";

// The pixel rows of a bottom-up 1-bit bitmap, addressed by stored row (0 is
// the bottom row) and word column.
struct WordGrid {
    const quint8* data;
    int rowWords;
    int rows;

    const quint8* word(int row, int column) const
    {
        return data + (size_t(row) * size_t(rowWords) + size_t(column)) * 4;
    }
    bool inked(int row, int column) const
    {
        const quint8* w = word(row, column);
        return (w[0] | w[1] | w[2] | w[3]) != 0;
    }
    // Bits are stored leftmost pixel first, so the first byte is the most
    // significant and the pixels inside the width are the top bits.
    bool inkedWithin(int row, int column, quint32 mask) const
    {
        return (qFromBigEndian<quint32>(word(row, column)) & mask) != 0;
    }
};

// Position arithmetic as the printer's firmware does it: the distance in
// single precision, the conversion in double, the result in single.
float millimetres(int dots, float dpi)
{
    return float(25.4 * double(float(dots)) / double(dpi));
}

} // namespace

quint8 CAppBmpCut::OS_Apps_BmpCut(quint8 Device_Type, quint8* pBmpAddr, quint8* pCutResult)
{
    return _cut(Device_Type, pBmpAddr, nullptr, pCutResult);
}

quint8 CAppBmpCut::OS_Apps_BmpCut(quint8 Device_Type, const quint8* pBmpAddr, quint32 bmpLength,
                                  quint8* pCutResult)
{
    return _cut(Device_Type, pBmpAddr, &bmpLength, pCutResult);
}

bool CAppBmpCut::_acceptBitmap(const quint8* pBmpAddr, const quint32* bmpLength, const quint8* pCutResult,
                               QString* reason)
{
    if (!pBmpAddr || !pCutResult) {
        *reason = QString("位图或切割结果地址为空");
        return false;
    }
    if (bmpLength && *bmpLength < quint32(BmpHeaders::kSize)) {
        *reason = QString("数据长度%1字节，不足文件头和信息头的%2字节").arg(*bmpLength).arg(BmpHeaders::kSize);
        return false;
    }
    const BmpHeaders headers = BmpHeaders::read(pBmpAddr);
    const BitMapFileHeader_t& file = headers.file;
    const BitMapInfoHeader_t& info = headers.info;
    if (info.biBitCount != 1) {
        *reason = QString("每像素%1位，只接受1位").arg(info.biBitCount);
        return false;
    }
    if (info.biCompression != 0) {
        *reason = QString("压缩方式%1，只接受不压缩(0)").arg(info.biCompression);
        return false;
    }
    if (info.biHeight <= 0) {
        *reason = QString("高度%1，只接受自下而上存储的位图(高度为正)").arg(info.biHeight);
        return false;
    }
    if (info.biHeight > MAX_ROWS) {
        *reason = QString("高度%1行，超过%2行").arg(info.biHeight).arg(MAX_ROWS);
        return false;
    }
    if (info.biWidth > quint32(MAX_ROW_WORDS) * 32) {
        *reason = QString("宽度%1像素，超过%2字(%3像素)").arg(info.biWidth).arg(MAX_ROW_WORDS).arg(MAX_ROW_WORDS * 32);
        return false;
    }
    if (bmpLength) {
        const quint64 rowBytes = (quint64(info.biWidth) + 31) / 32 * 4;
        const quint64 end = quint64(file.bfOffBits) + rowBytes * quint64(info.biHeight);
        if (end > *bmpLength) {
            *reason = QString("数据长度%1字节，不足像素数据结尾%2字节(偏移%3 + %4行 × 每行%5字节)")
                          .arg(*bmpLength)
                          .arg(end)
                          .arg(file.bfOffBits)
                          .arg(info.biHeight)
                          .arg(rowBytes);
            return false;
        }
    }
    return true;
}

ImageUnitInfo_t CAppBmpCut::_quantiseWidth(ImageUnitInfo_t unit, quint8 Device_Type, quint16 bmp_W)
{
    const int w = unit._w;
    const int quanta = w % WIDTH_QUANTUM == 0 ? w / WIDTH_QUANTUM : w / WIDTH_QUANTUM + 1;
    int w_temp = quanta * WIDTH_QUANTUM;
    if (w_temp % 32 != 0)
        w_temp = (w_temp / 32 + 1) * 32;
    const int AddDots_Num = w_temp - w;
    if (AddDots_Num == 0)
        return unit;

    if (w + AddDots_Num > bmp_W) {
        unit._w = quint16(w / WIDTH_QUANTUM * WIDTH_QUANTUM);
        return unit;
    }

    const int x = unit._x;
    if (Device_Type == DEV_TYPE_TRV_A20 || Device_Type == DEV_TYPE_TRV_C20) {
        unit._x = AddDots_Num > x ? 0 : quint16(x - AddDots_Num);
    } else if (bmp_W - x - w < AddDots_Num) {
        unit._x = quint16(bmp_W - w - AddDots_Num);
    }
    unit._w = quint16(w + AddDots_Num);
    return unit;
}

ImageUnitInfo_t CAppBmpCut::_fitIntoWidth(ImageUnitInfo_t unit, quint32 biWidth)
{
    const qint64 excess = qint64(unit._x) + unit._w - qint64(biWidth);
    if (excess > 0)
        unit._x = excess > unit._x ? 0 : quint16(unit._x - excess);
    return unit;
}

ImageUnitInfo_t CAppBmpCut::_addMargins(ImageUnitInfo_t unit, quint16 bmp_H)
{
    if (unit._y >= ADD_SPACE_F) {
        unit._y = quint16(unit._y - ADD_SPACE_F);
        unit._h = quint16(unit._h + ADD_SPACE_F);
    }
    if (int(unit._y) + unit._h + ADD_SPACE_B <= bmp_H)
        unit._h = quint16(unit._h + ADD_SPACE_B);
    unit._y = quint16(int(bmp_H) - unit._y - unit._h);
    return unit;
}

ImageUnitInfo_t CAppBmpCut::_placeUnit(ImageUnitInfo_t unit, quint8 Device_Type, quint16 bmp_W, quint16 bmp_H)
{
    const int fromBottom = int(bmp_H) - unit._y - unit._h;
    const int fromRight = int(bmp_W) - unit._x - unit._w;
    switch (Device_Type) {
    case DEV_TYPE_TRV_A20:
        unit._pos_x_mm = millimetres(fromBottom, CUT_DPI_X);
        unit._pos_y_mm = millimetres(fromRight, CUT_DPI_Y);
        break;
    case DEV_TYPE_TRV_B20:
        unit._pos_x_mm = millimetres(fromBottom, CUT_DPI_X);
        unit._pos_y_mm = millimetres(unit._x, CUT_DPI_Y);
        break;
    case DEV_TYPE_TRV_C20:
        unit._pos_x_mm = millimetres(unit._y, CUT_DPI_X);
        unit._pos_y_mm = millimetres(fromRight, CUT_DPI_Y);
        break;
    default:
        unit._pos_x_mm = 0;
        unit._pos_y_mm = 0;
        break;
    }
    return unit;
}

namespace {

// The bitmap as the cutter measures it. The width is padded to whole words
// (bmp_W); in the last word of a row only the pixels inside the true width
// count for the column scan.
struct CutPage {
    quint32 biWidth;
    quint16 bmp_W;
    quint16 bmp_H;
    quint32 lastWordMask;
    WordGrid grid;
};

// The 1-based numbers of the inked word columns, in increasing order, then
// zeros.
using InkedColumns = std::array<quint16, CAppBmpCut::WORDS_NUM_SIZE>;
using Windows = std::array<CutUnitPara_t, CAppBmpCut::CUT_UNIT_MAX>;

CutPage measurePage(const quint8* pBmpAddr)
{
    const BmpHeaders headers = BmpHeaders::read(pBmpAddr);
    const BitMapInfoHeader_t& info = headers.info;
    CutPage page;
    page.biWidth = info.biWidth;
    page.bmp_W = quint16(info.biWidth);
    quint32 BMP_Row_Last_Valid_Bits = 32;
    if (info.biWidth % 32 != 0) {
        page.bmp_W = quint16((info.biWidth / 32 + 1) * 32);
        BMP_Row_Last_Valid_Bits = info.biWidth % 32;
    }
    page.bmp_H = quint16(info.biHeight);
    page.lastWordMask = BMP_Row_Last_Valid_Bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> BMP_Row_Last_Valid_Bits);
    page.grid = WordGrid{pBmpAddr + headers.file.bfOffBits, page.bmp_W / 32, page.bmp_H};
    return page;
}

void logDeviceType(quint8 Device_Type)
{
    switch (Device_Type) {
    case DEV_TYPE_TRV_A20:
        qDebug() << "//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_A20";
        break;
    case DEV_TYPE_TRV_B20:
        qDebug() << "//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_B20";
        break;
    case DEV_TYPE_TRV_C20:
        qDebug() << "//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_C20";
        break;
    default:
        qDebug() << "//-----------------------------// 设 备  类 型：未知";
        break;
    }
}

// Fills WordsNum and returns how many columns hold ink. The last entry of the
// table always stays 0: it ends the list for the grouping walk.
int findInkedColumns(const CutPage& page, InkedColumns* WordsNum)
{
    const WordGrid& grid = page.grid;
    int inkedColumns = 0;
    for (int m = 0; m < grid.rowWords && inkedColumns < CAppBmpCut::WORDS_NUM_SIZE - 1; ++m) {
        const bool last = m == grid.rowWords - 1;
        for (int n = 0; n < grid.rows; ++n) {
            if (last ? grid.inkedWithin(n, m, page.lastWordMask) : grid.inked(n, m)) {
                (*WordsNum)[size_t(inkedColumns++)] = quint16(m + 1);
                break;
            }
        }
    }
    return inkedColumns;
}

// Groups the inked columns into windows separated by more than GROUP_GAP
// blank words and returns how many there are. Past the last window the
// table holds, the rest of the page joins it, so no ink is left out of every
// unit; one line says so.
int groupIntoWindows(const InkedColumns& WordsNum, Windows* CutUnitPara)
{
    Windows& table = *CutUnitPara;
    int windows = 1;
    bool merged = false;
    table[0]._x_start = quint16((WordsNum[0] - 1) * 32);
    for (size_t k = 0; k + 1 < WordsNum.size(); ++k) {
        if (WordsNum[k + 1] == 0) {
            table[size_t(windows - 1)]._x_end = quint16((WordsNum[k] - 1) * 32);
            break;
        }
        if (WordsNum[k + 1] - WordsNum[k] > CAppBmpCut::GROUP_GAP) {
            if (windows == CAppBmpCut::CUT_UNIT_MAX) {
                merged = true;
                continue;
            }
            table[size_t(windows - 1)]._x_end = quint16((WordsNum[k] - 1) * 32);
            table[size_t(windows)]._x_start = quint16((WordsNum[k + 1] - 1) * 32);
            ++windows;
        }
    }
    if (merged)
        qDebug() << QString("%1图元超过%2个，其余墨迹并入第%2个图元").arg(kLinePrefix).arg(CAppBmpCut::CUT_UNIT_MAX);
    return windows;
}

// Sets the window's first and last stored row with ink; here every bit of a
// word counts.
void findRowExtent(const WordGrid& grid, CutUnitPara_t* win)
{
    int lowest = grid.rows;
    int highest = -1;
    for (int m = win->_x_start / 32; m <= win->_x_end / 32; ++m) {
        for (int n = 0; n < grid.rows; ++n) {
            if (grid.inked(n, m)) {
                lowest = qMin(lowest, n);
                break;
            }
        }
        for (int n = grid.rows - 1; n >= 0; --n) {
            if (grid.inked(n, m)) {
                highest = qMax(highest, n);
                break;
            }
        }
    }
    win->_y_start = quint16(lowest);
    win->_y_end = quint16(highest);
}

// The unit the printer gets for a window: its inked rectangle, widened to
// whole width quanta, kept inside the true width, given its margins and
// placed in millimetres.
ImageUnitInfo_t unitOfWindow(const CutUnitPara_t& win, quint8 Device_Type, const CutPage& page)
{
    ImageUnitInfo_t unit{};
    unit._x = win._x_start;
    unit._y = win._y_start;
    unit._w = quint16(win._x_end - win._x_start + 32);
    unit._h = quint16(win._y_end - win._y_start + 1);
    unit = CAppBmpCut::_quantiseWidth(unit, Device_Type, page.bmp_W);
    unit = CAppBmpCut::_fitIntoWidth(unit, page.biWidth);
    unit = CAppBmpCut::_addMargins(unit, page.bmp_H);
    return CAppBmpCut::_placeUnit(unit, Device_Type, page.bmp_W, page.bmp_H);
}

// The count byte, then the unit records in the order the model prints them;
// a model the cutter does not know gets the count alone.
void writeInDeviceOrder(const BMP_CutResult_t& result, quint8 Device_Type, quint8* pCutResult)
{
    const int total = result._total;
    std::memset(pCutResult, 0, 1 + sizeof(ImageUnitInfo_t) * size_t(total));
    pCutResult[0] = result._total;
    quint8* records = pCutResult + 1;
    if (Device_Type == DEV_TYPE_TRV_A20 || Device_Type == DEV_TYPE_TRV_C20) {
        // These models print the rightmost unit first.
        for (int i = 0; i < total; ++i)
            std::memcpy(records + sizeof(ImageUnitInfo_t) * size_t(i), &result._image_unit_info[total - 1 - i],
                        sizeof(ImageUnitInfo_t));
    } else if (Device_Type == DEV_TYPE_TRV_B20) {
        std::memcpy(records, result._image_unit_info, sizeof(ImageUnitInfo_t) * size_t(total));
    }
}

// One line per unit, in the order found.
void logUnits(const BMP_CutResult_t& result)
{
    for (int i = 0; i < result._total; ++i) {
        const ImageUnitInfo_t& u = result._image_unit_info[i];
        qDebug() << QString("//-----------------------------// slice%1：x=%2 y=%3 |w=%4 h=%5 |posX=%6 mm  posY=%7 mm")
                        .arg(i)
                        .arg(u._x)
                        .arg(u._y)
                        .arg(u._w)
                        .arg(u._h)
                        .arg(double(u._pos_x_mm), 0, 'f', 2)
                        .arg(double(u._pos_y_mm), 0, 'f', 2);
    }
}

} // namespace

quint8 CAppBmpCut::_cut(quint8 Device_Type, const quint8* pBmpAddr, const quint32* bmpLength, quint8* pCutResult)
{
    QString reason;
    if (!_acceptBitmap(pBmpAddr, bmpLength, pCutResult, &reason)) {
        qDebug() << QString("%1位图切割拒绝：%2").arg(kLinePrefix, reason);
        return 1;
    }

    QElapsedTimer timer;
    timer.start();
    qDebug() << "//-----------------------------// 图像处理：";
    const CutPage page = measurePage(pBmpAddr);
    logDeviceType(Device_Type);
    qDebug() << QString("//-----------------------------// 原        图：bmp_W=%1  bmp_H=%2")
                    .arg(page.bmp_W)
                    .arg(page.bmp_H);

    InkedColumns WordsNum{};
    if (findInkedColumns(page, &WordsNum) == 0)
        return 0;
    Windows CutUnitPara{};
    const int windows = groupIntoWindows(WordsNum, &CutUnitPara);

    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof(result));
    result._total = quint8(windows);
    for (int i = 0; i < windows; ++i) {
        findRowExtent(page.grid, &CutUnitPara[size_t(i)]);
        result._image_unit_info[i] = unitOfWindow(CutUnitPara[size_t(i)], Device_Type, page);
    }
    writeInDeviceOrder(result, Device_Type, pCutResult);
    logUnits(result);
    qDebug() << QString("//-----------------------------// 图像处理用时:%1ms").arg(timer.elapsed());
    return 0;
}
