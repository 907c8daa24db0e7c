#include "intake/handleimgqueuethread.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "imaging/bmpheaders.h"
#include "imaging/imagework.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMap>
#include <QStringList>

#include <climits>

namespace {

// A page may be listed while its writer is still at work. It is read once its
// size and modification time have stood still for one settle interval and a
// bitmap has the length its header declares; a writer that pauses longer
// than the interval is waited for. Past the limit a page still growing is
// read as it stands, and a bitmap still short of its length is refused: a
// cut-off page must not be printed.
constexpr unsigned long kSettleMs = 500;
constexpr int kSettleChecksMax = 60;

struct FileMark {
    bool exists = false;
    qint64 size = -1;
    QDateTime modified;

    bool operator==(const FileMark& other) const
    {
        return exists == other.exists && size == other.size && modified == other.modified;
    }
};

FileMark markOf(const QString& path)
{
    const QFileInfo info(path);
    FileMark mark;
    mark.exists = info.exists();
    if (mark.exists) {
        mark.size = info.size();
        mark.modified = info.lastModified();
    }
    return mark;
}

// What a BMP file's headers declare; isBmp is false for any other file.
struct BmpHeader {
    bool isBmp = false;
    bool complete = false;  // both headers are there
    quint32 fileSize = 0;
    quint32 offBits = 0;
    qint64 width = 0;
    qint64 height = 0;  // rows, whichever way they run
    int bitsPerPixel = 0;
    quint32 compression = 0;
};

BmpHeader readBmpHeader(const QString& path)
{
    BmpHeader header;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return header;
    const QByteArray head = file.read(BmpHeaders::kSize);
    header.isBmp = head.startsWith("BM");
    header.complete = header.isBmp && head.size() == BmpHeaders::kSize;
    if (!header.complete)
        return header;
    const BmpHeaders stored = BmpHeaders::read(reinterpret_cast<const quint8*>(head.constData()));
    header.fileSize = stored.file.bfSize;
    header.offBits = stored.file.bfOffBits;
    header.width = qint32(stored.info.biWidth); // signed, as the format stores it
    header.height = qAbs(qint64(stored.info.biHeight));
    header.bitsPerPixel = stored.info.biBitCount;
    header.compression = stored.info.biCompression;
    return header;
}

bool beyondPageLimits(qint64 width, qint64 height)
{
    return width > HandleImgQueueThread::kMaxPageSide || height > HandleImgQueueThread::kMaxPageSide
        || width * height > HandleImgQueueThread::kMaxPagePixels;
}

// The length a BMP file has once it is written whole: its headers and rows
// when uncompressed, else what its file header says. 0 when the file is no
// BMP, or declares a page the loader refuses anyway (there is no point in
// waiting for a gigabyte that will never be read).
qint64 declaredBmpLength(const QString& path)
{
    const BmpHeader h = readBmpHeader(path);
    if (!h.isBmp)
        return 0;
    if (!h.complete)
        return BmpHeaders::kSize;
    if (beyondPageLimits(h.width, h.height))
        return 0;
    // Qt reads a bitmap whole when only the bytes that pad its last row to
    // whole words are missing.
    const bool uncompressed = h.compression == 0 || h.compression == 3;
    if (uncompressed && h.width > 0 && h.height > 0 && h.bitsPerPixel >= 1 && h.bitsPerPixel <= 32)
        return qint64(h.offBits) + (h.width * h.bitsPerPixel + 31) / 32 * 4 * (h.height - 1)
            + (h.width * h.bitsPerPixel + 7) / 8;
    return h.fileSize;
}

// What a page file of `size` bytes still lacks to be whole, for the log: the
// length its bitmap header declares, or the end of a JPEG (its end marker
// after the last scan) or of a PNG (its end chunk). Empty when nothing is
// missing; any other kind of file counts as whole. Qt's readers fill a page
// cut short with grey, which would print.
QString missingPart(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray head = file.peek(8);
    if (head.startsWith("BM")) {
        const qint64 declared = declaredBmpLength(path);
        return size < declared ? QString("应有: %1").arg(declared) : QString();
    }
    if (head.startsWith("\xFF\xD8")) {
        const QByteArray bytes = file.readAll();
        const int lastScan = bytes.lastIndexOf("\xFF\xDA");
        return lastScan >= 0 && bytes.indexOf("\xFF\xD9", lastScan) > 0 ? QString() : QString("缺少JPEG结束标记");
    }
    if (head.startsWith("\x89PNG")) {
        file.seek(qMax<qint64>(0, size - 8));
        return file.read(8) == QByteArray("IEND\xAE\x42\x60\x82", 8) ? QString() : QString("缺少PNG结束块");
    }
    return QString();
}

// The print sources of one page, resampled to the printer's resolution and
// saved in the working directory under the page's base name. A page on one
// head is announced by its file alone, counted as the page it becomes; a page
// on several heads by each file with its head key (the composite -1 first).
struct PrintSources {
    bool oneHead;
    QString base;

