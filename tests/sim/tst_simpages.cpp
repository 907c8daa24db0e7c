#include "vqtest.h"

#include "app/stationpause.h"
#include "printer/usbdevice.h"
#include "sim/pagefiles.h"
#include "sim/vqsim.h"
#include "unitbytes.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

using unitbytes::Unit;

namespace {

const double kMmPerDot = 25.4 / 600.0;
const double kMmPerRow = 25.4 / 290.3;

// Two units: A 32 dots wide, 4 rows, a dot every 8 columns, 64 dots from the
// left on the bottom edge; B 36 dots wide (rows of 8 bytes, all bits set),
// 2 rows, at the left edge 10 rows up.
Unit unitA()
{
    Unit a = unitbytes::filledUnit(32, 4, 0);
    a.rows = QByteArray(16, char(0x80));
    a.sliceNo = 0;
    a.posYmm = float(64 * kMmPerDot);
    a.posXmm = 0.0f;
    return a;
}

Unit unitB()
{
    Unit b = unitbytes::filledUnit(36, 2, 0);
    b.rows = QByteArray(16, char(0xFF));
    b.sliceNo = 1;
    b.posYmm = 0.0f;
    b.posXmm = float(10 * kMmPerRow);
    return b;
}

bool black(const QImage& image, int x, int y) { return image.pixel(x, y) == qRgb(0, 0, 0); }

// Picture rows for a given unit row: the canvas is 12 rows (B reaches row
// 12 from the bottom), stretched by 600/290.3 to 25 picture rows.
void checkBothUnits(const QImage& picture)
{
    QCOMPARE(picture.size(), QSize(96, 25));
    // A: canvas rows 8..11, picture rows 17..24; dots at columns 64, 72, 80, 88.
    for (int y : {17, 24}) {
        QVERIFY(black(picture, 64, y));
        QVERIFY(!black(picture, 65, y));
        QVERIFY(black(picture, 88, y));
        QVERIFY(!black(picture, 63, y));
    }
    QVERIFY(!black(picture, 64, 16));
    // B: canvas rows 0..1, picture rows 0..4; 36 dots set, the row padding not drawn.
    for (int y : {0, 4}) {
        QVERIFY(black(picture, 0, y));
        QVERIFY(black(picture, 35, y));
        QVERIFY(!black(picture, 36, y));
    }
    QVERIFY(!black(picture, 0, 5));
}

vqsim::UnitRecord record(const Unit& u)
{
    return vqsim::decodeUnit(unitbytes::payload(u));
}

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString sha256(const Unit& u)
{
    return QString::fromLatin1(QCryptographicHash::hash(unitbytes::rawBlock(u), QCryptographicHash::Sha256).toHex());
}

} // namespace

class SimPagesTest : public QObject {
    Q_OBJECT
private slots:
    void pictureShowsEachHeadsUnitsInPlace();
    void manifestListsUnitsInArrivalOrder();
    void decodeToolRebuildsThePageFromACapture();
};

void SimPagesTest::pictureShowsEachHeadsUnitsInPlace()
{
    vqsim::PageRecord page;
    page.number = 1;
    page.units << record(unitA()) << record(unitB());
    Unit other = unitB();
    other.head = 0;
    other.posYmm = float(200 * kMmPerDot);
    page.units << record(other);
    Unit broken = unitA();
    broken.dpi = 150;
    page.units << record(broken);

    QCOMPARE(vqsim::PageFiles::heads(page), (QList<int>{0, 1}));
    checkBothUnits(vqsim::PageFiles::picture(page, 1));
    const QImage head0 = vqsim::PageFiles::picture(page, 0);
    QCOMPARE(head0.width(), 236);
    QVERIFY(!black(head0, 199, 0));
    QVERIFY(black(head0, 200, 0));
    QVERIFY(vqsim::PageFiles::picture(page, 2).isNull());
}

