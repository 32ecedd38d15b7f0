// The request guard under arbitrary bytes. The first byte says where the rest
// is cut in two, the next two set the head and body limits (small, so both are
// reached); the rest is what a client sends. Fed whole, in the two pieces and a
// byte at a time, the guard ends with the same verdict and the same count of
// requests; a verdict other than ok never changes, and the count never goes
// back.
#include "web/request_guard.h"

#include "fuzz_input.h"

using namespace orvalin::web;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 3, qsizetype(size) - 3);
    const qsizetype cut = data[0] * stream.size() / 255;
    const request_limits limits { 1 + 2 * qsizetype(data[1]), qsizetype(data[2]) };

    request_guard whole(limits);
    expect(whole.feed(stream) == whole.state(), "feed does not return the state");

    request_guard two(limits);
    two.feed(stream.first(cut));
    two.feed(stream.sliced(cut));
    expect(two.state() == whole.state(), "two pieces give another verdict");
    expect(two.requests_ended() == whole.requests_ended(), "two pieces end other requests");

    request_guard bytewise(limits);
    for (const char byte : stream) {
        const auto before = bytewise.state();
        const qsizetype ended = bytewise.requests_ended();
        bytewise.feed(QByteArrayView(&byte, 1));
        if (before != request_guard::verdict::ok)
            expect(bytewise.state() == before && bytewise.requests_ended() == ended,
                "a verdict changed");
        expect(bytewise.requests_ended() - ended <= 1, "one byte ended two requests");
        expect(bytewise.requests_ended() >= ended, "the count of requests went back");
    }
    expect(bytewise.state() == whole.state(), "bytes one at a time give another verdict");
    expect(bytewise.requests_ended() == whole.requests_ended(),
        "bytes one at a time end other requests");
    return 0;
}
