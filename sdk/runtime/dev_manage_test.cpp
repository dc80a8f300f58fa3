#include "runtime/dev_manage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

qv_dev_detail rec(const char *ip, const char *uuid = "") {
    qv_dev_detail r{};
    std::snprintf(r.ip, sizeof r.ip, "%s", ip);
    std::snprintf(r.dev_uuid, sizeof r.dev_uuid, "%s", uuid);
    std::snprintf(r.device_name, sizeof r.device_name, "name-%s", ip);
    r.type = 3;
    return r;
}

int op(const char *ip, int o, const char *uuid = "") {
    qv_dev_detail r = rec(ip, uuid);
    return qv_update_dev_list(&r, o);
}

class DevList : public ::testing::Test {
  protected:
    void SetUp() override { qv_init_dev_list(); }
    void TearDown() override { qv_free_dev_list(); }
};

TEST_F(DevList, OperationsFollowTheirResultTable) {
    struct Step {
        const char *ip;
        int op;
        const char *uuid;
        int want;
    };
    const Step steps[] = {
        {"10.0.0.1", QV_DEV_REMOVE, "", -1},                                   // empty list
        {"10.0.0.1", QV_DEV_ADD, "", 0},     {"10.0.0.1", QV_DEV_ADD, "", 1},  // listed already
        {"10.0.0.1", QV_DEV_REFRESH, "", 0},                                   // no details yet: unchanged
        {"10.0.0.1", QV_DEV_AGE, "", 0},                                       // no details: not aged
        {"10.0.0.9", QV_DEV_FILL, "u9", 0},                                    // unlisted: nothing filled
        {"10.0.0.1", QV_DEV_FILL, "u1", 0},  {"10.0.0.2", QV_DEV_ADD, "", 0},
        {"10.0.0.2", QV_DEV_FILL, "u1", 0},  // another address claiming u1: kept off
        {"10.0.0.9", QV_DEV_AGE, "", 0},     // unlisted
        {"10.0.0.9", QV_DEV_REMOVE, "", 0},  // unlisted, non-empty list
    };
    for (const Step &s : steps) {
        EXPECT_EQ(op(s.ip, s.op, s.uuid), s.want) << s.ip << " op " << s.op;
    }
    unsigned n = 0;
    qv_dev_detail **d = qv_get_dev_detail_list(&n);
    ASSERT_EQ(n, 1u);
    EXPECT_STREQ(d[0]->ip, "10.0.0.1");
    EXPECT_EQ(d[0]->life, QV_DEV_LIFE_FILLED);
    EXPECT_EQ(d[1], nullptr);
    qv_xfree(d);
}

TEST_F(DevList, FillSetsTheCallersFlagOnlyTheFirstTime) {
    op("10.0.0.1", QV_DEV_ADD);
    qv_dev_detail r = rec("10.0.0.1", "u1");
    EXPECT_EQ(qv_update_dev_list(&r, QV_DEV_FILL), 0);
    EXPECT_EQ(r.detail_flag, 1);
    qv_dev_detail again = rec("10.0.0.1", "other");
    EXPECT_EQ(qv_update_dev_list(&again, QV_DEV_FILL), 0);
    EXPECT_EQ(again.detail_flag, 0);
}

TEST_F(DevList, AgeingCountsLifeDownAndRefreshStopsAtZero) {
    op("10.0.0.1", QV_DEV_ADD);
    op("10.0.0.1", QV_DEV_FILL, "u1");
    EXPECT_EQ(op("10.0.0.1", QV_DEV_REFRESH), 0);  // life 20
    int rounds = 0;
    while (op("10.0.0.1", QV_DEV_AGE) == 0 && rounds < 1000) ++rounds;
    EXPECT_EQ(rounds, QV_DEV_LIFE_REFRESHED);  // 20 decrements, the 21st ageing reports it due
    op("10.0.0.1", QV_DEV_REFRESH);            // life 0: not saved
    EXPECT_EQ(op("10.0.0.1", QV_DEV_AGE), 1);
}

TEST_F(DevList, AddressesWithoutDetailsAgeOutAndTheListIsCapped) {
    op("10.0.0.1", QV_DEV_ADD);
    int rounds = 1;
    while (op("10.0.0.1", QV_DEV_AGE_UNDETAILED) == 0 && rounds < 1000) ++rounds;
    EXPECT_EQ(rounds, QV_DEV_UNDETAILED_ROUNDS);
    qv_free_dev_list();
    for (unsigned i = 0; i < QV_DEV_LIST_MAX; ++i) {
        std::string ip = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        ASSERT_EQ(op(ip.c_str(), QV_DEV_ADD), 0);
    }
    EXPECT_EQ(op("10.9.9.9", QV_DEV_ADD), -1);
    EXPECT_EQ(qv_dev_list_count(), QV_DEV_LIST_MAX);
}

TEST_F(DevList, SnapshotsAreCopiesThatOutliveRemoval) {
    op("10.0.0.1", QV_DEV_ADD);
    op("10.0.0.2", QV_DEV_ADD);
    op("10.0.0.3", QV_DEV_ADD);
    op("10.0.0.2", QV_DEV_FILL, "u2");
    unsigned n = 0;
    qv_dev_detail **all = qv_get_dev_list(&n);
    ASSERT_EQ(n, 3u);
    qv_dev_detail **det = qv_get_dev_detail_list(&n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(op("10.0.0.2", QV_DEV_REMOVE), 0);
    qv_free_dev_list();
    EXPECT_STREQ(det[0]->device_name, "name-10.0.0.2");  // still readable
    EXPECT_STREQ(all[2]->ip, "10.0.0.3");
    EXPECT_EQ(all[3], nullptr);
    qv_xfree(all);
    qv_xfree(det);
    EXPECT_EQ(qv_get_dev_list(&n), nullptr);
    EXPECT_EQ(n, 0u);
}

}  // namespace
