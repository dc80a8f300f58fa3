#include "p2p/psl_addrclass.h"

#include <gtest/gtest.h>

namespace {

TEST(AddressClass, PrivateAddressesInEveryForm) {
    const struct {
        const char *text;
        int want;
    } cases[] = {
        {"192.168.1.5", 1},
        {"172.31.0.1", 1},
        {"10.1.2.3", 1},
        {"172.32.0.1", 0},
        {"172.15.255.255", 0},
        {"127.0.0.1", 0},
        {"198.18.0.10", 0},
        {"not an address", 0},
        {"", 0},
        {"10.1.2", 0},
        {"fe80::1", 1},
        {"fe80::1%eth0", 1},
        {"febf::1", 1},
        {"fec0::1", 0},
        {"2001:db8::1", 0},
        {"::ffff:192.168.30.3", 1},
        {"::ffff:10.0.0.1", 1},
        {"::ffff:172.20.1.1", 1},  // the whole 172.16/12 block, not only 172.16/16
        {"::ffff:8.8.8.8", 0},
        {"0000:0000:0000:0000:0000:ffff:c0a8:0001", 1},
        {"0000:0000:0000:0000:0000:ffff:0a63:0001", 1},  // 10.99/16, not only 10.0/16
        {"64:ff9b::c0a8:1e03", 1},
        {"64:ff9b::ac1f:0001", 1},
        {"64:ff9b::0a07:0001", 1},
        {"64:ff9b::0808:0808", 0},
        {"0064:ff9b:0000:0000:0000:0000:c0a8:0001", 1},
        {"64:ff9b::192.168.1.1", 1},
        {":::", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(_PSL_IsPrivateAddress(c.text), c.want) << c.text;
    EXPECT_EQ(_PSL_IsPrivateAddress(nullptr), 0);
    EXPECT_EQ(_PSL_IsPrivateIPv4("fe80::1"), 0);
}

}  // namespace
