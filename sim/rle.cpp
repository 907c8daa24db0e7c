#include "sim/rle.h"

namespace vqsim {

bool runLengthDecode(const QByteArray& pairs, QByteArray* out, QString* error)
{
    out->clear();
    if (pairs.size() % 2 != 0) {
        *error = QString("odd payload length %1").arg(pairs.size());
        return false;
    }
    qint64 total = 0;
    for (int i = 0; i < pairs.size(); i += 2) {
        const int count = static_cast<quint8>(pairs.at(i));
        if (count == 0) {
            *error = QString("run count 0 in pair %1").arg(i / 2);
            return false;
        }
        total += count;
    }
    // A byte array holds less than 2 GiB; no real unit comes near 1 GiB.
    const qint64 kMaxDecoded = qint64(1) << 30;
    if (total > kMaxDecoded) {
        *error = QString("decodes to %1 bytes, more than a unit can hold").arg(total);
        return false;
    }
    out->reserve(static_cast<int>(total));
    for (int i = 0; i < pairs.size(); i += 2)
        out->append(static_cast<quint8>(pairs.at(i)), pairs.at(i + 1));
    return true;
}

QByteArray runLengthEncode(const QByteArray& raw)
{
    QByteArray pairs;
    if (raw.isEmpty())
        return pairs;
    char value = raw.at(0);
    int count = 1;
    for (int k = 1; k < raw.size(); ++k) {
        if (raw.at(k) == value && count < 255) {
            ++count;
            continue;
        }
        pairs.append(static_cast<char>(count));
        pairs.append(value);
        value = raw.at(k);
        count = 1;
    }
    pairs.append(static_cast<char>(count));
    pairs.append(value);
    return pairs;
}

} // namespace vqsim