    QString fileName(int key) const
    {
        return oneHead || key == -1 ? base + ".bmp" : base + QString("_%1.bmp").arg(key);
    }
    QString element(int key) const { return oneHead ? fileName(key) : fileName(key) + ":::" + QString::number(key); }

    // Saves one head's source and logs what became of it.
    bool save(int key, const QImage& source) const
    {
        const QImage scaled = ImageWork::img_DotsPerMeter(source, APPConfig::gXAXIS_DPI, APPConfig::gYAXIS_DPI);
        const bool saved = scaled.save(fileName(key), "BMP");
        if (saved && oneHead)
            qDebug() << "添加打印处理图像：" << APPConfig::SendTotal.load() + 1 << fileName(key) << source.width()
                     << source.height();
        else if (saved)
            qDebug() << "添加打印处理图像：" << APPConfig::SendTotal.load() << element(key) << source.width()
                     << source.height() << "喷头:" << key;
        else if (oneHead)
            qDebug() << "保存图像失败：" << source.width() << source.height() << fileName(key);
        else
            qDebug() << "保存图像失败：" << source.width() << source.height() << base << "喷头:" << key;
        return saved;
    }
};

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

HandleImgQueueThread::HandleImgQueueThread()
    : QThread(nullptr)
{
}

void HandleImgQueueThread::stop()
{
    APPConfig::stopImgWorkWait(&m_bStop);
}

void HandleImgQueueThread::run()
{
    qDebug() << "HandleImgQueueThread RUN======================";
    while (!m_bStop) {
        QString path;
        if (!APPConfig::takeImgWork(&path, m_bStop))
            break;
        qDebug() << "HandleImgQueueThread====" << path << i_W.load();
        _handleImgFile(path);
        // Also keeps the time stamps in the file names of consecutive pages
        // apart.
        StationPause::ms(2000);

        if (APPConfig::bln_cmd) {
            m_handled.insert(cleanAbsolute(path));
            ++i_W;
            _finishJobIfPrepared();
        }
    }
    qDebug() << "exit HandleImgQueueThread id:" << QThread::currentThreadId();
}

void HandleImgQueueThread::_finishJobIfPrepared()
{
    if (i_W < APPConfig::PrintTotal)
        return;
    qDebug() << "HandleImgQueueThread Queue Over";
    APPConfig::bln_ImgW_Complete = true;
    // The watcher raises the total before it clears the flag, so a batch it
    // found meanwhile is seen here or has cleared the flag after us.
    if (i_W < APPConfig::PrintTotal)
        APPConfig::bln_ImgW_Complete = false;
    if (!APPConfig::g_Debug)
        _clearHandledFromJobFolder();
}

// Deletes what is left in the job folder of the pages handled so far (inputs
// that could not be prepared). A page that arrived after the watcher's last
// poll stays: it has not been seen yet and will be picked up.
void HandleImgQueueThread::_clearHandledFromJobFolder()
{
    const QString folder = APPConfig::path + "/" + APPConfig::job;
    const QDir dir(folder);
    const QStringList names = dir.entryList({"*.*"}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QString& name : names) {
        const QString file = folder + "/" + name;
        if (m_handled.contains(cleanAbsolute(file)) && QFile::exists(file))
            QFile::remove(file);
    }
}

void HandleImgQueueThread::_handleImgFile(QString path)
{
    if (!_waitUntilWritten(path) || !_preparePage(path))
        ++APPConfig::RefusedTotal;
}

bool HandleImgQueueThread::_preparePage(const QString& path)
{
    const QImage image = _loadPage(path);
    if (image.isNull())
        return false;
    const QMap<int, QImage> heads = ImageWork::img_GetPrintSrc(image);
    if (heads.isEmpty()) {
        qDebug() << "图像没有可打印的喷头：" << path << heads.keys();
        return false;
    }

    const PrintSources sources {heads.size() == 1, APPConfig::output() + "/" + _pageStamp() + "_Print_src"};
    QStringList elements;
    for (auto it = heads.constBegin(); it != heads.constEnd(); ++it)
        if (sources.save(it.key(), it.value()))
            elements.append(sources.element(it.key()));
    // A page goes to the printer whole or not at all.
    if (elements.size() != heads.size())
        return false;
    if (!APPConfig::g_Debug)
        QFile::remove(path);
    APPConfig::enqueuePrintEntries({elements.join("|")});
    ++APPConfig::SendTotal;
    return true;
}

// Pages are told apart by a one-second stamp in their file names. The pause
// between pages keeps stamps apart in normal running; this holds even when
// the pause is shortened, since a page that took the stamp of the one before
// would overwrite print sources still waiting to print. The wait cannot be
// shortened: it lasts until the clock reaches the next second.
QString HandleImgQueueThread::_pageStamp()
{
    const QString format = "yyyyMMddhhmmss";
    QDateTime now = QDateTime::currentDateTime();
    while (now.toString(format) == m_lastStamp) {
        QThread::msleep(static_cast<unsigned long>(1000 - now.time().msec()));
        now = QDateTime::currentDateTime();
    }
    m_lastStamp = now.toString(format);
    return m_lastStamp;
}

bool HandleImgQueueThread::_waitUntilWritten(const QString& path)
{
    FileMark previous = markOf(path);
    for (int check = 0; check < kSettleChecksMax; ++check) {
        StationPause::ms(kSettleMs);
        const FileMark current = markOf(path);
        if (current == previous && (!current.exists || missingPart(path, current.size).isEmpty()))
            return true;
        previous = current;
    }
    const QString missing = previous.exists ? missingPart(path, previous.size) : QString();
    if (!missing.isEmpty()) {
        qDebug() << "图像文件不完整，不处理：" << path << previous.size << qPrintable(missing);
        return false;
    }
    qDebug() << "图像文件仍在写入，按现有内容读取：" << path;
    return true;
}

QImage HandleImgQueueThread::_loadPage(const QString& path)
{
    QImageReader reader(path);
    QSize declared = reader.size();
    // Qt's reader does not report the size of a bitmap it finds too large;
    // its header still tells why the page is refused.
    if (!declared.isValid()) {
        const BmpHeader bmp = readBmpHeader(path);
        if (bmp.complete && beyondPageLimits(bmp.width, bmp.height))
            declared = QSize(int(qBound<qint64>(0, bmp.width, INT_MAX)), int(bmp.height));
    }
    if (declared.isValid() && (declared.width() > kMaxPageSide || declared.height() > kMaxPageSide)) {
        qDebug() << "图像尺寸超出上限，不处理：" << path << declared.width() << declared.height()
                 << "上限:" << kMaxPageSide;
        return QImage();
    }
    if (declared.isValid() && qint64(declared.width()) * declared.height() > kMaxPagePixels) {
        qDebug() << "图像像素数超出上限，不处理：" << path << declared.width() << declared.height()
                 << "上限:" << kMaxPagePixels;
        return QImage();
    }
    const QImage image = reader.read();
    if (image.isNull()) {
        qDebug() << "图像文件无法读取：" << path << reader.errorString();
        return image;
    }
    const QSize printSize = ImageWork::printSourceSize(image.size());
    if (qMax(printSize.width(), printSize.height()) > ImageWork::kMaxPrintSourceSide) {
        qDebug() << "打印图像尺寸超出上限，不处理：" << path << printSize.width() << printSize.height()
                 << "上限:" << ImageWork::kMaxPrintSourceSide;
        return QImage();
    }
    return image;
}
