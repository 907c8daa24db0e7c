#include "vqtest.h"

#include "app/appconfig.h"
#include "app/prefs.h"

// Templates that once kept the loader busy.

class PrefsRegressionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { APPConfig::init(); }
    void init() { vqtest::clearStationFiles(); }

    void sliceCountPastTheLimitReadsTheFirstSlices_data();
    void sliceCountPastTheLimitReadsTheFirstSlices();
};

void PrefsRegressionsTest::sliceCountPastTheLimitReadsTheFirstSlices_data()
{
    QTest::addColumn<QString>("amount");
    QTest::addColumn<int>("slices");
    QTest::addColumn<bool>("capped");

    QTest::newRow("at the limit") << "1000" << 1000 << false;
    QTest::newRow("one past the limit") << "1001" << 1000 << true;
    // Read whole, this one took the loader days and every byte of memory.
    QTest::newRow("largest int") << "2147483647" << 1000 << true;
}

void PrefsRegressionsTest::sliceCountPastTheLimitReadsTheFirstSlices()
{
    QFETCH(QString, amount);
    QFETCH(int, slices);
    QFETCH(bool, capped);

    const QString path = vqtest::writeTemplate(
        "many", "[SliceAmount]\nAmount=" + amount + "\n[Slice2]\nX=25.4\n[Slice1000]\nPt=3\n[Slice1001]\nPt=4\n");
    vqtest::setActiveTemplate("many");
    vqtest::LogCapture log;
    Prefs::ReadConfig();

    QCOMPARE(APPConfig::m_SliceAreas.size(), slices);
    QCOMPARE(APPConfig::m_SliceAreas.at(1).x, 600);
    QCOMPARE(APPConfig::m_SliceAreas.last().pt, 3);
    const QString line = QString("切片总数%1超过上限1000，只读取前1000个切片：%2").arg(amount, path);
    QCOMPARE(log.lines().filter(line).size(), capped ? 1 : 0);
}

VQ_TEST_MAIN(PrefsRegressionsTest)
#include "tst_prefs_regressions.moc"
