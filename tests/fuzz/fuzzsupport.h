#pragma once

// What the fuzz targets share: the sandbox guard, a quiet log, the station's
// folders and a private folder for the files a target writes.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace vqfuzz {

// Refuses to run outside tests/sandbox-run, silences the station's log and,
// with `withStation`, creates the application object and the station's
// folders (inside the sandbox) as the station does at start.
void start(bool withStation);

// A folder of this process alone, removed when the process ends normally.
QString privateDir();

// The whole input as a byte array (deep copy: the fuzzer's buffer must not be
// kept).
QByteArray bytes(const uint8_t* data, size_t size);

// Writes bytes to a file; false when it cannot.
bool writeFile(const QString& path, const QByteArray& bytes);

// Ends the process with a message when a property of the code under test
// does not hold: the fuzzer keeps the input that did it.
[[noreturn]] void fail(const char* what, const QString& detail = QString());

} // namespace vqfuzz
