#pragma once

// What the fuzz targets share: the sandbox guard, a quiet log, the station's
// application object and folders, and the end of a run whose property broke.

#include "app/appconfig.h"
#include "vqtest.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vqfuzz {

// Ends the process: the fuzzer keeps the input that did it.
[[noreturn]] inline void fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "vqfuzz: %s %s\n", what, qPrintable(detail));
    std::abort();
}

// Runs only inside tests/sandbox-run (a target writes the station's fixed
// folders); shows no log line but a fatal one.
inline void start()
{
    vqtest::requireSandbox();
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type == QtFatalMsg)
            std::fprintf(stderr, "fatal: %s\n", qPrintable(msg));
    });
    static int argc = 1;
    static char name[] = "vqfuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication app(argc, argv);
    APPConfig::init();
}

} // namespace vqfuzz
