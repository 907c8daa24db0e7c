// The simulated printer's frame parser on arbitrary bytes, as OUT transfers:
// the first byte picks the controller's scenario, the second the transfer
// size the rest arrives in (frames split across transfers, several frames in
// one).

#include "fuzzsupport.h"

#include "sim/controller.h"

namespace {

// The controller's replies: a 42-byte status, or a 13-byte acknowledgement.
bool isReply(const QByteArray& reply)
{
    return reply.size() == 42 || reply.size() == 13;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    vqsim::ControllerOptions options;
    options.busy = data[0] & 1;
    options.neverReceive = data[0] & 2;
    options.errorState = data[0] & 4;
    options.garbageHeader = data[0] & 8;
    options.printPolls = (data[0] >> 4) & 3;
    const int transfer = data[1] + 1;

    vqsim::Controller controller(options);
    controller.setKeepFrames(data[0] & 0x40);
    const QByteArray stream = vqfuzz::bytes(data + 2, size - 2);
    for (int at = 0; at < stream.size(); at += transfer) {
        controller.receive(stream.mid(at, transfer));
        while (controller.hasReply())
            if (!isReply(controller.takeReply()))
                vqfuzz::fail("a reply of the wrong size");
    }
    return 0;
}
