#include "fuzzsupport.h"

#include "app/appconfig.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace vqfuzz {

namespace {

void quiet(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    // A fatal message still ends the process (Qt aborts after the handler):
    // show why.
    if (type == QtFatalMsg)
        std::fprintf(stderr, "fatal: %s\n", qPrintable(msg));
}

QTemporaryDir* scratch = nullptr;

} // namespace

void start(bool withStation)
{
    if (qgetenv("VQ_IN_SANDBOX") != "1") {
        std::fprintf(stderr, "This fuzz target writes the station's fixed folders; run it through tests/sandbox-run.\n");
        std::exit(2);
    }
    qInstallMessageHandler(quiet);
    if (!withStation)
        return;
    // The station's code runs inside a GUI application; so do its readers here.
    static int argc = 1;
    static char name[] = "vqfuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication app(argc, argv);
    APPConfig::init();
}

QString privateDir()
{
    if (!scratch) {
        scratch = new QTemporaryDir;
        if (!scratch->isValid())
            fail("no private folder", scratch->errorString());
        std::atexit([] { delete scratch; });
    }
    return scratch->path();
}

QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

void fail(const char* what, const QString& detail)
{
    std::fprintf(stderr, "vqfuzz: %s %s\n", what, qPrintable(detail));
    std::abort();
}

} // namespace vqfuzz
