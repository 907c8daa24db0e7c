#include "vqtest.h"

#include "app/stationpause.h"
#include "printer/usbdevice.h"
#include "sim/vqsim.h"

#include <libusb.h>

namespace {

void useScenario(const QByteArray& scenario, const QByteArray& productId = QByteArray())
{
    qputenv("VQSIM_SCENARIO", scenario);
    if (productId.isEmpty())
        qunsetenv("VQSIM_PRODUCT_ID");
    else
        qputenv("VQSIM_PRODUCT_ID", productId);
    vqsim::reset();
}

QList<vqsim::Transfer> transfersTo(quint8 endpoint)
{
    QList<vqsim::Transfer> result;
    for (const vqsim::Transfer& t : vqsim::transfers())
        if (t.endpoint == endpoint)
            result.append(t);
    return result;
}

// "length@timeout" for every OUT transfer, in order.
QStringList writesSeen()
{
    QStringList seen;
    for (const vqsim::Transfer& t : transfersTo(0x02))
        seen << QString("%1@%2").arg(t.length).arg(t.timeout);
    return seen;
}

} // namespace

class UsbDeviceTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void openingFollowsTheDevice_data();
    void openingFollowsTheDevice();
    void unreadableConfigurationClosesTheHandle();
    void openingAgainLeaksNoHandle();
    void commandFramesOnTheWire_data();
    void commandFramesOnTheWire();
    void printTaskFrames_data();
    void printTaskFrames();
    void writesAreCutIntoChunks_data();
    void writesAreCutIntoChunks();
    void failedWritesReportWhatWentOut_data();
    void failedWritesReportWhatWentOut();
    void readRetries_data();
    void readRetries();
    void statusReplyIsParsedFromByteEight_data();
    void statusReplyIsParsedFromByteEight();
    void shortWrittenFrameIsAFailedCommand();
    void busyLinkRefusesCommands();
    void closedLinkIsNeverTouched();
};

void UsbDeviceTest::initTestCase()
{
    StationPause::setScale(0.001);
    vqsim::setTimeScale(0.001);
}

void UsbDeviceTest::init()
{
    qunsetenv("VQSIM_CAPTURE");
    qunsetenv("VQSIM_OUT");
    qunsetenv("VQSIM_PRINT_POLLS");
    useScenario("normal");
}

void UsbDeviceTest::openingFollowsTheDevice_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QByteArray>("deviceProduct");
    QTest::addColumn<int>("askedProduct");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("handleOpen");
    QTest::addColumn<int>("endpointIn");
    QTest::addColumn<int>("endpointOut");

    QTest::newRow("bulk endpoints") << QByteArray("normal") << QByteArray() << 0x2019 << 1 << true << 0x81 << 0x02;
    QTest::newRow("second model") << QByteArray("normal") << QByteArray("0x2020") << 0x2020 << 1 << true << 0x81 << 0x02;
    QTest::newRow("other product id") << QByteArray("normal") << QByteArray("0x2020") << 0x2019 << -1 << false << 0 << 0;
    QTest::newRow("no printer") << QByteArray("absent") << QByteArray() << 0x2019 << -1 << false << 0 << 0;
    // The handle stays open, but the link is not connected.
    QTest::newRow("claim refused") << QByteArray("claim-fails") << QByteArray() << 0x2019 << -1 << true << 0x81 << 0x02;
    QTest::newRow("interrupt IN listed first") << QByteArray("interrupt-first") << QByteArray() << 0x2019 << 1 << true << 0x83 << 0x02;
}

void UsbDeviceTest::openingFollowsTheDevice()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QByteArray, deviceProduct);
    QFETCH(int, askedProduct);
    useScenario(scenario, deviceProduct);

    USBDevice usb;
    QTEST(usb.usb_Init(static_cast<uint16_t>(askedProduct)), "result");
    QTEST(usb.handle != nullptr, "handleOpen");
    QTEST(int(usb.endpoint_in), "endpointIn");
    QTEST(int(usb.endpoint_out), "endpointOut");
    QFETCH(int, result);
    QCOMPARE(usb.bln_connect.load(), result == 1);
    QCOMPARE(usb.data_buf[0], quint8(0xAA));
    QCOMPARE(usb.data_buf[31], quint8(0xED));
    usb.usb_Close();
    QCOMPARE(vqsim::openHandles(), 0);
    QCOMPARE(vqsim::faults(), 0);
}

void UsbDeviceTest::unreadableConfigurationClosesTheHandle()
{
    vqsim::failConfigDescriptor(true);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), -1);
    QVERIFY(usb.handle == nullptr);
    QVERIFY(!usb.bln_connect);
    QCOMPARE(vqsim::openHandles(), 0);
}

