// A print task or an image unit that the printer did not take whole: the
// page cannot print as sent, so the run stops with end of job and buffer
// reset, without waiting for replies that cannot come, and is never
// reported as printed.

#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "jobs/sendimgqueuethread.h"
#include "sim/vqsim.h"

#include <QPainter>
#include <QSignalSpy>
#include <QtEndian>

namespace {

// Three small blobs, one unit each, inked by head 0 (upper band) and head 1
// (lower band); every unit is one USB transfer.
QImage pageOf(int head)
{
    QImage page(2400, 300, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    for (int x : {40, 900, 1800}) {
        if (head != 1)
            painter.fillRect(x, 100, 60, 40, Qt::black);
        if (head != 0)
            painter.fillRect(x, 150, 60, 40, Qt::black);
    }
    return page;
}

QString save(const QImage& image, const QString& name)
{
    const QString path = APPConfig::output() + "/" + name;
    image.save(path, "BMP");
    return path;
}

// The command code of each frame the station wrote (a frame longer than
// 512 bytes goes out in several transfers) and "r" for the reads that wait
// for one reply (a read and its retries), in order.
QStringList exchanges()
{
    QStringList out;
    qint64 frameLeft = 0;
    for (const vqsim::Transfer& t : vqsim::transfers()) {
        if (!t.isOut()) {
            if (out.value(out.size() - 1) != "r")
                out << "r";
            continue;
        }
        if (frameLeft > 0) {
            frameLeft -= t.data.size();
            continue;
        }
        if (t.data.size() < 8)
            continue;
        out << QString::number(quint8(t.data.at(1)), 16);
        frameLeft = qFromLittleEndian<quint32>(t.data.constData() + 4) - t.data.size();
    }
    return out;
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

class CutFramesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pageWithACutFrameStopsTheRun_data();
    void pageWithACutFrameStopsTheRun();
};

void CutFramesTest::initTestCase()
{
    APPConfig::init();
    StationPause::setScale(0.001);
    vqsim::setTimeScale(0.001);
    StationQuit::setQuitsApplication(false);
}

void CutFramesTest::init()
{
    APPConfig::clearFolder(QDir(APPConfig::output()));
    APPConfig::g_Send = true;
    APPConfig::g_Debug = false;
    APPConfig::g_type = DEV_TYPE_TRV_B20;
    APPConfig::PrintTotal = 9;
    StationQuit::resetRequests();
}

void CutFramesTest::cleanup()
{
    APPConfig::m_USBDevice.usb_Close();
    QCOMPARE(vqsim::faults(), 0);
    qunsetenv("VQSIM_SCENARIO");
}

void CutFramesTest::pageWithACutFrameStopsTheRun_data()
{
    QTest::addColumn<bool>("twoHeads");
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QStringList>("exchanges");   // after the status request and its reply
    QTest::addColumn<QString>("logged");

    // Transfers: 1 status request, 2 task, 3.. units.
    QTest::newRow("task half written, one head")
        << false << QByteArray("short-write:2") << QStringList{"40", "42", "43"} << "命令帧未完整发送：0x40 9/18 字节";
    QTest::newRow("first unit half written, one head")
        << false << QByteArray("short-write:3") << QStringList{"40", "r", "41", "42", "43"} << "命令帧未完整发送：0x41";
    QTest::newRow("task half written, two heads")
        << true << QByteArray("short-write:2") << QStringList{"40", "42", "43"} << "命令帧未完整发送：0x40 9/18 字节";
    // Unplugged after the first unit: the second is not written at all.
    QTest::newRow("printer gone before the second unit, two heads")
        << true << QByteArray("unplug-after:3") << QStringList{"40", "r", "41", "r", "41", "42", "43"}
        << "命令帧未完整发送：0x41 0/";
}

void CutFramesTest::pageWithACutFrameStopsTheRun()
{
    QFETCH(bool, twoHeads);
    QFETCH(QByteArray, scenario);
    QFETCH(QStringList, exchanges);
    QFETCH(QString, logged);
    qputenv("VQSIM_SCENARIO", scenario);
    vqsim::reset();
    QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);

    SendImgQueueThread thread;
    QSignalSpy states(&thread, &SendImgQueueThread::handleState);
    vqtest::LogCapture log;
    if (twoHeads)
        thread._handleMuiltImgFile({save(pageOf(-1), "src.bmp") + ":::-1", save(pageOf(0), "src_0.bmp") + ":::0",
                                    save(pageOf(1), "src_1.bmp") + ":::1"});
    else
        thread._handleImgFile(save(pageOf(-1), "page.bmp"));

    // No reply is awaited for the cut frame, no unit follows it, no poll.
    QCOMPARE(::exchanges().mid(2), exchanges);
    QCOMPARE(texts(states).value(texts(states).size() - 1), QString("打印失败！停止打印"));
    QVERIFY(!texts(states).contains("当前页打印完成"));
    const QStringList lines = log.lines();
    QVERIFY2(lines.filter(logged).size() == 1, qPrintable(lines.join(QChar(10))));
    const int at = lines.indexOf("发送图元失败!");
    QVERIFY2(at > lines.indexOf(lines.filter(logged).value(0)), qPrintable(lines.join('\n')));
    QCOMPARE(lines.value(at + 1), QString(separatorLine()));
    QVERIFY(!APPConfig::m_USBDevice.bln_connect);
    QCOMPARE(StationQuit::requests(), 1);
}

VQ_TEST_MAIN(CutFramesTest)
#include "tst_cutframes.moc"
