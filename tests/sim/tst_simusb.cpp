#include "vqtest.h"

#include "sim/usbmonpcap.h"
#include "sim/vqsim.h"
#include "unitbytes.h"

#include <QTemporaryDir>

#include <libusb.h>

namespace {

libusb_device_handle* openPrinter(const QByteArray& scenario)
{
    qputenv("VQSIM_SCENARIO", scenario);
    vqsim::reset();
    libusb_init(nullptr);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, 0x8866, 0x2019);
    if (h && libusb_claim_interface(h, 0) != 0) {
        libusb_close(h);
        return nullptr;
    }
    return h;
}

int bulk(libusb_device_handle* h, quint8 endpoint, QByteArray& data, int* transferred)
{
    return libusb_bulk_transfer(h, endpoint, reinterpret_cast<unsigned char*>(data.data()), data.size(), transferred, 1000);
}

void askStatus(libusb_device_handle* h)
{
    QByteArray frame = unitbytes::statusFrame();
    int n = 0;
    bulk(h, 0x02, frame, &n);
}

} // namespace

class SimUsbTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void transfersAnswerAsLibusbDoes_data();
    void transfersAnswerAsLibusbDoes();
    void closedHandleIsCountedAsFault();
    void captureHoldsEveryTransfer();
};

void SimUsbTest::initTestCase() { vqsim::setTimeScale(0.001); }

void SimUsbTest::init()
{
    qunsetenv("VQSIM_CAPTURE");
    qunsetenv("VQSIM_OUT");
    qunsetenv("VQSIM_PRODUCT_ID");
    qunsetenv("VQSIM_PRINT_POLLS");
}

void SimUsbTest::transfersAnswerAsLibusbDoes_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("statusRequests");
    QTest::addColumn<int>("endpoint");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("transferred");

    QTest::newRow("reply delivered") << QByteArray("normal") << 1 << 0x81 << 42 << int(LIBUSB_SUCCESS) << 42;
    QTest::newRow("reply longer than the read") << QByteArray("normal") << 1 << 0x81 << 13 << int(LIBUSB_ERROR_OVERFLOW) << 13;
    QTest::newRow("nothing to answer") << QByteArray("normal") << 0 << 0x81 << 42 << int(LIBUSB_ERROR_TIMEOUT) << 0;
    QTest::newRow("silent printer") << QByteArray("silent") << 1 << 0x81 << 42 << int(LIBUSB_ERROR_TIMEOUT) << 0;
    QTest::newRow("interrupt endpoint carries no reply") << QByteArray("interrupt-first") << 1 << 0x83 << 42 << int(LIBUSB_ERROR_TIMEOUT) << 0;
    QTest::newRow("short write") << QByteArray("short-write:2") << 1 << 0x02 << 16 << int(LIBUSB_SUCCESS) << 8;
    QTest::newRow("write after unplug") << QByteArray("unplug-after:1") << 1 << 0x02 << 16 << int(LIBUSB_ERROR_NO_DEVICE) << 0;
    QTest::newRow("read after unplug") << QByteArray("unplug-after:1") << 1 << 0x81 << 42 << int(LIBUSB_ERROR_NO_DEVICE) << 0;
    QTest::newRow("no such endpoint") << QByteArray("normal") << 0 << 0x05 << 16 << int(LIBUSB_ERROR_IO) << 0;
}

void SimUsbTest::transfersAnswerAsLibusbDoes()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, statusRequests);
    QFETCH(int, endpoint);
    QFETCH(int, length);
    libusb_device_handle* h = openPrinter(scenario);
    QVERIFY(h);
    for (int i = 0; i < statusRequests; ++i)
        askStatus(h);
    QByteArray data = endpoint & 0x80 ? QByteArray(length, '\0') : unitbytes::statusFrame().left(length);
    int transferred = -1;
    QTEST(bulk(h, quint8(endpoint), data, &transferred), "result");
    QTEST(transferred, "transferred");
    libusb_close(h);
    libusb_exit(nullptr);
    QCOMPARE(vqsim::faults(), 0);
}

void SimUsbTest::closedHandleIsCountedAsFault()
{
    libusb_device_handle* h = openPrinter("normal");
    QVERIFY(h);
    libusb_close(h);
    QByteArray frame = unitbytes::statusFrame();
    int n = -1;
    QCOMPARE(bulk(h, 0x02, frame, &n), int(LIBUSB_ERROR_NO_DEVICE));
    QCOMPARE(n, 0);
    QCOMPARE(vqsim::faults(), 1);
    QVERIFY(vqsim::frames().isEmpty());
}

void SimUsbTest::captureHoldsEveryTransfer()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("bus.pcap");
    qputenv("VQSIM_CAPTURE", QFile::encodeName(path));
    libusb_device_handle* h = openPrinter("normal");
    QVERIFY(h);
    askStatus(h);
    QByteArray reply(42, '\0');
    QByteArray none;
    int n = 0;
    QCOMPARE(bulk(h, 0x81, reply, &n), 0);
    QCOMPARE(bulk(h, 0x02, none, &n), 0);
    QCOMPARE(bulk(h, 0x81, reply, &n), int(LIBUSB_ERROR_TIMEOUT));

    // Read while the simulator still has the file open: every record is
    // already on disk.
    QList<vqsim::UsbmonRecord> records;
    QString error;
    QVERIFY2(vqsim::readUsbmonCapture(path, &records, &error), qPrintable(error));
    QCOMPARE(records.size(), 8);
    QString seen;
    for (const vqsim::UsbmonRecord& r : records)
        seen += QString("%1 %2 %3 %4 %5 %6|").arg(QChar(r.type)).arg(r.endpoint, 2, 16, QChar('0')).arg(r.status)
                    .arg(r.length).arg(r.data.size()).arg(r.xferType);
    QCOMPARE(seen, QString("S 02 -115 16 16 3|C 02 0 16 0 3|S 81 -115 42 0 3|C 81 0 42 42 3|"
                           "S 02 -115 0 0 3|C 02 0 0 0 3|S 81 -115 42 0 3|C 81 -2 0 0 3|"));
    for (int i = 0; i < records.size(); i += 2) {
        QCOMPARE(records.at(i).id, records.at(i + 1).id);
        QVERIFY(i == 0 || records.at(i).id != records.at(i - 2).id);
        QCOMPARE(records.at(i).busnum, quint16(1));
        QCOMPARE(records.at(i).devnum, quint8(5));
    }
    QCOMPARE(records.at(0).data, unitbytes::statusFrame());
    QCOMPARE(records.at(3).data.left(2), QByteArray::fromHex("7e12"));

    libusb_close(h);
    qunsetenv("VQSIM_CAPTURE");
    vqsim::reset();
}

VQ_TEST_MAIN(SimUsbTest)
#include "tst_simusb.moc"
