#pragma once

#include <QList>
#include <QString>

struct SliceArea_t;

// Reads keys of the active print template and writes keys of the system ini.
// Every call opens the file afresh; nothing is cached.
class Prefs {
public:
    Prefs() {}

    static QString get(QString key);
    static QString get(QString path, QString key);
    static int getInt(QString key);
    static double getDouble(QString key);
    static float getFloat(QString key);
    static bool getBool(QString key);

    static void put(QString key, QString value);
    static void put(QString key, bool value);
    static void put(QString key, int value);

    // Millimetres to dots: at 600 dpi, or along the printer's X or Y axis.
    // Rounds half up for positive lengths; negative ones truncate after +0.5.
    static int MillimetreToDot(double mm, bool isX);
    static int MillimetreToDot(double mm);

    // qsort comparators for unsigned 32-bit values; never answer 0.
    static int cmpMaxUINT(const void* x, const void* y);
    static int cmpMinUINT(const void* x, const void* y);

    // A new record (owned by the caller) with x, y, width and height of the
    // slice at index, the other fields zero; null when there is none.
    static SliceArea_t* listSliceAreaGetAt(QList<SliceArea_t>* list, int index);

    // Chooses the active template and loads it into APPConfig.
    static void ReadConfig();
};
