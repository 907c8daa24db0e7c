#include "vqtest.h"

#include "app/appconfig.h"
#include "app/prefs.h"

#include <QFile>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

const char* kFullTemplate = R"([Mode]
M=TRV-C20
Scale=0.5
Rotate=90
MirroreX=1
MirroreY=2
Debug=3
Send=0
[Offset]
X=1.5
Y=-2
[Paper]
Width=210
Height=297
[SliceAmount]
Amount=2
[Slice1]
newX=25.4
newY=1
X=0
Y=0
W=0
Pt=1
[Slice2]
newX=0
newY=0
X=10
Y=20
W=-5
H=100
Pt=2
)";

} // namespace

class PrefsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void millimetreToDot_data();
    void millimetreToDot();
    void millimetreToDotAlongTheAxes();

    void numbersAreReadStrictly();
    void readsWithoutTemplateAreEmpty();
    void putCreatesTheSystemIniWithAGeneralSection();
    void comparatorsSortAndNeverAnswerZero();
    void sliceCopyCarriesOnlyTheRectangle();

    void loadsEveryTemplateValue();
    void missingSliceGroupTakesTheDefaults();
    void writesItsLogLines();
    void modelTable_data();
    void modelTable();
    void sendAndDebugSwitches_data();
    void sendAndDebugSwitches();
    void templateChoice_data();
    void templateChoice();
    void noTemplateLeavesTheResetValues();
    void secondLoadLeavesNothingOfTheFirst();
};

void PrefsTest::initTestCase() { APPConfig::init(); }

void PrefsTest::init()
{
    vqtest::clearStationFiles();
    APPConfig::m_Template_path.clear();
}

void PrefsTest::millimetreToDot_data()
{
    QTest::addColumn<double>("mm");
    QTest::addColumn<int>("dots");
    QTest::newRow("one inch") << 25.4 << 600;
    QTest::newRow("1 mm") << 1.0 << 24;
    QTest::newRow("below half a dot") << 0.02 << 0;
    QTest::newRow("default width") << 271.94 << 6424;
    QTest::newRow("default height") << 259.96 << 6141;
    QTest::newRow("negative truncates after adding a half") << -1.0 << -23;
    QTest::newRow("garbled huge length is held") << 1e300 << std::numeric_limits<int>::max();
    QTest::newRow("garbled huge negative length is held") << -1e300 << std::numeric_limits<int>::min();
    QTest::newRow("not a number") << std::nan("") << 0;
}

void PrefsTest::millimetreToDot()
{
    QFETCH(double, mm);
    QFETCH(int, dots);
    QCOMPARE(Prefs::MillimetreToDot(mm), dots);
}

void PrefsTest::millimetreToDotAlongTheAxes()
{
    APPConfig::gXAXIS_DPI = 600.0;
    APPConfig::gYAXIS_DPI = 290.3;
    QCOMPARE(Prefs::MillimetreToDot(25.4, true), 600);
    QCOMPARE(Prefs::MillimetreToDot(25.4, false), 290);
}

void PrefsTest::numbersAreReadStrictly()
{
    APPConfig::m_Template_path = vqtest::writeTemplate("t", "[Mode]\nScale=12.7\nWord=abc\n");
    QCOMPARE(Prefs::getInt("Mode/Scale"), 0);
    QCOMPARE(Prefs::getDouble("Mode/Scale"), 12.7);
    QCOMPARE(Prefs::getFloat("Mode/Scale"), 12.7f);
    QCOMPARE(Prefs::getInt("Mode/Word"), 0);
    QCOMPARE(Prefs::getDouble("Mode/Missing"), 0.0);
    QCOMPARE(Prefs::getBool("Mode/Missing"), false);
    QCOMPARE(Prefs::get("Mode/Word"), QString("abc"));
}

void PrefsTest::readsWithoutTemplateAreEmpty()
{
    QCOMPARE(Prefs::get("Mode/M"), QString());
    QCOMPARE(Prefs::getInt("SliceAmount/Amount"), 0);
}

void PrefsTest::putCreatesTheSystemIniWithAGeneralSection()
{
    QVERIFY(!QFile::exists(APPConfig::config()));
    vqtest::LogCapture log;

    Prefs::put("Template", QString("abc"));

    QFile ini(APPConfig::config());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    QVERIFY2(text.contains("[General]") && text.contains("Template=abc"), text.constData());
    QCOMPARE(Prefs::get(APPConfig::config(), "Template"), QString("abc"));
    QCOMPARE(log.lines(), QStringList({QString::fromUtf8("Prefs 存储成功！")}));
}

void PrefsTest::comparatorsSortAndNeverAnswerZero()
{
    quint32 values[] = {5, 1, 9, 5, 3};
    qsort(values, 5, sizeof(quint32), Prefs::cmpMaxUINT);
    QCOMPARE(QList<quint32>({values[0], values[1], values[2], values[3], values[4]}), QList<quint32>({9, 5, 5, 3, 1}));
    qsort(values, 5, sizeof(quint32), Prefs::cmpMinUINT);
    QCOMPARE(QList<quint32>({values[0], values[1], values[2], values[3], values[4]}), QList<quint32>({1, 3, 5, 5, 9}));
    const quint32 same = 7;
    QCOMPARE(Prefs::cmpMaxUINT(&same, &same), -1);
    QCOMPARE(Prefs::cmpMinUINT(&same, &same), -1);
}

