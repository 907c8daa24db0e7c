#include "vqtest.h"

#include "sim/controller.h"
#include "sim/rle.h"

static QByteArray frame(char type, const QByteArray& payload)
{
    QByteArray f = "\x7e" + QByteArray(1, type) + QByteArray(6, 0) + payload + QByteArray(4, 0);
    qToLittleEndian<quint32>(quint32(f.size()), f.data() + 4);
    return f;
}

// A print task: page 1 of 1, `units` units, one template.
static QByteArray task(int units) { return frame(0x40, QByteArray("\1\0\1\0", 4) + char(units) + '\1'); }

// A unit's payload: the descriptor (at `dpi`, 40 x 2 dots: rows of 8 bytes, not 5, as they take whole 32-bit
// words), then `rowBytes` of 0x55, run-length coded.
static QByteArray unit(quint16 dpi = 300, int rowBytes = 16)
{
    QByteArray descriptor = QByteArray(15, '\0') + QByteArray("\x28\0\2\0", 4);
    qToLittleEndian<quint16>(dpi, descriptor.data() + 13);
    return vqsim::runLengthEncode(descriptor + QByteArray(rowBytes, 0x55));
}

// Plays a script of "T<n>", a task of n units, "U", a sound unit, and
// "S=<TemplateRec>/<SysState>", a status request and its answer; returns the
// script as played.
static QString play(vqsim::Controller& c, const QString& script)
{
    QStringList played = script.split(' ');
    c.discardReplies();
    for (QString& e : played) {
        c.receive(e[0] == 'S' ? frame(0x12, {}) : e == "U" ? frame(0x41, unit()) : task(e.mid(1).toInt()));
        const QByteArray reply = c.hasReply() ? c.takeReply() : QByteArray();
        if (reply.size() == 42) // a status answer
            e = QString("S=%1/%2").arg(int(reply[32])).arg(int(reply[9]));
    }
    return played.join(' ');
}

class SimTest : public QObject {
    Q_OBJECT
private slots:
    // A printer prints a page during `polls` status requests.
    void receptionFlagFollowsThePage_data()
    {
        QTest::addColumn<int>("polls");
        QTest::addColumn<QString>("script");
        QTest::newRow("received after the last unit") << 1 << "S=0/2 T2 U S=0/2 U S=1/6 S=0/2";
        QTest::newRow("printing polls") << 3 << "T1 U S=1/6 S=1/6 S=1/6 S=0/2";
        QTest::newRow("printed between polls") << 0 << "T1 U S=0/2 S=0/2";
        QTest::newRow("task of no units") << 1 << "T0 S=1/6 S=0/2";
        QTest::newRow("second page") << 1 << "T1 U S=1/6 S=0/2 T1 S=0/2 U S=1/6 S=0/2";
        QTest::newRow("busy") << 1 << "S=1/6 T1 U S=1/6 S=1/6";
        QTest::newRow("never-receive") << 1 << "T1 U S=0/2 S=0/2";
        QTest::newRow("error-state") << 1 << "T1 U S=1/7 S=0/2";
    }
    void receptionFlagFollowsThePage()
    {
        const QString printer = QTest::currentDataTag(); // healthy but in the three rows named after a scenario
        QFETCH(int, polls);
        QFETCH(QString, script);
        vqsim::Controller c({printer == "busy", printer == "never-receive", printer == "error-state", false, polls});
        QCOMPARE(play(c, script), script);
    }

    // A bad unit is kept with its reason and still counts as arrived; the
    // sound unit after it is read whole.
    void malformedUnitsAreCountedNotFatal_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("reason");
        QTest::newRow("odd length") << unit().chopped(1) << "odd payload length";
        QTest::newRow("run count 0") << QByteArray::fromHex("1300002c") << "run count 0 in pair 1";
        QTest::newRow("descriptor cut short") << QByteArray::fromHex("1000") << "decoded 16 bytes";
        QTest::newRow("DPI_HOR not 300") << unit(600) << "DPI_HOR 600";
        QTest::newRow("a row missing") << unit(300, 8) << "2 rows x 8 bytes = 16, but 8 bytes";
        // 5 million pairs of 255 stand for 1.2 GiB, more than a byte array
        // holds: refused before anything is allocated.
        QTest::newRow("past 1 GiB") << QByteArray("\xff\x01").repeated(5000000) << "decodes to 1275000000 bytes";
    }
    void malformedUnitsAreCountedNotFatal()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, reason);
        // In transfers of 7 bytes, after bytes that start no frame and heads
        // with impossible sizes.
        const QByteArray stream
            = "\1\2" + task(2) + QByteArray::fromHex("7e0000000b0000007e000000ffffffff") + frame(0x41, payload);
        vqsim::Controller c;
        for (int at = 0; at < stream.size(); at += 7)
            c.receive(stream.mid(at, 7));
        QCOMPARE(c.droppedBytes(), 18);
        QCOMPARE(play(c, "U S=1/6 S=0/2"), QString("U S=1/6 S=0/2"));
        QCOMPARE(c.pages().value(0).units.value(0).malformed.left(reason.size()), reason);
        QCOMPARE(c.pages().value(0).units.value(1).rows, QByteArray(16, 0x55));
    }
};

VQ_TEST_MAIN(SimTest)
#include "tst_sim.moc"
