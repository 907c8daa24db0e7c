#include "app/prefs.h"

#include "app/appconfig.h"

#include <QDebug>
#include <QSettings>
#include <QVariant>

#include <cmath>
#include <limits>

namespace {

QVariant readValue(const QString& path, const QString& key)
{
    QSettings settings(path, QSettings::IniFormat);
    return settings.value(key, QVariant());
}

// On a print PC the operator may rewrite the system ini but not create files
// in the root-owned folder that holds it, where Qt would put the new copy
// before swapping it in: the file is then rewritten in place.
void writeValue(const QString& key, const QVariant& value)
{
    QSettings settings(APPConfig::config(), QSettings::IniFormat);
    settings.setAtomicSyncRequired(false);
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qDebug() << "Prefs 存储失败，无法写入：" << APPConfig::config();
        return;
    }
    qDebug() << "Prefs 存储成功！";
}

// A length from a garbled template (beyond what an int holds, or not a
// number) must not make the conversion undefined: it is held at the limits.
int dotsAt(double mm, double dpi)
{
    const double dots = mm / 25.4 * dpi + 0.5;
    if (std::isnan(dots))
        return 0;
    if (dots >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (dots <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(dots);
}

} // namespace

QString Prefs::get(QString key) { return readValue(APPConfig::Template(), key).toString(); }
QString Prefs::get(QString path, QString key) { return readValue(path, key).toString(); }
int Prefs::getInt(QString key) { return readValue(APPConfig::Template(), key).toInt(); }
double Prefs::getDouble(QString key) { return readValue(APPConfig::Template(), key).toDouble(); }
float Prefs::getFloat(QString key) { return readValue(APPConfig::Template(), key).toFloat(); }
bool Prefs::getBool(QString key) { return readValue(APPConfig::Template(), key).toBool(); }

void Prefs::put(QString key, QString value) { writeValue(key, value); }
void Prefs::put(QString key, bool value) { writeValue(key, value); }
void Prefs::put(QString key, int value) { writeValue(key, value); }

int Prefs::MillimetreToDot(double mm, bool isX)
{
    return dotsAt(mm, isX ? APPConfig::gXAXIS_DPI : APPConfig::gYAXIS_DPI);
}

int Prefs::MillimetreToDot(double mm) { return dotsAt(mm, 600.0); }

int Prefs::cmpMaxUINT(const void* x, const void* y)
{
    return *static_cast<const quint32*>(x) < *static_cast<const quint32*>(y) ? 1 : -1;
}

int Prefs::cmpMinUINT(const void* x, const void* y)
{
    return *static_cast<const quint32*>(x) > *static_cast<const quint32*>(y) ? 1 : -1;
}

SliceArea_t* Prefs::listSliceAreaGetAt(QList<SliceArea_t>* list, int index)
{
    int position = 0;
    for (const SliceArea_t& slice : *list) {
        if (position == index) {
            auto* copy = new SliceArea_t;
            copy->x = slice.x;
            copy->y = slice.y;
            copy->width = slice.width;
            copy->height = slice.height;
            return copy;
        }
        ++position;
    }
    return nullptr;
}

namespace {

struct Model {
    const char* name;
    int mode;
    int type;
};

// Slices are read one key at a time; a count past this is a garbled value
// whose reading would keep the station from starting for hours.
constexpr int kMaxSlices = 1000;

// Printer models by the template's "Mode/M" text (exact case). Unknown models
// are treated as the B20 family.
const Model kModels[] = {
    {"TRV-A20X", 1, 1}, {"HW-K2A", 1, 1}, {"TRV-A20", 1, 1},
    {"TRV-B20", 0, 2},  {"HW-K2B", 0, 2},
    {"TRV-C20", 2, 3},  {"TRV-D20", 2, 3},
};

void resetTemplate()
{
    APPConfig::paperW = 0.0;
    APPConfig::paperH = 0.0;
    APPConfig::pageamount = 0;
    APPConfig::offsetx = 0.0f;
    APPConfig::offsety = 0.0f;
    APPConfig::gXAXIS_DPI = 600.0;
    APPConfig::gYAXIS_DPI = 290.3;
    APPConfig::g_mode = 0;
    APPConfig::g_type = 2;
    APPConfig::g_Scale = 0.0;
    APPConfig::g_MirroreX = 0;
    APPConfig::g_MirroreY = 0;
    APPConfig::g_Rotate = 0;
    APPConfig::g_Debug = false;
    APPConfig::g_Send = true;
    APPConfig::m_Template_path.clear();
}

QString chooseTemplateFile()
{
    const QString name = Prefs::get(APPConfig::config(), "Template");
    const QString named = APPConfig::syspath() + "/" + name + ".ini";
    if (!name.isEmpty() && QFile::exists(named))
        return named;
    const QFileInfoList templates = QDir(APPConfig::syspath()).entryInfoList({"*.ini"}, QDir::Files, QDir::Name);
    return templates.isEmpty() ? QString() : templates.first().absoluteFilePath();
}

void applyModel(const QString& model)
{
    for (const Model& m : kModels) {
        if (model == QLatin1String(m.name)) {
            APPConfig::g_mode = m.mode;
            APPConfig::g_type = m.type;
            APPConfig::gXAXIS_DPI = 600.0;
            APPConfig::gYAXIS_DPI = 290.3;
            break;
        }
    }
    APPConfig::product_id = APPConfig::g_mode == 1 ? 0x2020 : 0x2019;
}

SliceArea_t readSlice(int i)
{
    const QString group = QString("Slice%1").arg(i);
    SliceArea_t slice;

    const double newX = Prefs::getDouble(group + "/newX");
    slice.new_x = Prefs::MillimetreToDot(newX);
    qDebug() << QString("切片%1 X新坐标:%2mm %3").arg(i).arg(newX).arg(slice.new_x);

    const double newY = Prefs::getDouble(group + "/newY");
    slice.new_y = Prefs::MillimetreToDot(newY);
    qDebug() << QString("切片%1 Y新坐标:%2mm %3").arg(i).arg(newY).arg(slice.new_y);

    const double x = Prefs::getDouble(group + "/X");
    slice.x = Prefs::MillimetreToDot(x);
    qDebug() << QString("切片%1 左上角X坐标::%2mm(%3)").arg(i).arg(x).arg(slice.x);

    const double y = Prefs::getDouble(group + "/Y");
    slice.y = Prefs::MillimetreToDot(y);
    qDebug() << QString("切片%1 左上角Y坐标::%2mm(%3)").arg(i).arg(y).arg(slice.y);

    double w = Prefs::getDouble(group + "/W");
    if (w == 0)
        w = 271.94;
    slice.width = Prefs::MillimetreToDot(w);
    qDebug() << QString("切片%1 宽度::%2mm(%3)").arg(i).arg(w).arg(slice.width);

    double h = Prefs::getDouble(group + "/H");
    if (h == 0)
        h = 259.96;
    slice.height = Prefs::MillimetreToDot(h);
    qDebug() << QString("切片%1 高度::%2mm(%3)").arg(i).arg(h).arg(slice.height);

    slice.pt = Prefs::getInt(group + "/Pt");
    qDebug() << QString("切片%1 喷头::%2").arg(i).arg(slice.pt);
    return slice;
}

} // namespace

void Prefs::ReadConfig()
{
    resetTemplate();
    APPConfig::m_Template_path = chooseTemplateFile();

    APPConfig::g_Scale = getDouble("Mode/Scale");
    APPConfig::g_MirroreX = getInt("Mode/MirroreX");
    APPConfig::g_MirroreY = getInt("Mode/MirroreY");
    APPConfig::g_Rotate = getInt("Mode/Rotate");
    APPConfig::g_Debug = getInt("Mode/Debug") > 0;
    APPConfig::g_Send = !(getInt("Mode/Send") > 0);

    APPConfig::offsetx = getFloat("Offset/X");
    qDebug() << QString("x偏移量:%1").arg(APPConfig::offsetx);
    APPConfig::offsety = getFloat("Offset/Y");
    qDebug() << QString("偏移量:%1").arg(APPConfig::offsety);

    int sliceCount = getInt("SliceAmount/Amount");
    qDebug() << QString("切片总数:%1").arg(sliceCount);

    const QString model = get("Mode/M");
    qDebug() << QString("机型:%1").arg(model);
    applyModel(model);

    APPConfig::paperW = getInt("Paper/Width");
    APPConfig::paperH = getInt("Paper/Height");

    APPConfig::m_SliceAreas.clear();
    if (sliceCount > kMaxSlices) {
        qDebug() << QString("切片总数%1超过上限%2，只读取前%2个切片：%3")
                        .arg(sliceCount)
                        .arg(kMaxSlices)
                        .arg(APPConfig::m_Template_path);
        sliceCount = kMaxSlices;
    }
    for (int i = 1; i <= sliceCount; ++i)
        APPConfig::m_SliceAreas.append(readSlice(i));
}
