#include "vqtest.h"

#include "app/appconfig.h"
#include "app/outputmessage.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

// Runs fn with the process's standard output sent to a file, and returns what
// was written there.
template <typename Fn>
QByteArray standardOutputOf(Fn fn)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "cannot capture";
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(capture.handle(), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    capture.seek(0);
    return capture.readAll();
}

QByteArray todaysLog()
{
    QFile file(logFilePath(QDateTime::currentDateTime()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class OutputMessageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void gbkCodecIsAvailable();
    void lineLayout_data();
    void lineLayout();
    void handlerAppendsToTheDaysFileAndEchoesTheMessage();
    void percentSignIsEchoedLiterally();
    void twoThreadsWriteWholeLines();
};

void OutputMessageTest::initTestCase() { APPConfig::init(); }

void OutputMessageTest::init() { QFile::remove(logFilePath(QDateTime::currentDateTime())); }

void OutputMessageTest::gbkCodecIsAvailable()
{
    // Without it the log files would be written in other bytes than their
    // readers expect; the station then writes no file at all.
    QVERIFY2(QTextCodec::codecForName("GBK"), "Qt has no GBK codec on this machine");
}

void OutputMessageTest::lineLayout_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray stamp = "2024-03-07 09:05:03";
    QTest::newRow("debug") << int(QtDebugMsg) << "abc" << stamp + " Debug: abc\r\n";
    QTest::newRow("warning") << int(QtWarningMsg) << "w" << stamp + " Warning: w\r\n";
    QTest::newRow("critical") << int(QtCriticalMsg) << "c" << stamp + " Critical: c\r\n";
    QTest::newRow("fatal") << int(QtFatalMsg) << "f" << stamp + " Fatal: f\r\n";
    QTest::newRow("info has two blanks") << int(QtInfoMsg) << "i" << stamp + "  i\r\n";
    QTest::newRow("chinese in gbk") << int(QtDebugMsg) << QString::fromUtf8("打印中")
                                    << stamp + " Debug: \xb4\xf2\xd3\xa1\xd6\xd0\r\n";
}

void OutputMessageTest::lineLayout()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QByteArray, bytes);
    const QDateTime when(QDate(2024, 3, 7), QTime(9, 5, 3));
    QCOMPARE(logFileLine(QtMsgType(type), message, when), bytes);
}

void OutputMessageTest::handlerAppendsToTheDaysFileAndEchoesTheMessage()
{
    const QByteArray echoed = standardOutputOf([] {
        outputMessage(QtDebugMsg, QMessageLogContext(), "first");
        outputMessage(QtDebugMsg, QMessageLogContext(), QString::fromUtf8("切换成功！"));
    });

    QCOMPARE(echoed, QByteArray("first\n") + QString::fromUtf8("切换成功！").toUtf8() + "\n");
    const QRegularExpression line(QString::fromLatin1(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Debug: first\r\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Debug: \xc7\xd0\xbb\xbb\xb3\xc9\xb9\xa6\xa3\xa1\r\n$"));
    const QByteArray log = todaysLog();
    QVERIFY2(line.match(QString::fromLatin1(log)).hasMatch(), log.constData());
}

void OutputMessageTest::percentSignIsEchoedLiterally()
{
    const QByteArray echoed =
        standardOutputOf([] { outputMessage(QtDebugMsg, QMessageLogContext(), "100%s done %d %1"); });
    QCOMPARE(echoed, QByteArray("100%s done %d %1\n"));
    QVERIFY(todaysLog().endsWith(" Debug: 100%s done %d %1\r\n"));
}

void OutputMessageTest::twoThreadsWriteWholeLines()
{
    constexpr int perThread = 400;
    auto writer = [](const QString& who) {
        return QThread::create([=] {
            for (int i = 0; i < perThread; ++i)
                outputMessage(QtDebugMsg, QMessageLogContext(), QString("%1 line %2 of a longer message").arg(who).arg(i));
        });
    };
    standardOutputOf([&] {
        QScopedPointer<QThread> a(writer("alpha")), b(writer("beta"));
        a->start();
        b->start();
        a->wait();
        b->wait();
    });

    const QList<QByteArray> lines = todaysLog().split('\n');
    QCOMPARE(lines.size(), 2 * perThread + 1);
    QVERIFY(lines.last().isEmpty());
    const QRegularExpression whole("^[0-9: -]{19} Debug: (alpha|beta) line \\d+ of a longer message\r$");
    for (int i = 0; i < 2 * perThread; ++i)
        QVERIFY2(whole.match(QString::fromLatin1(lines.at(i))).hasMatch(), lines.at(i).constData());
}

VQ_TEST_MAIN(OutputMessageTest)
#include "tst_outputmessage.moc"
