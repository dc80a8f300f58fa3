// The test bed's session codec on hostile bytes: as a datagram through framing and every reader of its type,
// and as a TCP stream cut where the first byte says.
#include <cstddef>
#include <cstdint>
#include <span>

#include "psl_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace qvbed::psl;
    const std::span<const uint8_t> bytes(data, size);
    if (auto p = open_datagram(bytes)) {
        for (const Layout &l : layouts())
            if (l.type == p->header.type) (void)read(l, *p);
        (void)classify(*p);
    }
    if (size > 1) {
        const size_t cut = 1 + data[0] % (size - 1);
        StreamFramer f;
        for (const Packet &p : f.feed(bytes.subspan(1, cut - 1))) (void)classify(p);
        for (const Packet &p : f.feed(bytes.subspan(cut))) (void)classify(p);
    }
    return 0;
}
