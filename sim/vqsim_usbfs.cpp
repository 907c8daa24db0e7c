// vqsim-usbfs PROGRAM [ARGS...]
//
// Runs PROGRAM, unmodified and on the real libusb, against the simulated
// printer: a umockdev testbed shows a root hub and the printer
// 0x8866:VQSIM_PRODUCT_ID on bus 1 as device 5, and the usbdevfs ioctls on
// its device node are answered here, by the same device model the libusb
// stand-in uses. The VQSIM_* variables mean what they mean to the stand-in.
// The exit status is PROGRAM's (128 + the signal when a signal ended it).
//
// This file is the launcher: it starts PROGRAM in the testbed, passes
// signals on, waits, and cleans up; the testbed is sim/usbfstestbed.*.
//
// PROGRAM runs with the umockdev preload in LD_PRELOAD. A program built with
// AddressSanitizer refuses a library preloaded before its runtime unless
// ASAN_OPTIONS holds verify_asan_link_order=0; the launcher adds it.

#include "sim/report.h"
#include "sim/usbfsdevice.h"
#include "sim/usbfstestbed.h"

#include <glib-unix.h>

#include <QByteArray>
#include <QString>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <utility>

namespace {

using vqsim::report;

const char kTool[] = "vqsim-usbfs";

struct Run {
    GMainLoop* loop = nullptr;
    GPid child = 0;
    int status = 0;
};

void onChildExit(GPid, gint waitStatus, gpointer userData)
{
    auto* run = static_cast<Run*>(userData);
    if (WIFEXITED(waitStatus))
        run->status = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        run->status = 128 + WTERMSIG(waitStatus);
    else
        run->status = 1;
    g_main_loop_quit(run->loop);
}

gboolean forwardSignal(gpointer userData)
{
    // g_unix_signal_add passes no signal number: one source per signal.
    auto* pair = static_cast<std::pair<Run*, int>*>(userData);
    if (pair->first->child > 0)
        ::kill(pair->first->child, pair->second);
    return G_SOURCE_CONTINUE;
}

gchar** childEnvironment()
{
    const QByteArray testbedPreload(vqsim::UsbfsTestbed::kPreload);
    gchar** env = g_get_environ();
    const gchar* preload = g_environ_getenv(env, "LD_PRELOAD");
    const QByteArray preloads = preload && *preload ? testbedPreload + ":" + preload : testbedPreload;
    env = g_environ_setenv(env, "LD_PRELOAD", preloads.constData(), TRUE);
    const QByteArray asan = g_environ_getenv(env, "ASAN_OPTIONS");
    if (!asan.contains("verify_asan_link_order")) {
        const QByteArray options = asan.isEmpty() ? QByteArray("verify_asan_link_order=0")
                                                  : asan + ":verify_asan_link_order=0";
        env = g_environ_setenv(env, "ASAN_OPTIONS", options.constData(), TRUE);
    }
    return env;
}

// Waits for the started program to end, passing SIGTERM, SIGINT and SIGHUP
// on to it meanwhile.
void waitForProgram(Run* run)
{
    g_child_watch_add(run->child, onChildExit, run);
    std::pair<Run*, int> term{run, SIGTERM}, interrupt{run, SIGINT}, hangup{run, SIGHUP};
    const guint sources[] = {g_unix_signal_add(SIGTERM, forwardSignal, &term),
                             g_unix_signal_add(SIGINT, forwardSignal, &interrupt),
                             g_unix_signal_add(SIGHUP, forwardSignal, &hangup)};
    g_main_loop_run(run->loop);
    for (guint source : sources)
        g_source_remove(source);
}

// Runs `argv` (the program and its arguments, null-terminated) to its end.
// Its exit status, or 127 when it cannot be started.
int runProgram(char** argv)
{
    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    gchar** env = childEnvironment();
    GError* error = nullptr;
    const bool started = g_spawn_async(
        nullptr, argv, env, GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CHILD_INHERITS_STDIN),
        nullptr, nullptr, &run.child, &error);
    g_strfreev(env);
    int status = 127;
    if (started) {
        waitForProgram(&run);
        status = run.status;
    } else {
        report(QString("cannot run %1: %2").arg(QString::fromLocal8Bit(argv[0]), error->message), kTool);
        g_clear_error(&error);
    }
    g_main_loop_unref(run.loop);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: vqsim-usbfs PROGRAM [ARGS...]\n");
        return 2;
    }

    vqsim::UsbfsDevice device(vqsim::DeviceSettings::fromEnvironment());
    int status = 1;
    {
        // Built before the program's environment is taken: it sets UMOCKDEV_DIR.
        vqsim::UsbfsTestbed testbed(&device);
        QString reason;
        if (!testbed.setUp(&reason)) {
            report(reason, kTool);
            return 1;
        }
        status = runProgram(argv + 1);
    }
    device.finish();
    return status;
}