void UsbDeviceTest::openingAgainLeaksNoHandle()
{
    // A second window opens the link again: an open link is kept, a handle
    // left open by a refused claim is closed before the next try.
    useScenario("normal");
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QCOMPARE(vqsim::openHandles(), 1);
    usb.usb_Close();

    useScenario("claim-fails");
    QCOMPARE(usb.usb_Init(0x2019), -1);
    QCOMPARE(usb.usb_Init(0x2019), -1);
    QCOMPARE(vqsim::openHandles(), 1);
    usb.usb_Close();
    QCOMPARE(vqsim::openHandles(), 0);
    QCOMPARE(vqsim::faults(), 0);
}

void UsbDeviceTest::commandFramesOnTheWire_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("frame");

    const QByteArray zero4 = QByteArray::fromHex("00000000");
    QTest::newRow("status request") << 0x12 << zero4 << QByteArray::fromHex("7e120000100000000000000000000000");
    QTest::newRow("end of job") << 0x42 << zero4 << QByteArray::fromHex("7e420000100000000000000000000000");
    QTest::newRow("buffer reset") << 0x43 << zero4 << QByteArray::fromHex("7e430000100000000000000000000000");
    QTest::newRow("payload copied unchanged") << 0x41 << QByteArray::fromHex("0a7e00ff") << QByteArray::fromHex("7e410000100000000a7e00ff00000000");
}

void UsbDeviceTest::commandFramesOnTheWire()
{
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, frame);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QVERIFY(usb.SendCom(quint8(command), reinterpret_cast<quint8*>(payload.data()), quint32(payload.size())));
    const QList<vqsim::Transfer> out = transfersTo(0x02);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.at(0).data.toHex(), frame.toHex());
    QVERIFY(!usb.m_bBusy_Flg);
    usb.usb_Close();
}

void UsbDeviceTest::printTaskFrames_data()
{
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("units");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("page 2 of 3, 5 units") << 3 << 2 << 5 << true << QByteArray::fromHex("7e40000012000000" "030002000501" "00000000");
    QTest::newRow("last page") << 3 << 3 << 1 << true << QByteArray::fromHex("7e40000012000000" "030003000101" "00000000");
    QTest::newRow("page above the total") << 3 << 4 << 1 << false << QByteArray();
    QTest::newRow("numbers cut to their fields") << 0x10003 << 0x10002 << 0x105 << true << QByteArray::fromHex("7e40000012000000" "030002000501" "00000000");
}

void UsbDeviceTest::printTaskFrames()
{
    QFETCH(int, pages);
    QFETCH(int, page);
    QFETCH(int, units);
    QFETCH(QByteArray, frame);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    vqtest::LogCapture log;
    QTEST(usb.SendSysPrintTask(pages, page, 1, units), "result");

    const QList<vqsim::Transfer> out = transfersTo(0x02);
    const QList<vqsim::Transfer> in = transfersTo(0x81);
    if (frame.isEmpty()) {
        QVERIFY(out.isEmpty());
        QVERIFY(in.isEmpty());
        QVERIFY(log.lines().isEmpty());
    } else {
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.at(0).data.toHex(), frame.toHex());
        QCOMPARE(in.size(), 1); // the 13-byte reply is consumed
        QCOMPARE(in.at(0).length, 13);
        QCOMPARE(in.at(0).transferred, 13);
        QCOMPARE(log.count("***Send PC_TO_ARM_USB_SEND_TASK! "), 1);
    }
    usb.usb_Close();
}

void UsbDeviceTest::writesAreCutIntoChunks_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QStringList>("writes");

    QTest::newRow("1 byte") << 1 << QStringList{"1@1000"};
    QTest::newRow("512 bytes, one packet") << 512 << QStringList{"512@1000"};
    QTest::newRow("513 bytes") << 513 << QStringList{"512@5000", "1@5000"};
    QTest::newRow("1024 bytes, zero-length tail") << 1024 << QStringList{"512@5000", "512@5000", "0@5000"};
    QTest::newRow("1300 bytes") << 1300 << QStringList{"512@5000", "512@5000", "276@5000"};
}

void UsbDeviceTest::writesAreCutIntoChunks()
{
    QFETCH(int, length);
    QFETCH(QStringList, writes);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QByteArray data(length, '\0');
    for (int i = 0; i < length; ++i)
        data[i] = char(i * 7);
    QCOMPARE(usb.Send(reinterpret_cast<quint8*>(data.data()), quint32(length)), quint32(length));
    QCOMPARE(writesSeen(), writes);
    QByteArray joined;
    for (const vqsim::Transfer& t : transfersTo(0x02))
        joined += t.data;
    QCOMPARE(joined, data);
    usb.usb_Close();
}

void UsbDeviceTest::failedWritesReportWhatWentOut_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("earlierWrites");
    QTest::addColumn<int>("length");
    QTest::addColumn<quint32>("sent");

    // A short single write is reported as short, not as the length asked.
    QTest::newRow("short single packet") << QByteArray("short-write:1") << 0 << 16 << quint32(8);
    QTest::newRow("short chunk of a long write") << QByteArray("short-write:2") << 0 << 1024 << quint32(768);
    QTest::newRow("unplugged, single packet") << QByteArray("unplug-after:1") << 1 << 16 << quint32(0);
    QTest::newRow("unplugged, long write") << QByteArray("unplug-after:2") << 0 << 1536 << quint32(1024);
}