void SimPagesTest::manifestListsUnitsInArrivalOrder()
{
    QTemporaryDir dir;
    vqsim::Controller controller;
    controller.setOutputDir(dir.path());
    controller.receive(unitbytes::taskFrame(3, 2, 3));
    controller.receive(unitbytes::frame(0x41, unitbytes::payload(unitB())));
    controller.receive(unitbytes::frame(0x41, QByteArray::fromHex("0100ff")));
    QVERIFY(!QFile::exists(dir.filePath("page-1.json"))); // written once the page is complete
    controller.receive(unitbytes::frame(0x41, unitbytes::payload(unitA())));

    const QJsonObject page = readJson(dir.filePath("page-1.json"));
    QCOMPARE(page.value("page").toInt(), 1);
    QCOMPARE(page.value("TotalPages").toInt(), 3);
    QCOMPARE(page.value("PageNo").toInt(), 2);
    QCOMPARE(page.value("SliceAmount").toInt(), 3);
    QCOMPARE(page.value("TemplateSum").toInt(), 1);
    QCOMPARE(page.value("malformedUnits").toInt(), 1);
    const QJsonArray units = page.value("units").toArray();
    QCOMPARE(units.size(), 3);
    const QJsonObject first = units.at(0).toObject();
    QCOMPARE(first.value("SliceNo").toInt(), 1);
    QCOMPARE(first.value("Head").toInt(), 1);
    QCOMPARE(first.value("Width").toInt(), 36);
    QCOMPARE(first.value("Height").toInt(), 2);
    QCOMPARE(first.value("DPI_HOR").toInt(), 300);
    QCOMPARE(float(first.value("PosXmm").toDouble()), unitB().posXmm);
    QCOMPARE(first.value("sha256").toString(), sha256(unitB()));
    QVERIFY(units.at(1).toObject().value("malformed").toString().contains("odd payload length"));
    QCOMPARE(units.at(2).toObject().value("sha256").toString(), sha256(unitA()));
    QVERIFY(QFile::exists(dir.filePath("page-1-head-1.png")));
    QVERIFY(!QFile::exists(dir.filePath("page-1-head-0.png")));
}

// The station sends a two-unit page through its own link code; the stand-in
// records it live, and vqsim-decode rebuilds the same page from the capture.
void SimPagesTest::decodeToolRebuildsThePageFromACapture()
{
    StationPause::setScale(0.001);
    QTemporaryDir dir;
    const QString capture = dir.filePath("page.pcap");
    qputenv("VQSIM_SCENARIO", "normal");
    qputenv("VQSIM_CAPTURE", QFile::encodeName(capture));
    qputenv("VQSIM_OUT", QFile::encodeName(dir.filePath("live")));
    vqsim::reset();

    // B grows past one 512-byte transfer, so the capture holds a chunked frame.
    Unit b = unitB();
    b.width = 600;
    b.height = 4;
    b.rows.clear();
    for (int i = 0; i < 4 * unitbytes::stride(600); ++i)
        b.rows += char((i * 37) % 251);
    b.rows[0] = char(0xFF);  // dots 0..7 of the top row
    b.rows[73] = char(0x00); // dots 584..591
    b.rows[74] = char(0xFF); // dots 592..599
    b.rows[75] = char(0xFF); // row padding, beyond the unit's width
    QByteArray payloadA = unitbytes::payload(unitA());
    QByteArray payloadB = unitbytes::payload(b);
    QVERIFY(payloadB.size() + 12 > 512);

    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QVERIFY(usb.SendSysPrintTask(1, 1, 1, 2));
    QVERIFY(usb.SendImageUnit(reinterpret_cast<quint8*>(payloadA.data()), quint32(payloadA.size())));
    QVERIFY(usb.SendImageUnit(reinterpret_cast<quint8*>(payloadB.data()), quint32(payloadB.size())));
    usb.usb_Close();
    qunsetenv("VQSIM_CAPTURE");
    qunsetenv("VQSIM_OUT");
    vqsim::reset();

    QProcess decode;
    decode.start(QString(VQ_BUILD_DIR) + "/sim/vqsim-decode", {capture, dir.filePath("decoded")});
    QVERIFY(decode.waitForFinished(60000));
    QCOMPARE(decode.exitCode(), 0);
    QCOMPARE(decode.readAllStandardOutput(), QByteArray("page 1: 2 of 2 units, 0 malformed\n"));

    const QJsonObject decoded = readJson(dir.filePath("decoded/page-1.json"));
    QCOMPARE(decoded, readJson(dir.filePath("live/page-1.json")));
    const QJsonArray units = decoded.value("units").toArray();
    QCOMPARE(units.size(), 2);
    QCOMPARE(units.at(1).toObject().value("sha256").toString(), sha256(b));

    const QImage picture(dir.filePath("decoded/page-1-head-1.png"));
    QCOMPARE(picture.size(), QSize(600, 29)); // 14 rows at 290.3 per inch
    QVERIFY(black(picture, 64, 28));  // unit A, bottom edge
    QVERIFY(!black(picture, 65, 28));
    QVERIFY(black(picture, 0, 0));    // unit B, top rows
    QVERIFY(black(picture, 599, 0));
    QVERIFY(!black(picture, 600 - 9, 0));
}

VQ_TEST_MAIN(SimPagesTest)
#include "tst_simpages.moc"
