// Counts the reliable stream's packets as they enter the link, read from the stream's side of the wire
// format (magic 0xf1c2975a at the start, type at byte 4, transmit count at byte 16): data packets, how many
// of them were retransmissions, and acknowledgements.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkemu {

struct RscTally {
    uint64_t data = 0;           // DATA and PRIVATE_DATA
    uint64_t retransmitted = 0;  // of those, sent before
    uint64_t acks = 0;           // DATA_ACK, PRIVATE_DATA_ACK, ACK2, SACK2
    uint64_t other = 0;          // heartbeats, closes, anything else

    void count(const uint8_t *p, size_t n) {
        if (n < 20 || p[0] != 0x5a || p[1] != 0x97 || p[2] != 0xc2 || p[3] != 0xf1) {
            ++other;
            return;
        }
        switch (p[4]) {
            case 2:
            case 16:
                ++data;
                retransmitted += p[16] > 1;
                break;
            case 66:
            case 69:
            case 70:
            case 80:
                ++acks;
                break;
            default:
                ++other;
        }
    }
};

}  // namespace linkemu
