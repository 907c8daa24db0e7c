#pragma once

// Support shared by the station's tests: the sandbox guard, a test main,
// template files in the sandboxed template folder, captured log lines.

#include <QApplication>
#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace vqtest {

// Stops the program unless it runs inside tests/sandbox-run: a test must never
// write the host's /usr/share or /tmp.
void requireSandbox();

// Writes a template ini into the station's template folder (created when
// missing) and returns its path.
QString writeTemplate(const QString& baseName, const QString& iniText);

// Names the active template in the system ini.
void setActiveTemplate(const QString& baseName);

// Removes every template, the system ini and the working directory's files.
void clearStationFiles();

// A path inside the source tree (for the sample templates under packaging/).
QString sourcePath(const QString& relative);

// Takes every print entry the preparation has queued.
QStringList takePrintQueue();

// The image as the bytes of a file of the given format.
QByteArray encodedImage(const QImage& image, const char* format = "BMP");

// The headers of a 24-bit BMP declaring the given size, and no rows.
QByteArray bmpHeaders(qint32 width, qint32 height);

// Collects the messages logged while it lives (and echoes nothing); restores
// the previous handler when destroyed. Safe to log into from any thread.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    bool contains(const QString& text) const;   // some line contains text
    int count(const QString& text) const;       // lines equal to text
    void clear();

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString&);
    QtMessageHandler m_previous;
};

} // namespace vqtest

#define VQ_TEST_MAIN(TestObject)                           \
    int main(int argc, char** argv)                        \
    {                                                      \
        vqtest::requireSandbox();                          \
        QApplication app(argc, argv);                      \
        TestObject tc;                                     \
        QTEST_SET_MAIN_SOURCE_PATH                         \
        return QTest::qExec(&tc, argc, argv);              \
    }
