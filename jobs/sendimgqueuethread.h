#pragma once

#include <QString>
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

    void stop();

    // Polls the printer every 2 seconds after a page has been sent, until the
    // printer reports it received and printed (true). A printer that cannot
    // be read, or does not report the task received by the fourth poll, ends
    // the run: end-of-job commands, link closed, quit (false).
    bool checkPrintJob();

    std::atomic<bool> m_bStop{false};
    std::atomic<int> i_num{0};

signals:
    void handleCnt(int);
    void handleNum(int);
    void handleState(QString);

protected:
    void run() override;

private:
    void _abortPrint(const char* stateText);
};
