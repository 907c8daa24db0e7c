// The simulated printer's run-length decoder and unit reader on arbitrary
// bytes. Whatever decodes must code back to the same rows, and any bytes must
// survive coding and decoding unchanged.

#include "fuzzsupport.h"

#include "sim/controller.h"
#include "sim/rle.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = vqfuzz::bytes(data, size);

    QByteArray decoded;
    QString error;
    if (vqsim::runLengthDecode(input, &decoded, &error)) {
        QByteArray again;
        if (!vqsim::runLengthDecode(vqsim::runLengthEncode(decoded), &again, &error) || again != decoded)
            vqfuzz::fail("decoded bytes do not survive coding", error);
    } else if (!decoded.isEmpty() || error.isEmpty()) {
        vqfuzz::fail("a refused code left bytes or no reason");
    }

    QByteArray roundTrip;
    if (!vqsim::runLengthDecode(vqsim::runLengthEncode(input), &roundTrip, &error) || roundTrip != input)
        vqfuzz::fail("bytes do not survive coding and decoding", error);

    const vqsim::UnitRecord unit = vqsim::decodeUnit(input);
    if (unit.malformed.isEmpty() && unit.rows.size() != unit.Height * unit.stride())
        vqfuzz::fail("a sound unit whose rows do not match its descriptor");
    return 0;
}