void PrefsTest::sliceCopyCarriesOnlyTheRectangle()
{
    QList<SliceArea_t> list;
    list.append(SliceArea_t{1, 2, 3, 4, 5, 6, 7});
    list.append(SliceArea_t{11, 12, 13, 14, 15, 16, 17});

    QScopedPointer<SliceArea_t> copy(Prefs::listSliceAreaGetAt(&list, 1));
    QVERIFY(copy);
    QCOMPARE(copy->x, 13);
    QCOMPARE(copy->y, 14);
    QCOMPARE(copy->width, 15);
    QCOMPARE(copy->height, 16);
    QCOMPARE(copy->new_x, 0);
    QCOMPARE(copy->new_y, 0);
    QCOMPARE(copy->pt, 0);
    QVERIFY(!Prefs::listSliceAreaGetAt(&list, 2));
    QVERIFY(!Prefs::listSliceAreaGetAt(&list, -1));
}

void PrefsTest::loadsEveryTemplateValue()
{
    vqtest::writeTemplate("full", kFullTemplate);
    vqtest::setActiveTemplate("full");

    Prefs::ReadConfig();

    QCOMPARE(APPConfig::Template(), APPConfig::syspath() + "/full.ini");
    QCOMPARE(APPConfig::g_Scale, 0.5);
    QCOMPARE(APPConfig::g_Rotate, 90);
    QCOMPARE(APPConfig::g_MirroreX, 1);
    QCOMPARE(APPConfig::g_MirroreY, 2);
    QCOMPARE(APPConfig::g_Debug.load(), true);
    QCOMPARE(APPConfig::g_Send.load(), true);
    QCOMPARE(APPConfig::offsetx, 1.5f);
    QCOMPARE(APPConfig::offsety, -2.0f);
    QCOMPARE(APPConfig::paperW, 210.0);
    QCOMPARE(APPConfig::paperH, 297.0);
    QCOMPARE(APPConfig::g_mode, 2);
    QCOMPARE(APPConfig::g_type, 3);
    QCOMPARE(APPConfig::product_id, uint16_t(0x2019));
    QCOMPARE(APPConfig::m_SliceAreas.size(), 2);

    const SliceArea_t first = APPConfig::m_SliceAreas.at(0);
    QCOMPARE(first.new_x, 600);
    QCOMPARE(first.new_y, 24);
    QCOMPARE(first.width, 6424);   // W = 0 takes the default width
    QCOMPARE(first.height, 6141);  // a missing H as well
    QCOMPARE(first.pt, 1);

    const SliceArea_t second = APPConfig::m_SliceAreas.at(1);
    QCOMPARE(second.x, 236);
    QCOMPARE(second.y, 472);
    QCOMPARE(second.width, -117);  // a negative width is converted, not replaced
    QCOMPARE(second.height, 2362);
    QCOMPARE(second.pt, 2);
}

void PrefsTest::missingSliceGroupTakesTheDefaults()
{
    vqtest::writeTemplate("t", "[SliceAmount]\nAmount=2\n[Slice1]\nX=1\nW=10\nH=10\nPt=1\n");
    Prefs::ReadConfig();

    QCOMPARE(APPConfig::m_SliceAreas.size(), 2);
    const SliceArea_t missing = APPConfig::m_SliceAreas.at(1);
    QCOMPARE(missing.new_x, 0);
    QCOMPARE(missing.new_y, 0);
    QCOMPARE(missing.x, 0);
    QCOMPARE(missing.y, 0);
    QCOMPARE(missing.width, 6424);
    QCOMPARE(missing.height, 6141);
    QCOMPARE(missing.pt, 0);
}

void PrefsTest::writesItsLogLines()
{
    vqtest::writeTemplate("full", kFullTemplate);
    vqtest::LogCapture log;

    Prefs::ReadConfig();

    const QStringList lines = log.lines();
    const QStringList expected = {
        "x偏移量:1.5",
        "偏移量:-2",
        "切片总数:2",
        "机型:TRV-C20",
        "切片1 X新坐标:25.4mm 600",
        "切片1 Y新坐标:1mm 24",
        "切片1 左上角X坐标::0mm(0)",
        "切片1 左上角Y坐标::0mm(0)",
        "切片1 宽度::271.94mm(6424)",
        "切片1 高度::259.96mm(6141)",
        "切片1 喷头::1",
    };
    QVERIFY(lines.size() >= expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(lines.at(i), "\"" + expected.at(i) + "\"");
    QCOMPARE(lines.last(), QString("\"切片2 喷头::2\""));
}

void PrefsTest::modelTable_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("productId");
    QTest::newRow("TRV-A20X") << "TRV-A20X" << 1 << 1 << 0x2020;
    QTest::newRow("HW-K2A") << "HW-K2A" << 1 << 1 << 0x2020;
    QTest::newRow("TRV-A20") << "TRV-A20" << 1 << 1 << 0x2020;
    QTest::newRow("TRV-B20") << "TRV-B20" << 0 << 2 << 0x2019;
    QTest::newRow("HW-K2B") << "HW-K2B" << 0 << 2 << 0x2019;
    QTest::newRow("TRV-C20") << "TRV-C20" << 2 << 3 << 0x2019;
    QTest::newRow("TRV-D20") << "TRV-D20" << 2 << 3 << 0x2019;
    QTest::newRow("case matters") << "hw-k2a" << 0 << 2 << 0x2019;
    QTest::newRow("unknown") << "XYZ" << 0 << 2 << 0x2019;
    QTest::newRow("missing") << "" << 0 << 2 << 0x2019;
}

