#pragma once

#include "sim/page.h"

#include <QByteArray>
#include <QList>
#include <QQueue>
#include <QString>

#include <functional>
#include <random>

namespace vqsim {

// How the simulated controller departs from a healthy printer.
struct ControllerOptions {
    bool busy = false;          // TemplateRec 1 from the start, for ever
    bool neverReceive = false;  // TemplateRec stays 0
    bool errorState = false;    // SysState 7 while a page prints
    bool garbageHeader = false; // status replies with random header/trailer
    int printPolls = 1;         // status requests answered 1 after reception
};

// A command frame as the controller took it off the wire.
struct Frame {
    quint8 type = 0;
    QByteArray payload;
};

// One scripted status answer, used before the model's own.
struct StatusAnswer {
    int templateRec = 0;
    int sysState = 2;
};

// The printer's controller, without any USB or files: bytes of OUT transfers
// go in, reply bytes come out, and every print task with its image units is
// kept as a page record. An observer hears which pages changed; what it does
// with them (the simulator writes page files) is its own affair.
//
// Frames are found in the byte stream by their 0x7E head and their 32-bit
// little-endian FrameSize (payload + 12), so a frame may arrive in several
// transfers and zero-length transfers are harmless. Bytes that cannot start
// a frame are dropped and reported once per run of them.
class Controller {
public:
    enum { kStandby = 2, kPrinting = 6, kError = 7 };
    static const int kMaxFrameSize = 64 * 1024 * 1024;

    explicit Controller(const ControllerOptions& options = ControllerOptions());

    void receive(const QByteArray& bytes);

    bool hasReply() const { return !m_replies.isEmpty(); }
    QByteArray takeReply() { return m_replies.dequeue(); }
    void discardReplies() { m_replies.clear(); }

    void scriptStatus(const QList<StatusAnswer>& answers) { m_script = answers; }

    // Called with every page whose record changed, at the moments a page is
    // settled for now: when it has all its units, when the next print task
    // arrives, and when handOverChangedPages() is called. Without an
    // observer the changes are dropped.
    using PageObserver = std::function<void(const PageRecord&)>;
    void setPageObserver(PageObserver observer) { m_pageObserver = std::move(observer); }
    // Hands the pages changed since the last hand-over to the observer now.
    void handOverChangedPages();

    // Frames are kept for tests to look at only while set (the default); a
    // long run turns it off. Unit rows are kept for the newest page only:
    // older pages have been drawn already.
    void setKeepFrames(bool keep) { m_keepFrames = keep; }
    const QList<Frame>& frames() const { return m_frames; }
    const QList<PageRecord>& pages() const { return m_pages; }
    int strayUnits() const { return m_strayUnits; }
    int droppedBytes() const { return m_droppedBytes; }

private:
    enum class Phase { Idle, Receiving, Printing };

    void handleFrame(const Frame& frame);
    void handleTask(const QByteArray& payload);
    void handleUnit(const QByteArray& payload);
    void answerStatus();
    void queueShortReply(quint8 type);
    void unitArrived();

    ControllerOptions m_options;
    QByteArray m_pending;
    bool m_dropping = false;
    int m_droppedBytes = 0;
    QQueue<QByteArray> m_replies;
    QList<StatusAnswer> m_script;
    QList<Frame> m_frames;
    bool m_keepFrames = true;
    QList<PageRecord> m_pages;
    QList<int> m_changedPages;
    PageObserver m_pageObserver;
    int m_strayUnits = 0;
    Phase m_phase = Phase::Idle;
    int m_pollsLeft = 0;
    std::mt19937 m_random{20190866u};
};

// Reads one unit payload: run-length decoding, the descriptor and the checks
// the printer makes (counts 1..255, DPI_HOR 300, rows x stride = bytes after
// the descriptor). A unit that fails comes back with `malformed` set.
UnitRecord decodeUnit(const QByteArray& payload);

} // namespace vqsim
