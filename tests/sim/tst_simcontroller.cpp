#include "vqtest.h"

#include "sim/controller.h"
#include "sim/rle.h"
#include "unitbytes.h"

using unitbytes::Unit;

namespace {

// Runs events through a controller: "T<n>" a task of n units, "U" a sound
// unit, "S" a status request. Returns "rec/state" for every status answer.
QStringList run(vqsim::Controller& c, const QString& events)
{
    QStringList answers;
    for (const QString& e : events.split(' ', Qt::SkipEmptyParts)) {
        if (e.startsWith('T'))
            c.receive(unitbytes::taskFrame(e.mid(1).toInt()));
        else if (e == "U")
            c.receive(unitbytes::frame(0x41, unitbytes::payload(unitbytes::filledUnit(32, 2, 0x10))));
        else if (e == "S")
            c.receive(unitbytes::statusFrame());
        while (c.hasReply()) {
            const QByteArray reply = c.takeReply();
            if (reply.size() == 42)
                answers << QString("%1/%2").arg(int(quint8(reply.at(32)))).arg(int(quint8(reply.at(9))));
        }
    }
    return answers;
}

} // namespace

class SimControllerTest : public QObject {
    Q_OBJECT
private slots:
    void repliesHaveFixedLengths_data();
    void repliesHaveFixedLengths();
    void receptionFlagFollowsTheTask_data();
    void receptionFlagFollowsTheTask();
    void malformedUnitsAreCountedNotFatal_data();
    void malformedUnitsAreCountedNotFatal();
    void framesAreFoundInTheByteStream();
    void runLengthCode_data();
    void runLengthCode();
    void runLengthDecodeRefusesWhatNoUnitHolds();
};

void SimControllerTest::repliesHaveFixedLengths_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("replyLength");

    QTest::newRow("status request") << unitbytes::statusFrame() << 42;
    QTest::newRow("print task") << unitbytes::taskFrame(3) << 13;
    QTest::newRow("image unit") << unitbytes::frame(0x41, unitbytes::payload(unitbytes::filledUnit(32, 1, 0))) << 13;
    QTest::newRow("end of job") << unitbytes::frame(0x42, QByteArray(4, '\0')) << 0;
    QTest::newRow("buffer reset") << unitbytes::frame(0x43, QByteArray(4, '\0')) << 0;
}

void SimControllerTest::repliesHaveFixedLengths()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, replyLength);
    vqsim::Controller c;
    c.receive(unitbytes::taskFrame(1));
    c.discardReplies();
    c.receive(frame);
    if (replyLength == 0) {
        QVERIFY(!c.hasReply());
        return;
    }
    const QByteArray reply = c.takeReply();
    QCOMPARE(reply.size(), replyLength);
    QCOMPARE(quint8(reply.at(0)), quint8(0x7E));
    QCOMPARE(reply.at(1), frame.at(1));
    QCOMPARE(qFromLittleEndian<quint32>(reply.constData() + 4), quint32(replyLength));
    QVERIFY(!c.hasReply());
}

void SimControllerTest::receptionFlagFollowsTheTask_data()
{
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("printPolls");
    QTest::addColumn<QString>("options");
    QTest::addColumn<QStringList>("answers");

    QTest::newRow("idle") << "S" << 1 << "" << QStringList{"0/2"};
    QTest::newRow("received after the last unit")
        << "T2 U S U S S" << 1 << "" << QStringList{"0/2", "1/6", "0/2"};
    QTest::newRow("three printing polls") << "T1 U S S S S" << 3 << "" << QStringList{"1/6", "1/6", "1/6", "0/2"};
    QTest::newRow("printed between polls") << "T1 U S S" << 0 << "" << QStringList{"0/2", "0/2"};
    QTest::newRow("task of no units") << "T0 S S" << 1 << "" << QStringList{"1/6", "0/2"};
    QTest::newRow("second page") << "T1 U S S T1 S U S S" << 1 << "" << QStringList{"1/6", "0/2", "0/2", "1/6", "0/2"};
    QTest::newRow("busy") << "S T1 U S S" << 1 << "busy" << QStringList{"1/6", "1/6", "1/6"};
    QTest::newRow("never receives") << "T1 U S S" << 1 << "never-receive" << QStringList{"0/2", "0/2"};
    QTest::newRow("error while printing") << "T1 U S S S" << 2 << "error-state" << QStringList{"1/7", "1/7", "0/2"};
}

