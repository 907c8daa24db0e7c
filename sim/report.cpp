#include "sim/report.h"

#include <cstdio>

namespace vqsim {

void report(const QString& text, const char* speaker)
{
    std::fprintf(stderr, "%s: %s\n", speaker, qPrintable(text));
}

} // namespace vqsim
