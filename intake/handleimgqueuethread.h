#pragma once

#include <QImage>
#include <QSet>
#include <QString>
#include <QThread>

#include <atomic>

// Turns the page bitmaps of the image work queue into print sources: each
// page is laid out per print head, resampled to the printer's resolution,
// saved in the working directory and announced to the dispatch thread as one
// print entry on the print queue. It also keeps the page accounting that tells
// the dispatch thread when a command-line job has been fully prepared.
//
// Print entry of a one-head page: the path of its print source. Of a page on
// several heads: "path:::key" for every head key in ascending order (the
// composite under -1 first), joined with "|".
class HandleImgQueueThread : public QThread {
public:
    HandleImgQueueThread();

    // Ends the run loop at its next test; wakes it when it waits for work.
    void stop();

    // Prepares one page once its writer has finished with it.
    void _handleImgFile(QString path);
    // The preparation itself, on the file as it stands: load, lay out,
    // resample, save and queue the print entry. False when the page was
    // refused (its log line says why).
    bool _preparePage(const QString& path);

    // Pages larger than this on either side are refused before decoding; an
    // A3 page at 600 dpi is 7016 x 9921.
    static constexpr int kMaxPageSide = 20000;
    // So are pages of more pixels than this (an A2 page at 600 dpi has 139
    // million): decoded at 4 bytes a pixel, a page stays below a gigabyte.
    // A small compressed file may declare a page of any size.
    static constexpr qint64 kMaxPagePixels = 200000000;

    std::atomic<bool> m_bStop{false};
    // Work-queue entries handled during a command-line job.
    std::atomic<int> i_W{0};

protected:
    void run() override;

private:
    // False when the page must not be read: a bitmap still short of its
    // declared length when the wait ends.
    static bool _waitUntilWritten(const QString& path);
    // The page, or a null image when it is refused (its one log line says
    // why): unreadable, too large to decode, or too large for the layout.
    static QImage _loadPage(const QString& path);
    QString _pageStamp();
    void _finishJobIfPrepared();
    void _clearHandledFromJobFolder();

    // Job-folder files this thread has taken off the work queue (absolute,
    // cleaned paths).
    QSet<QString> m_handled;
    QString m_lastStamp;
};
