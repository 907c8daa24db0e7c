#pragma once

// The station's worker threads are made once and never deleted: they live
// until the process ends, also after the window that started them has gone
// (a window made anew drops its pointers to them). A leak checker watching
// the process is told that this is intended; otherwise nothing happens.

#if defined(__SANITIZE_ADDRESS__)
#define VQ_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VQ_LEAK_CHECKED 1
#endif
#endif

#ifdef VQ_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

template <class T>
T* keptForLife(T* object)
{
#ifdef VQ_LEAK_CHECKED
    __lsan_ignore_object(object);
#endif
    return object;
}
