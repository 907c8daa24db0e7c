#pragma once

// What many tests need: the sandbox guard and a test main, the station's
// folders (templates and the active one), captured log lines, pages and their
// file bytes, and the simulated printer in a chosen scenario.

#include <QApplication>
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <cstdlib>

namespace vqtest {

// Stops the program unless it runs inside tests/sandbox-run: a test must never
// write the host's /usr/share or /tmp.
void requireSandbox();

// The station's pauses and the printer's timeouts a thousandth of real time;
// the station's quit requests are counted but do not end the test program.
void useFastClock();

// A path inside the source tree.
QString sourcePath(const QString& relative);

// A sample template of packaging/templates.
QString sampleTemplate(const QString& fileName);

// Writes a template ini into the station's template folder and returns its
// path; setActiveTemplate names it in the system ini.
QString writeTemplate(const QString& baseName, const QString& iniText);
void setActiveTemplate(const QString& baseName);

// Removes every template, the system ini and the working directory's files.
void clearStationFiles();

// A white page of `size` with the rectangles in black.
QImage pageWith(const QSize& size, const QList<QRect>& inked);

// The image as the bytes of a file of the given format.
QByteArray encodedImage(const QImage& image, const char* format = "BMP");

// The headers of a 24-bit BMP declaring the given size, and no rows.
QByteArray bmpHeaders(qint32 width, qint32 height);

// Closes the station's printer link and starts the simulated printer afresh
// in a scenario ("normal", "busy", "short-write:2", ...).
void usePrinter(const char* scenario);

// The command code of every frame the simulated printer took, in order.
QList<int> framesReceived();

// Collects the messages logged while it lives (and echoes nothing); restores
// the previous handler when destroyed. Safe to log into from any thread.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    bool contains(const QString& text) const { return count(text) > 0; } // some line contains text
    int count(const QString& text) const; // lines that contain text

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString&);
    QtMessageHandler m_previous;
};

} // namespace vqtest

// A test program that ends in the middle of its tests (code under test that
// calls exit()) fails instead of passing with status 0.
#define VQ_TEST_MAIN(TestObject)                                           \
    int main(int argc, char** argv)                                        \
    {                                                                      \
        vqtest::requireSandbox();                                          \
        static bool testsEnded = false;                                    \
        std::atexit([] {                                                   \
            if (!testsEnded)                                               \
                std::_Exit(3);                                             \
        });                                                                \
        QApplication app(argc, argv);                                      \
        TestObject tc;                                                     \
        QTEST_SET_MAIN_SOURCE_PATH                                         \
        const int failed = QTest::qExec(&tc, argc, argv);                  \
        testsEnded = true;                                                 \
        return failed;                                                     \
    }