void PrefsTest::modelTable()
{
    QFETCH(QString, model);
    QFETCH(int, mode);
    QFETCH(int, type);
    QFETCH(int, productId);
    vqtest::writeTemplate("t", model.isEmpty() ? QString() : "[Mode]\nM=" + model + "\n");

    Prefs::ReadConfig();

    QCOMPARE(APPConfig::g_mode, mode);
    QCOMPARE(APPConfig::g_type, type);
    QCOMPARE(int(APPConfig::product_id), productId);
}

void PrefsTest::sendAndDebugSwitches_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("send");
    QTest::addColumn<bool>("debug");
    QTest::newRow("1") << "1" << false << true;
    QTest::newRow("2") << "2" << false << true;
    QTest::newRow("0") << "0" << true << false;
    QTest::newRow("-1") << "-1" << true << false;
    QTest::newRow("missing") << "" << true << false;
}

void PrefsTest::sendAndDebugSwitches()
{
    QFETCH(QString, value);
    QFETCH(bool, send);
    QFETCH(bool, debug);
    vqtest::writeTemplate("t", value.isEmpty() ? QString() : "[Mode]\nSend=" + value + "\nDebug=" + value + "\n");

    Prefs::ReadConfig();

    QCOMPARE(APPConfig::g_Send.load(), send);
    QCOMPARE(APPConfig::g_Debug.load(), debug);
}

void PrefsTest::templateChoice_data()
{
    QTest::addColumn<QString>("active");
    QTest::addColumn<QString>("loaded");
    QTest::newRow("named template") << "b" << "b.ini";
    QTest::newRow("no name: first by name") << "" << "a.ini";
    QTest::newRow("named file missing: first by name") << "gone" << "a.ini";
    QTest::newRow("further dot in the name") << "a.old" << "a.old.ini";
}

void PrefsTest::templateChoice()
{
    QFETCH(QString, active);
    QFETCH(QString, loaded);
    vqtest::writeTemplate("b", "[Mode]\nRotate=2\n");
    vqtest::writeTemplate("a", "[Mode]\nRotate=1\n");
    vqtest::writeTemplate("a.old", "[Mode]\nRotate=3\n");
    QDir().mkpath(APPConfig::syspath() + "/0dir.ini");
    if (!active.isEmpty())
        vqtest::setActiveTemplate(active);

    Prefs::ReadConfig();

    QCOMPARE(QFileInfo(APPConfig::Template()).fileName(), loaded);
    QVERIFY(QFileInfo(APPConfig::Template()).isAbsolute());
}

void PrefsTest::noTemplateLeavesTheResetValues()
{
    APPConfig::product_id = 0x2020;
    APPConfig::m_SliceAreas.append(SliceArea_t());

    Prefs::ReadConfig();

    QCOMPARE(APPConfig::Template(), QString());
    QCOMPARE(APPConfig::product_id, uint16_t(0x2019));
    QCOMPARE(APPConfig::g_type, 2);
    QCOMPARE(APPConfig::g_Send.load(), true);
    QVERIFY(APPConfig::m_SliceAreas.isEmpty());
}

void PrefsTest::secondLoadLeavesNothingOfTheFirst()
{
    vqtest::writeTemplate("full", kFullTemplate);
    vqtest::writeTemplate("plain", "[SliceAmount]\nAmount=1\n[Slice1]\nW=10\nH=10\n");
    vqtest::setActiveTemplate("full");
    Prefs::ReadConfig();
    vqtest::setActiveTemplate("plain");

    Prefs::ReadConfig();

    QCOMPARE(APPConfig::g_Scale, 0.0);
    QCOMPARE(APPConfig::g_Rotate, 0);
    QCOMPARE(APPConfig::g_MirroreX, 0);
    QCOMPARE(APPConfig::g_MirroreY, 0);
    QCOMPARE(APPConfig::g_Debug.load(), false);
    QCOMPARE(APPConfig::offsetx, 0.0f);
    QCOMPARE(APPConfig::paperW, 0.0);
    QCOMPARE(APPConfig::g_type, 2);
    QCOMPARE(APPConfig::m_SliceAreas.size(), 1);
    QCOMPARE(APPConfig::m_SliceAreas.at(0).pt, 0);
    QCOMPARE(APPConfig::m_SliceAreas.at(0).width, 236);
}

VQ_TEST_MAIN(PrefsTest)
#include "tst_prefs.moc"
