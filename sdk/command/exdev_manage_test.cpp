#include "command/exdev_manage.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {
using Entries = std::vector<std::pair<std::string, std::string>>;  // uuid, name

Entries walk() {
    Entries out;
    for_each_exdev([](const exdev_dnode *n,
                      void *ctx) { static_cast<Entries *>(ctx)->emplace_back(n->dev_uuid, n->dev_name); },
                   &out);
    return out;
}

struct ListGuard {
    ListGuard() { init_exdev_list(); }
    ~ListGuard() { free_exdev_list(); }
};

TEST(ExdevList, AddLookupAndOrder) {
    ListGuard g;
    exdev_dnode *a = add_exdev_to_list("phone A", "uuid-a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(add_exdev_to_list("renamed", "uuid-a"), a);  // the first entry, with the first name
    EXPECT_STREQ(a->dev_name, "phone A");
    add_exdev_to_list("B", "uuid-b");
    add_exdev_to_list("C", "uuid-c");
    EXPECT_EQ(walk(), (Entries{{"uuid-a", "phone A"}, {"uuid-b", "B"}, {"uuid-c", "C"}}));
    EXPECT_EQ(for_each_exdev(nullptr, nullptr), 3);
    EXPECT_EQ(lookup_exdev("uuid-b")->dev_name, std::string("B"));
    EXPECT_EQ(lookup_exdev("UUID-B"), nullptr);  // case-sensitive
    EXPECT_EQ(lookup_exdev("uuid-"), nullptr);
    EXPECT_EQ(lookup_exdev(nullptr), nullptr);
    EXPECT_EQ(add_exdev_to_list(nullptr, "x"), nullptr);
    EXPECT_EQ(add_exdev_to_list("x", nullptr), nullptr);
}

TEST(ExdevList, RemoveCases) {
    ListGuard g;
    EXPECT_EQ(remove_exdev("uuid-a"), -1);  // empty list
    add_exdev_to_list("A", "uuid-a");
    add_exdev_to_list("B", "uuid-b");
    add_exdev_to_list("C", "uuid-c");
    EXPECT_EQ(remove_exdev("nope"), 0);
    EXPECT_EQ(for_each_exdev(nullptr, nullptr), 3);
    EXPECT_EQ(remove_exdev("uuid-b"), 0);
    EXPECT_EQ(walk(), (Entries{{"uuid-a", "A"}, {"uuid-c", "C"}}));
    EXPECT_EQ(remove_exdev("uuid-a"), 0);
    EXPECT_EQ(remove_exdev("uuid-c"), 0);
    EXPECT_EQ(for_each_exdev(nullptr, nullptr), 0);
    EXPECT_EQ(remove_exdev("uuid-c"), -1);
}

TEST(ExdevList, LongTextsAreKeptCutAndStillFoundByTheirUuid) {
    ListGuard g;
    const std::string uuid(100, 'u'), name(100, 'n');
    exdev_dnode *e = add_exdev_to_list(name.c_str(), uuid.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->dev_uuid), uuid.substr(0, 64));
    EXPECT_EQ(std::string(e->dev_name), name.substr(0, 64));
    EXPECT_EQ(add_exdev_to_list("other", uuid.c_str()), e);
    EXPECT_EQ(lookup_exdev(uuid.c_str()), e);
    EXPECT_EQ(lookup_exdev(uuid.substr(0, 63).c_str()), nullptr);
    EXPECT_EQ(for_each_exdev(nullptr, nullptr), 1);
}

TEST(ExdevList, ConcurrentRegistrationsOfOneUuidYieldOneEntry) {
    ListGuard g;
    std::vector<std::thread> threads;
    std::vector<exdev_dnode *> got(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &got] {
            for (int k = 0; k < 200; ++k) {
                exdev_dnode *e = add_exdev_to_list("dev", "same-uuid");
                if (k == 0) got[i] = e;
                add_exdev_to_list("dev", ("u" + std::to_string(i) + "-" + std::to_string(k)).c_str());
            }
        });
    for (auto &t : threads) t.join();
    for (exdev_dnode *e : got) EXPECT_EQ(e, got[0]);
    EXPECT_EQ(for_each_exdev(nullptr, nullptr), 1 + 8 * 200);
    EXPECT_EQ(walk().size(), 1u + 8 * 200);
}

TEST(ExdevList, FreeOnEmptyAndFullListsAndRestart) {
    init_exdev_list();
    EXPECT_EQ(free_exdev_list(), 0);
    init_exdev_list();
    add_exdev_to_list("A", "a");
    EXPECT_EQ(free_exdev_list(), 0);
    EXPECT_EQ(free_exdev_list(), -1);  // already freed
    EXPECT_EQ(lookup_exdev("a"), nullptr);
    EXPECT_EQ(add_exdev_to_list("A", "a"), nullptr);
    init_exdev_list();  // a later start has a new, empty list
    EXPECT_EQ(lookup_exdev("a"), nullptr);
    EXPECT_EQ(for_each_exdev(nullptr, nullptr), 0);
    free_exdev_list();
}
}  // namespace
