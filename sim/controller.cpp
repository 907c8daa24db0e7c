#include "sim/controller.h"

#include "sim/report.h"
#include "sim/rle.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <cstring>

namespace vqsim {

namespace {

const quint8 kHead = 0x7E;
const quint8 kStatusRequest = 0x12;
const quint8 kTask = 0x40;
const quint8 kUnit = 0x41;
const quint8 kEndOfJob = 0x42;
const quint8 kFifoReset = 0x43;
const int kDescriptorSize = 19;
const int kStatusReplySize = 42;

// Header and trailer shaped like a command frame: head, type, two reserved
// bytes, FrameSize; a zero checksum after the payload.
QByteArray replyFrame(quint8 type, const QByteArray& payload)
{
    QByteArray frame(8, '\0');
    frame[0] = static_cast<char>(kHead);
    frame[1] = static_cast<char>(type);
    qToLittleEndian<quint32>(static_cast<quint32>(payload.size() + 12), frame.data() + 4);
    frame += payload;
    frame += QByteArray(4, '\0');
    return frame;
}

float floatAt(const char* p)
{
    const quint32 bits = qFromLittleEndian<quint32>(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

UnitRecord decodeUnit(const QByteArray& payload)
{
    UnitRecord unit;
    QByteArray block;
    QString error;
    if (!runLengthDecode(payload, &block, &error)) {
        unit.malformed = error;
        return unit;
    }
    unit.sha256 = QString::fromLatin1(QCryptographicHash::hash(block, QCryptographicHash::Sha256).toHex());
    if (block.size() < kDescriptorSize) {
        unit.malformed = QString("decoded %1 bytes, fewer than the %2-byte descriptor").arg(block.size()).arg(kDescriptorSize);
        return unit;
    }
    const char* d = block.constData();
    unit.descriptorRead = true;
    unit.SliceNo = static_cast<quint8>(d[0]);
    unit.PosXmm = floatAt(d + 1);
    unit.PosYmm = floatAt(d + 5);
    unit.Head = static_cast<quint8>(d[9]);
    unit.ColorDepth = static_cast<quint8>(d[10]);
    unit.Type = qFromLittleEndian<quint16>(d + 11);
    unit.DPI_HOR = qFromLittleEndian<quint16>(d + 13);
    unit.Width = qFromLittleEndian<quint16>(d + 15);
    unit.Height = qFromLittleEndian<quint16>(d + 17);

    const qint64 expected = static_cast<qint64>(unit.Height) * unit.stride();
    const qint64 present = block.size() - kDescriptorSize;
    if (unit.DPI_HOR != 300)
        unit.malformed = QString("DPI_HOR %1, expected 300").arg(unit.DPI_HOR);
    else if (expected != present)
        unit.malformed = QString("%1 rows x %2 bytes = %3, but %4 bytes follow the descriptor")
                             .arg(unit.Height).arg(unit.stride()).arg(expected).arg(present);
    else
        unit.rows = block.mid(kDescriptorSize);
    return unit;
}

Controller::Controller(const ControllerOptions& options)
    : m_options(options)
{
    if (m_options.busy)
        m_phase = Phase::Printing;
}

void Controller::receive(const QByteArray& bytes)
{
    m_pending += bytes;
    for (;;) {
        int start = 0;
        while (start < m_pending.size() && static_cast<quint8>(m_pending.at(start)) != kHead)
            ++start;
        if (start > 0) {
            if (!m_dropping)
                report(QString("bytes outside any frame dropped (first 0x%1)")
                           .arg(static_cast<quint8>(m_pending.at(0)), 2, 16, QChar('0')));
            m_dropping = true;
            m_droppedBytes += start;
            m_pending.remove(0, start);
        }
        if (m_pending.size() < 8)
            return;
        const quint32 size = qFromLittleEndian<quint32>(m_pending.constData() + 4);
        if (size < 12 || size > static_cast<quint32>(kMaxFrameSize)) {
            if (!m_dropping)
                report(QString("frame size %1 out of range, looking for the next frame").arg(size));
            m_dropping = true;
            ++m_droppedBytes;
            m_pending.remove(0, 1);
            continue;
        }
        if (static_cast<quint32>(m_pending.size()) < size)
            return;
        m_dropping = false;
        Frame frame;
        frame.type = static_cast<quint8>(m_pending.at(1));
        frame.payload = m_pending.mid(8, static_cast<int>(size) - 12);
        m_pending.remove(0, static_cast<int>(size));
        if (m_keepFrames)
            m_frames.append(frame);
        handleFrame(frame);
    }
}

void Controller::handleFrame(const Frame& frame)
{
    switch (frame.type) {
    case kStatusRequest:
        answerStatus();
        break;
    case kTask:
        handleTask(frame.payload);
        queueShortReply(kTask);
        break;
    case kUnit:
        handleUnit(frame.payload);
        queueShortReply(kUnit);
        break;
    case kEndOfJob:
    case kFifoReset:
        break;
    default:
        report(QString("command 0x%1 not handled").arg(frame.type, 2, 16, QChar('0')));
        break;
    }
}

void Controller::handleTask(const QByteArray& payload)
{
    handOverChangedPages();
    if (payload.size() != 6) {
        report(QString("print task of %1 bytes, expected 6; ignored").arg(payload.size()));
        return;
    }
    if (m_phase != Phase::Idle && !m_options.busy)
        report("print task while the previous page is unfinished");
    for (PageRecord& earlier : m_pages)
        for (UnitRecord& unit : earlier.units)
            unit.rows.clear();
    PageRecord page;
    page.number = m_pages.size() + 1;
    page.TotalPages = qFromLittleEndian<quint16>(payload.constData());
    page.PageNo = qFromLittleEndian<quint16>(payload.constData() + 2);
    page.SliceAmount = static_cast<quint8>(payload.at(4));
    page.TemplateSum = static_cast<quint8>(payload.at(5));
    m_pages.append(page);
    m_changedPages.append(page.number);
    if (!m_options.busy)
        m_phase = Phase::Receiving;
    if (page.SliceAmount == 0)
        unitArrived();
}

void Controller::handleUnit(const QByteArray& payload)
{
    if (m_pages.isEmpty()) {
        ++m_strayUnits;
        report("image unit without a print task; ignored");
        return;
    }
    PageRecord& page = m_pages.last();
    UnitRecord unit = decodeUnit(payload);
    if (!unit.malformed.isEmpty())
        report(QString("page %1 unit %2 malformed: %3").arg(page.number).arg(page.units.size() + 1).arg(unit.malformed));
    page.units.append(unit);
    if (!m_changedPages.contains(page.number))
        m_changedPages.append(page.number);
    if (page.units.size() > page.SliceAmount)
        report(QString("page %1: unit %2 beyond the task's %3").arg(page.number).arg(page.units.size()).arg(page.SliceAmount));
    else
        unitArrived();
}

// Called for every unit that belongs to the task; once all have come the
// page is received and prints during the next printPolls status requests.
void Controller::unitArrived()
{
    const PageRecord& page = m_pages.last();
    if (page.units.size() < page.SliceAmount || m_phase != Phase::Receiving)
        return;
    handOverChangedPages();
    if (m_options.neverReceive || m_options.printPolls <= 0) {
        m_phase = Phase::Idle;
    } else {
        m_phase = Phase::Printing;
        m_pollsLeft = m_options.printPolls;
    }
}

void Controller::answerStatus()
{
    StatusAnswer answer;
    if (!m_script.isEmpty()) {
        answer = m_script.takeFirst();
    } else if (m_phase == Phase::Printing) {
        answer.templateRec = 1;
        answer.sysState = m_options.errorState ? kError : kPrinting;
        if (!m_options.busy && --m_pollsLeft <= 0)
            m_phase = Phase::Idle;
    } else {
        answer.templateRec = 0;
        answer.sysState = kStandby;
    }

    QByteArray status(30, '\0');
    status[0] = 1; // UsbState: connected
    status[1] = static_cast<char>(answer.sysState);
    status[24] = static_cast<char>(answer.templateRec);
    status[25] = static_cast<char>(m_phase == Phase::Idle ? 0 : 1); // TemplateUse
    QByteArray reply = replyFrame(kStatusRequest, status);
    if (m_options.garbageHeader) {
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 38, 39, 40, 41})
            reply[i] = static_cast<char>(m_random() & 0xFF);
    }
    Q_ASSERT(reply.size() == kStatusReplySize);
    m_replies.enqueue(reply);
}

void Controller::queueShortReply(quint8 type)
{
    m_replies.enqueue(replyFrame(type, QByteArray(1, '\0')));
}

void Controller::handOverChangedPages()
{
    if (m_pageObserver) {
        for (int number : m_changedPages)
            m_pageObserver(m_pages.at(number - 1));
    }
    m_changedPages.clear();
}

} // namespace vqsim