void UsbDeviceTest::failedWritesReportWhatWentOut()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, earlierWrites);
    QFETCH(int, length);
    useScenario(scenario);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QByteArray data(length, 'x');
    for (int i = 0; i < earlierWrites; ++i)
        QCOMPARE(usb.Send(reinterpret_cast<quint8*>(data.data()), 16), quint32(16));
    QTEST(usb.Send(reinterpret_cast<quint8*>(data.data()), quint32(length)), "sent");
    usb.usb_Close();
}

void UsbDeviceTest::readRetries_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("timeouts");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("attempts");

    QTest::newRow("answered at once") << QByteArray("normal") << 0 << true << 1;
    QTest::newRow("fourth attempt answered") << QByteArray("normal") << 3 << true << 4;
    QTest::newRow("four timeouts") << QByteArray("normal") << 4 << false << 4;
    QTest::newRow("silent printer") << QByteArray("silent") << 0 << false << 4;
}

void UsbDeviceTest::readRetries()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, timeouts);
    useScenario(scenario);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    quint32 zero = 0;
    QVERIFY(usb.SendCom(PC_TO_ARM_USB_RD_DEV_STATE, reinterpret_cast<quint8*>(&zero), 4));
    vqsim::failNextReads(timeouts);

    quint8 reply[200] = {};
    QTEST(usb.Read(reply, 42), "result");
    const QList<vqsim::Transfer> in = transfersTo(0x81);
    QTEST(in.size(), "attempts");
    for (const vqsim::Transfer& t : in) {
        QCOMPARE(t.length, 42);
        QCOMPARE(t.timeout, 10000u);
    }
    QVERIFY(!usb.m_bBusy_Flg);
    usb.usb_Close();
}

void UsbDeviceTest::statusReplyIsParsedFromByteEight_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("templateRec");
    QTest::addColumn<int>("sysState");

    QTest::newRow("idle printer") << QByteArray("normal") << 0 << 2;
    QTest::newRow("busy printer") << QByteArray("busy") << 1 << 6;
    QTest::newRow("garbage header and trailer") << QByteArray("garbage-header") << 0 << 2;
}

void UsbDeviceTest::statusReplyIsParsedFromByteEight()
{
    QFETCH(QByteArray, scenario);
    useScenario(scenario);
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    SysDeviceStatus_t status;
    memset(&status, 0xEE, sizeof status);
    QVERIFY(usb.ReadStatus(&status));
    QTEST(int(status.TemplateRec), "templateRec");
    QTEST(int(status.SysState), "sysState");
    QCOMPARE(int(status.UsbState), 1);
    QCOMPARE(status.ErrCode, 0u);
    usb.usb_Close();
}

void UsbDeviceTest::shortWrittenFrameIsAFailedCommand()
{
    useScenario("short-write:1");
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    quint32 zero = 0;
    QVERIFY(!usb.SendCom(PC_TO_ARM_USB_RD_DEV_STATE, reinterpret_cast<quint8*>(&zero), 4));
    QVERIFY(usb.SendCom(PC_TO_ARM_USB_RD_DEV_STATE, reinterpret_cast<quint8*>(&zero), 4));
    usb.usb_Close();
}

void UsbDeviceTest::busyLinkRefusesCommands()
{
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    quint32 zero = 0;
    usb.m_bBusy_Flg = true;
    QVERIFY(!usb.SendCom(PC_TO_ARM_USB_SEND_OVER, reinterpret_cast<quint8*>(&zero), 4));
    QVERIFY(vqsim::transfers().isEmpty());
    usb.m_bBusy_Flg = false;
    QVERIFY(usb.SendCom(PC_TO_ARM_USB_SEND_OVER, reinterpret_cast<quint8*>(&zero), 4));
    usb.usb_Close();
}

void UsbDeviceTest::closedLinkIsNeverTouched()
{
    USBDevice usb;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    QCOMPARE(usb.usb_Close(), 1);
    QVERIFY(!usb.bln_connect);
    QVERIFY(usb.handle == nullptr);

    quint8 buffer[1024] = {};
    QCOMPARE(usb.Send(buffer, 16), 0u);
    QCOMPARE(usb.Send(buffer, 1024), 0u);
    QVERIFY(!usb.Read(buffer, 42));
    QVERIFY(!usb.SendCom(PC_TO_ARM_USB_SEND_OVER, buffer, 4));
    SysDeviceStatus_t status{};
    QVERIFY(!usb.ReadStatus(&status));
    usb.SendEndOfJob();
    QCOMPARE(usb.usb_Close(), 1);
    QVERIFY(vqsim::transfers().isEmpty());
    QCOMPARE(vqsim::faults(), 0);
}

VQ_TEST_MAIN(UsbDeviceTest)
#include "tst_usbdevice.moc"