void SimControllerTest::receptionFlagFollowsTheTask()
{
    QFETCH(QString, events);
    QFETCH(int, printPolls);
    QFETCH(QString, options);
    vqsim::ControllerOptions o;
    o.printPolls = printPolls;
    o.busy = options == "busy";
    o.neverReceive = options == "never-receive";
    o.errorState = options == "error-state";
    vqsim::Controller c(o);
    QTEST(run(c, events), "answers");
}

void SimControllerTest::malformedUnitsAreCountedNotFatal_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("reason");

    const QByteArray sound = unitbytes::payload(unitbytes::filledUnit(40, 2, 1));
    Unit wrongDpi = unitbytes::filledUnit(32, 1, 0);
    wrongDpi.dpi = 600;
    Unit missingRow = unitbytes::filledUnit(32, 2, 0);
    missingRow.rows.chop(4);
    Unit rowsOfWrongStride = unitbytes::filledUnit(33, 1, 0);
    rowsOfWrongStride.rows = QByteArray(5, '\0');

    QTest::newRow("odd length") << sound.left(sound.size() - 1) << "odd payload length";
    QTest::newRow("run count 0") << QByteArray::fromHex("1300002c") << "run count 0 in pair 1";
    QTest::newRow("descriptor cut short") << QByteArray::fromHex("1000") << "decoded 16 bytes";
    QTest::newRow("DPI_HOR not 300") << unitbytes::payload(wrongDpi) << "DPI_HOR 600";
    QTest::newRow("a row missing") << unitbytes::payload(missingRow) << "2 rows x 4 bytes = 8, but 4 bytes";
    QTest::newRow("rows not whole words") << unitbytes::payload(rowsOfWrongStride) << "1 rows x 8 bytes = 8, but 5 bytes";
}

void SimControllerTest::malformedUnitsAreCountedNotFatal()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, reason);
    vqsim::Controller c;
    QCOMPARE(run(c, "T2"), QStringList());
    c.receive(unitbytes::frame(0x41, payload));
    QCOMPARE(run(c, "U S S"), (QStringList{"1/6", "0/2"}));

    const vqsim::PageRecord page = c.pages().value(0);
    QCOMPARE(page.units.size(), 2);
    QCOMPARE(page.malformedCount(), 1);
    QVERIFY2(page.units.at(0).malformed.contains(reason), qPrintable(page.units.at(0).malformed));
    QVERIFY(page.units.at(1).malformed.isEmpty());
    QCOMPARE(page.units.at(1).rows.size(), 2 * 4);
}

void SimControllerTest::framesAreFoundInTheByteStream()
{
    vqsim::Controller c;
    const Unit unit = unitbytes::filledUnit(600, 3, 0x55);
    const QByteArray stream = QByteArray("\x01\x02", 2) + unitbytes::taskFrame(1) + unitbytes::frame(0x41, unitbytes::payload(unit));
    // Cut anywhere, with zero-length pieces between.
    for (int at = 0; at < stream.size(); at += 7) {
        c.receive(stream.mid(at, 7));
        c.receive(QByteArray());
    }
    QCOMPARE(c.droppedBytes(), 2);
    QCOMPARE(c.frames().size(), 2);
    const vqsim::UnitRecord u = c.pages().value(0).units.value(0);
    QVERIFY(u.malformed.isEmpty());
    QCOMPARE(u.Width, quint16(600));
    QCOMPARE(u.rows, unit.rows);
}

void SimControllerTest::runLengthCode_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("pairs");

    QTest::newRow("600 equal bytes") << QByteArray(600, '\x07') << QByteArray::fromHex("ff07ff075a07");
    QTest::newRow("255 equal bytes") << QByteArray(255, '\x07') << QByteArray::fromHex("ff07");
    QTest::newRow("no byte like its neighbour") << QByteArray::fromHex("010201") << QByteArray::fromHex("010101020101");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void SimControllerTest::runLengthCode()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, pairs);
    QCOMPARE(vqsim::runLengthEncode(raw).toHex(), pairs.toHex());
    QByteArray decoded;
    QString error;
    QVERIFY(vqsim::runLengthDecode(pairs, &decoded, &error));
    QCOMPARE(decoded, raw);
}

void SimControllerTest::runLengthDecodeRefusesWhatNoUnitHolds()
{
    // 5 million pairs of 255 would decode to 1.2 GiB.
    QByteArray pairs;
    for (int i = 0; i < 5000000; ++i)
        pairs.append('\xff').append('\x01');
    QByteArray decoded;
    QString error;
    QVERIFY(!vqsim::runLengthDecode(pairs, &decoded, &error));
    QVERIFY2(error.contains("more than a unit can hold"), qPrintable(error));
    QVERIFY(decoded.isEmpty());
}

VQ_TEST_MAIN(SimControllerTest)
#include "tst_simcontroller.moc"
