#pragma once

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QQueue>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>

#include "printer/usbdevice.h"

// One slice of the print template, in 600-dpi dots: the source rectangle
// (x, y, width, height) on the page goes to (new_x, new_y) in the print
// source of head pt.
struct SliceArea_t {
    int new_x = 0;
    int new_y = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int pt = 0;
};

struct SlicePrimitive_t {
    quint32 SortNo = 0;
    quint32 PrimitiveCnt = 0;
    int Header = 0;
    int DoubleSort = 0;
};

class SendImgQueueThread;
class HandleImgQueueThread;
class FolderMonitoring;
class PSCmdSendThread;

// Process-wide state shared by the windows and the worker threads, and the
// station's fixed paths. Never instantiated.
//
// The two queues are guarded by mutexM, held for single queue operations only.
// Counters and flags that one thread writes and another reads are atomic; the
// template values are written by the GUI thread only while the workers are
// idle, and reach them through the queues.
class APPConfig {
public:
    APPConfig() = delete;

    static QString APP_str;
    static QString path;
    static QString job;

    static QMutex* mutexM;
    static QWaitCondition* m_waitCondition;
    static QQueue<QString> _imgIdsQueue;
    static QQueue<QString> _imgWorkQueue;

    // The active print template, as the template loader leaves it.
    static QList<SliceArea_t> m_SliceAreas;
    static QList<SliceArea_t> m_SortSliceAreas;
    static QList<SlicePrimitive_t> m_SlicePrimitiveSort;
    static double paperW;
    static double paperH;
    static int pageamount;
    static float offsetx;
    static float offsety;
    static double gXAXIS_DPI;
    static double gYAXIS_DPI;
    static int g_mode;
    static int g_type;
    static double g_Scale;
    static int g_MirroreX;
    static int g_MirroreY;
    static int g_Rotate;
    static std::atomic<bool> g_Debug;
    static std::atomic<bool> g_Send;
    static uint16_t product_id;
    static QString m_Template_path;

    // Job progress, shared between the watcher, the preparation thread, the
    // dispatch thread and the window.
    static std::atomic<int> PrintTotal;
    static std::atomic<int> PrintNo;
    static std::atomic<int> SendTotal;
    static std::atomic<bool> bln_cmd;
    static std::atomic<bool> bln_ImgW_Complete;
    // Pages of the job that could not be printed (refused at intake, or lost
    // on the way to the printer); the end of the job reports them.
    static std::atomic<int> RefusedTotal;

    static USBDevice m_USBDevice;

    static PSCmdSendThread* m_PSCmdSendThread;
    static SendImgQueueThread* m_SendImgQueueThread;
    static FolderMonitoring* m_FolderMonitoring;
    static HandleImgQueueThread* m_HandleImgQueueThread;

    // Every use of the two queues goes through these, each one operation
    // under mutexM.
    //
    // The work queue: page files the watcher found, for the preparation
    // thread. A batch is queued at once and wakes the waiting thread.
    static void enqueueImgWork(const QStringList& paths);
    // Waits for the next page file; false once `stop` is set by
    // stopImgWorkWait.
    static bool takeImgWork(QString* path, const std::atomic<bool>& stop);
    static void stopImgWorkWait(std::atomic<bool>* stop);
    static QStringList takeAllImgWork();

    // The print queue: one print entry per prepared page, for the dispatch
    // thread.
    static void enqueuePrintEntries(const QStringList& entries);
    // False while the queue is empty.
    static bool takePrintEntry(QString* entry);
    static bool printQueueIsEmpty();
    static QStringList takeAllPrintEntries();

    static QString _rootDir() { return QDir::currentPath(); }
    static QString _logs() { return "/usr/share/" + APP_str + "/logs"; }
    static QString config() { return "/usr/share/" + APP_str + "/sys.ini"; }
    static QString syspath() { return "/usr/share/" + APP_str + "/sys"; }
    static QString output() { return "/tmp/" + APP_str + "/"; }
    static QString Template() { return m_Template_path; }

    // Start-up preparation: choose the application word, create the
    // directories, prune old logs and empty the working directory.
    static void init()
    {
        QDir dir;
        APP_str = "vendaquill";
        if (dir.exists("/usr/share/vendaquill"))
            APP_str = "vendaquill";
        if (dir.exists("/usr/share/kestro"))
            APP_str = "kestro";
        if (!dir.exists(_logs()))
            dir.mkpath(_logs());
        if (!dir.exists(output()))
            dir.mkpath(output());
        if (!dir.exists(syspath()))
            dir.mkpath(syspath());
        _removeLogFileIfNeed();
        ClearFiles(output());
    }

    // Deletes the plain files of one directory whose names hold a dot; hidden
    // files and sub-directories stay. True when no such file is left.
    static bool ClearFiles(QString folderpath)
    {
        const QDir::Filters filters = QDir::Files | QDir::Readable;
        QDir dir(folderpath);
        const QStringList names = dir.entryList({"*.*"}, filters, QDir::Name);
        if (names.isEmpty())
            return true;
        for (const QString& name : names) {
            const QString file = folderpath + "/" + name;
            if (QFile::exists(file))
                QFile::remove(file);
        }
        return dir.entryList({"*.*"}, filters, QDir::Name).isEmpty();
    }

    // Deletes everything inside a directory tree but keeps the top directory.
    static void clearFolder(const QDir& folder)
    {
        const QStringList files = folder.entryList(QDir::Files, QDir::Unsorted);
        for (const QString& name : files)
            QFile::remove(folder.absoluteFilePath(name));
        const QStringList dirs = folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QString& name : dirs) {
            clearFolder(QDir(folder.absoluteFilePath(name)));
            folder.rmdir(name);
        }
    }

    // Log files are kept for three weeks (counted in midnights passed since
    // the file was created).
    static void _removeLogFileIfNeed() { _removeLogFileIfNeed(QDateTime::currentDateTime()); }
    static void _removeLogFileIfNeed(const QDateTime& now)
    {
        QDir dir(_logs());
        const QStringList names = dir.entryList({"*.*"}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QString& name : names) {
            const QString file = _logs() + "/" + name;
            if (daysPassed(creationTime(QFileInfo(file)), now) > 21 && QFile::exists(file))
                QFile::remove(file);
        }
    }

    // Calendar days (midnights passed, local time) from one moment to another.
    static qint64 daysPassed(const QDateTime& from, const QDateTime& to)
    {
        return from.toLocalTime().date().daysTo(to.toLocalTime().date());
    }

    static QDateTime creationTime(const QFileInfo& info)
    {
        const QDateTime born = info.birthTime();
        return born.isValid() ? born : info.metadataChangeTime();
    }
};

// A run of 103 hyphens, logged at start, at job end, on aborts and on close.
// A plain C string, so the debug stream writes it without quotes.
inline const char* separatorLine()
{
    static const QByteArray line(103, '-');
    return line.constData();
}
