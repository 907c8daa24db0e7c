#pragma once

#include <QString>

namespace vqsim {

// The simulator's diagnostics: one line on standard error, after the name of
// the part that speaks ("vqsim" for the printer, or a tool's own name), so
// they stand apart from the output of the program that drives the printer.
void report(const QString& text, const char* speaker = "vqsim");

} // namespace vqsim
