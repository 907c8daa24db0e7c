#pragma once

#include <QByteArray>
#include <QString>

namespace vqsim {

// The printer's run-length code: a sequence of (count, value) byte pairs,
// each standing for `count` copies of `value`, counts 1..255.

// Expands `pairs` into `out`. False, with the reason in `error`, when the
// input is not a valid sequence of pairs (odd length, a zero count); `out`
// is then empty.
bool runLengthDecode(const QByteArray& pairs, QByteArray* out, QString* error);

// Codes `raw` greedily from its first byte, splitting runs at 255. Used by
// tests and tools that need to produce what the station sends.
QByteArray runLengthEncode(const QByteArray& raw);

} // namespace vqsim
