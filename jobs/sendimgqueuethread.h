#pragma once

#include "app/stationquit.h"
#include "imaging/cappbmpcut.h"

#include <QImage>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

// Phases of the wait for a printed page.
enum TimerCheckItem_t {
    TIMER_CHECK_COMM_OVT = 0,   // waiting for the printer to report the task received
    TIMER_CHECK_PRINT_WAIT = 1, // task received, waiting for the page to be printed
    TIMER_QUIT = 2,             // page printed
};

// The print dispatch thread: drives the prepared pages to the printer one
// after another and reports the page number and the printer's state.
class SendImgQueueThread : public QThread {
    Q_OBJECT
public:
    SendImgQueueThread();

    // The loop ends at its next test: within one idle poll, or after the
    // page in progress.
    void stop();

    // One page whose print source is a single bitmap; all its units go to
    // head 1.
    void _handleImgFile(QString originalImage_path);
    // One page for two heads: elements "path:::key" for the composite (-1)
    // and heads 0 and 1. Units are found on the composite and each head's
    // crop of a unit is sent when it holds a dot, head 0 first.
    void _handleMuiltImgFile(QStringList originalImage_list);

    // Polls the printer every 2 seconds after a page has been sent, until the
    // printer reports it received and printed (true). A printer that cannot
    // be read, or does not report the task received by the fourth poll, ends
    // the run: end-of-job commands, link closed, quit (false).
    bool checkPrintJob();

    // Codes one unit, logs it and, when sending is on, sends it after a
    // 500 ms pause. False when the printer did not take the unit whole;
    // whether a unit it took was printed is for the page's supervision.
    bool Send_Image_Buff(const QImage& croppedImage, quint8 SliceNo, quint16 Width, quint16 Height, float PosXmm,
                         float PosYmm, quint8 pt);
    // True when a 1-bit unit holds no dot to print.
    bool isAllBlack(const QImage& image);

    std::atomic<bool> m_bStop{false};
    std::atomic<int> i_num{0};

signals:
    void handleCnt(int);
    void handleNum(int);
    void handleState(QString);

protected:
    void run() override;

private:
    // The end of a command-line job: everything prepared has been started.
    static bool _jobFinished(int started);
    void _cleanUpAfter(const QString& entry, const QStringList& parts);

    // The steps of a two-head page.
    struct HeadUnits;
    static bool _loadHeadDots(const QStringList& elements, int pageNo, QMap<int, QImage>* dots);
    static bool _saveHeadDots(QMap<int, QImage>* dots);
    HeadUnits _cropHeadUnits(const QMap<int, QImage>& dots, const BMP_CutResult_t& cut);
    bool _sendHeadUnits(const HeadUnits& units, const BMP_CutResult_t& cut);

    int _startPage();
    // Writes the dot image as the mono page file the cutter reads; a file
    // left by an earlier page is removed first, so it is never cut again.
    static bool _saveMonoPage(const QImage& dots);
    // Cuts the mono page file; false when it cannot be read or holds no unit.
    bool _cutMonoPage(BMP_CutResult_t* result);
    // Status request before a task: true when the printer holds none. A
    // printer that cannot be read or is busy ends the run.
    bool _abortUnlessPrinterIsFree(const char* busyStateText);
    // False when the task did not reach the printer whole.
    bool _sendTask(int SliceAmount);
    static QByteArray _encodeUnit(const QImage& croppedImage, quint8 SliceNo, quint16 Width, quint16 Height,
                                  float PosXmm, float PosYmm, quint8 pt);
    // False when sending is on and the unit did not reach the printer whole.
    static bool _transmitUnit(QByteArray payload);
    // A task or unit cut short: the page cannot print as sent, and the
    // printer must drop what it holds of it. Ends the run.
    void _stopCutPage();
    // The printer did not get the page's units: it drops what it holds and
    // the run ends.
    void _abortUnitsNotTaken(StationQuit::Ending ending);
    static void _logUnit(const char* prefix, int i, const ImageUnitInfo_t& u);
    void _finishPage();

    void _abortPrint(const char* stateText, StationQuit::Ending ending);
    bool _runEnding() const;

    // The page in hand went to the printer, or had nothing to print; a page
    // the loop finishes without it counts as not printed.
    bool m_pageDone = false;
};
