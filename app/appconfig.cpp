#include "app/appconfig.h"

// Definitions in construction order: the queues and their mutex exist before
// anything can use them, the printer link is constructed but not opened.
QString APPConfig::APP_str = "Vendaquill";
QString APPConfig::path = "C:/Vendaquill/Temp";
QString APPConfig::job = "0";
QMutex* APPConfig::mutexM = new QMutex;
QWaitCondition* APPConfig::m_waitCondition = new QWaitCondition;
QQueue<QString> APPConfig::_imgIdsQueue;
QQueue<QString> APPConfig::_imgWorkQueue;
QList<SliceArea_t> APPConfig::m_SliceAreas;
QList<SliceArea_t> APPConfig::m_SortSliceAreas;
QList<SlicePrimitive_t> APPConfig::m_SlicePrimitiveSort;
USBDevice APPConfig::m_USBDevice;
QString APPConfig::m_Template_path;

double APPConfig::paperW = 0.0;
double APPConfig::paperH = 0.0;
int APPConfig::pageamount = 0;
float APPConfig::offsetx = 0.0f;
float APPConfig::offsety = 0.0f;
double APPConfig::gXAXIS_DPI = 600.0;
double APPConfig::gYAXIS_DPI = 290.3;
int APPConfig::g_mode = 0;
int APPConfig::g_type = 2;
double APPConfig::g_Scale = 0.0;
int APPConfig::g_MirroreX = 0;
int APPConfig::g_MirroreY = 0;
int APPConfig::g_Rotate = 0;
std::atomic<bool> APPConfig::g_Debug{false};
std::atomic<bool> APPConfig::g_Send{false};
uint16_t APPConfig::product_id = 0x2019;

std::atomic<int> APPConfig::PrintTotal{1};
std::atomic<int> APPConfig::PrintNo{1};
std::atomic<int> APPConfig::SendTotal{0};
std::atomic<bool> APPConfig::bln_cmd{false};
std::atomic<bool> APPConfig::bln_ImgW_Complete{false};
std::atomic<int> APPConfig::RefusedTotal{0};

PSCmdSendThread* APPConfig::m_PSCmdSendThread = nullptr;
SendImgQueueThread* APPConfig::m_SendImgQueueThread = nullptr;
FolderMonitoring* APPConfig::m_FolderMonitoring = nullptr;
HandleImgQueueThread* APPConfig::m_HandleImgQueueThread = nullptr;

void APPConfig::enqueueImgWork(const QStringList& paths)
{
    QMutexLocker lock(mutexM);
    for (const QString& p : paths)
        _imgWorkQueue.enqueue(p);
    m_waitCondition->wakeAll();
}

bool APPConfig::takeImgWork(QString* path, const std::atomic<bool>& stop)
{
    QMutexLocker lock(mutexM);
    while (!stop && _imgWorkQueue.isEmpty())
        m_waitCondition->wait(mutexM);
    if (stop)
        return false;
    *path = _imgWorkQueue.dequeue();
    return true;
}

// The flag is set under the lock, so the waiting thread cannot miss the
// wake-up between its test and its wait.
void APPConfig::stopImgWorkWait(std::atomic<bool>* stop)
{
    QMutexLocker lock(mutexM);
    *stop = true;
    m_waitCondition->wakeAll();
}

QStringList APPConfig::takeAllImgWork()
{
    QMutexLocker lock(mutexM);
    const QStringList paths = _imgWorkQueue;
    _imgWorkQueue.clear();
    return paths;
}

void APPConfig::enqueuePrintEntries(const QStringList& entries)
{
    QMutexLocker lock(mutexM);
    for (const QString& e : entries)
        _imgIdsQueue.enqueue(e);
}

bool APPConfig::takePrintEntry(QString* entry)
{
    QMutexLocker lock(mutexM);
    if (_imgIdsQueue.isEmpty())
        return false;
    *entry = _imgIdsQueue.dequeue();
    return true;
}

bool APPConfig::printQueueIsEmpty()
{
    QMutexLocker lock(mutexM);
    return _imgIdsQueue.isEmpty();
}

QStringList APPConfig::takeAllPrintEntries()
{
    QMutexLocker lock(mutexM);
    const QStringList entries = _imgIdsQueue;
    _imgIdsQueue.clear();
    return entries;
}
