// Cubic window and retransmission time-out of the reliable stream.
#include "p2p/rsc_congestion.h"

uint32_t rsc_Cbrt(uint32_t v) {
    uint64_t x = v;
    uint64_t y = 0;
    for (int s = 30; s >= 0; s -= 3) {
        y <<= 1;
        uint64_t b = (3 * y * (y + 1) + 1) << s;
        if (x >= b) {
            x -= b;
            ++y;
        }
    }
    return (uint32_t)y;
}

uint16_t rsc_Cubic_Window(uint16_t wmax, uint64_t sinceEpochUs, int32_t sendQCount, uint32_t liveChannels) {
    int64_t tk = rsc_Cbrt((uint32_t)(wmax / 2) * 1000u);  // tenths of a second
    int64_t x = (int64_t)sinceEpochUs - tk * 100000;
    int64_t a = x / 1000;
    int64_t b = x / 1000000;
    int64_t c = (b * a) / 1000;
    int64_t d = (c * a) / 1000;
    int64_t e = (d * 400) / 1000;
    int64_t w = (int64_t)wmax + e;
    int64_t n = (int64_t)sendQCount + 1;
    int64_t floor = liveChannels ? RSC_CUBIC_MIN / liveChannels : RSC_CUBIC_MIN;
    if (floor == 0) floor = 1;
    int64_t r;
    if (w >= RSC_CWND_CEILING + 1)
        r = n < (int64_t)RSC_CWND_CEILING ? n : (int64_t)RSC_CWND_CEILING;
    else if (w > n)
        r = n;
    else if (w >= floor)
        r = w;
    else
        r = floor;
    if (r < 1) r = 1;
    return (uint16_t)r;
}

void rsc_Rtt_Init(RSCRtt *r) {
    r->srtt = 0;
    r->rttvar = 0;
    r->rto = RSC_RTO_INITIAL_US;
}

void rsc_Rtt_Sample(RSCRtt *r, uint32_t sampleUs) {
    if (r->srtt == 0) {
        r->srtt = sampleUs ? sampleUs : 1;
        r->rttvar = sampleUs / 2;
    } else {
        uint64_t diff = r->srtt > sampleUs ? r->srtt - sampleUs : sampleUs - r->srtt;
        r->rttvar = (uint32_t)(((uint64_t)r->rttvar * 750 + diff * 250) / 1000);
        r->srtt = (uint32_t)(((uint64_t)sampleUs * 125 + (uint64_t)r->srtt * 875) / 1000);
    }
    uint64_t var = 4ull * r->rttvar;
    if (var < RSC_RTT_G_US) var = RSC_RTT_G_US;
    uint64_t rto = r->srtt + var;
    r->rto = rto > RSC_RTO_MAX_US ? RSC_RTO_MAX_US : (uint32_t)rto;
}

uint32_t rsc_Rto_Backoff(uint32_t rto, uint8_t transmits) {
    uint64_t t = rto;
    for (uint8_t i = 1; i < transmits && t < RSC_RTO_MAX_US; ++i) t *= 2;
    return t > RSC_RTO_MAX_US ? RSC_RTO_MAX_US : (uint32_t)t;
}
