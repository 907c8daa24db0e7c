// Linked into every program of a ThreadSanitizer build, and only there.
//
// Qt's mutexes and wait conditions do their locking inside libQt5Core, which
// is not built for ThreadSanitizer: it cannot see a QMutex order anything,
// and reports data that the mutex does protect (the station's two queues,
// the log file) as raced. The calls our own code makes are caught here, told
// to ThreadSanitizer as the acquire and release they are, and passed on to
// Qt unchanged. Qt's calls among its own functions are not caught (they are
// bound inside the library); what they synchronise is Qt's own business.

#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

namespace {

template <class Function>
Function qtOwn(const char* symbol)
{
    void* address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "qtlocks: %s not found in Qt\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = qtOwn<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    real(this);
    __tsan_acquire(this);
}

void QMutex::unlock() noexcept
{
    static const auto real = qtOwn<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    real(this);
}

// The wait gives the mutex up and takes it again before it returns. (The
// station takes no other lock or wait of Qt's.)
bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    static const auto real =
        qtOwn<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = real(this, lockedMutex, deadline);
    __tsan_acquire(lockedMutex);
    return woken;
}
