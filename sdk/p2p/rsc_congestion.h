// Reliable stream congestion control: the cubic window (integer arithmetic) and the retransmission
// time-out estimator. Pure functions of their inputs, so the send path and the tests share them.
#pragma once

#include <stdint.h>

enum : uint32_t {
    RSC_CWND_INITIAL = 1000,
    RSC_CWND_CEILING = 6500,
    RSC_CUBIC_MIN = 10,
    RSC_RTO_INITIAL_US = 500000,
    RSC_RTO_MAX_US = 8000000,
    RSC_RTT_G_US = 100000,
};

// Floor of the real cube root, bit by bit in groups of three bits (no floating point).
uint32_t rsc_Cbrt(uint32_t v);

// The window sinceEpochUs after the last reduction to wmax, capped by sendQCount + 1 and the ceiling and
// at least the floor 10 / liveChannels (1 when that is 0). Products are 64-bit: the values are those of
// the 32-bit form wherever that one does not overflow (about 129 s past the plateau).
uint16_t rsc_Cubic_Window(uint16_t wmax, uint64_t sinceEpochUs, int32_t sendQCount, uint32_t liveChannels);

struct RSCRtt {
    uint32_t srtt;    // µs; 0 before the first sample
    uint32_t rttvar;  // µs
    uint32_t rto;     // µs
};
void rsc_Rtt_Init(RSCRtt *r);
void rsc_Rtt_Sample(RSCRtt *r, uint32_t sampleUs);
// Time-out of a node transmitted `transmits` times: RTO doubled per retransmission, up to the ceiling.
uint32_t rsc_Rto_Backoff(uint32_t rto, uint8_t transmits);
