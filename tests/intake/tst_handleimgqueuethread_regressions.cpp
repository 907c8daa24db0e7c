#include "vqtest.h"

#include "app/appconfig.h"
#include "intake/handleimgqueuethread.h"

#include <QTemporaryDir>

// Page files that once got past the preparation's checks.

namespace {

// A small JPEG whose frame header is made to declare width x height, cut
// short after the start of its scan: the decoder fills what is missing, so
// the whole declared page would be decoded.
QByteArray jpegDeclaring(quint16 width, quint16 height)
{
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QByteArray bytes = vqtest::encodedImage(image, "JPG");
    const int frame = bytes.indexOf("\xFF\xC0");
    const int scan = bytes.indexOf("\xFF\xDA");
    if (frame < 0 || scan < 0)
        return QByteArray();
    bytes[frame + 5] = char(height >> 8);
    bytes[frame + 6] = char(height & 0xFF);
    bytes[frame + 7] = char(width >> 8);
    bytes[frame + 8] = char(width & 0xFF);
    return bytes.left(scan + 200);
}

} // namespace

class HandleImgQueueThreadRegressionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        APPConfig::init();
        QVERIFY(m_dir.isValid());
    }

    void init() { vqtest::takePrintQueue(); }

    void pageDeclaringTooManyPixelsIsRefusedBeforeDecoding_data();
    void pageDeclaringTooManyPixelsIsRefusedBeforeDecoding();

private:
    QTemporaryDir m_dir;
};

void HandleImgQueueThreadRegressionsTest::pageDeclaringTooManyPixelsIsRefusedBeforeDecoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    // Each side is within the limit, yet decoding would fill 1.6 GB.
    QTest::newRow("JPEG of 900 bytes declaring 19999 x 19999")
        << jpegDeclaring(19999, 19999) << "page.jpg" << "图像像素数超出上限";
    QTest::newRow("bitmap one row past the pixel limit")
        << vqtest::bmpHeaders(20000, 10001) << "page.bmp" << "图像像素数超出上限";
    // At the limit the page is decoded; these headers have no rows to read.
    QTest::newRow("bitmap at the pixel limit") << vqtest::bmpHeaders(20000, 10000) << "page.bmp" << "图像文件无法读取";
}

void HandleImgQueueThreadRegressionsTest::pageDeclaringTooManyPixelsIsRefusedBeforeDecoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QVERIFY(!bytes.isEmpty());

    const QString input = m_dir.filePath(name);
    QFile file(input);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();

    vqtest::LogCapture log;
    HandleImgQueueThread worker;
    worker._preparePage(input);

    QVERIFY(vqtest::takePrintQueue().isEmpty());
    QVERIFY(QFile::exists(input));
    QCOMPARE(log.lines().size(), 1);
    QVERIFY(log.lines().first().contains(input));
    QVERIFY2(log.lines().first().startsWith(reason), qPrintable(log.lines().first()));
}

VQ_TEST_MAIN(HandleImgQueueThreadRegressionsTest)
#include "tst_handleimgqueuethread_regressions.moc"
