#include "codec/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/parse_harness_test.h"

namespace {
using parse_harness::names;
using parse_harness::tags;
}  // namespace

using FileList = parse_harness::Quiet;

TEST_F(FileList, EmptyListsReportMinusOne) {
    EXPECT_EQ(ppc_destory_file_list(nullptr), -1);
    EXPECT_EQ(uuid_list_free(nullptr), -1);
    EXPECT_EQ(ppc_destory_disk_list(nullptr), -1);
    EXPECT_EQ(ppc_destory_user_space_list(nullptr), -1);
    EXPECT_EQ(ppc_check_file_list(nullptr), -1);
    module_support_dnode *empty = nullptr;
    EXPECT_EQ(ppc_destory_module_support_list(&empty), -1);
    EXPECT_EQ(ppc_destory_module_support_list(nullptr), -1);
    ppc_dfree_file_dnode(nullptr);
    ppc_free_type_list(nullptr);
}

TEST_F(FileList, AddsPrependAndFolderSizeRule) {
    file_dnode *list = nullptr;
    ASSERT_EQ(ppc_add_file_to_list(&list, "A", 4096, 1, 1, "/A", 1, 0, nullptr, 0), 0);
    ASSERT_EQ(ppc_add_file_to_list(&list, "B", 4096, 2, 0, "/B", 1, 0, nullptr, 7), 0);
    ASSERT_EQ(ppc_add_dir_to_list(&list, "C", 4096, 3, 1, "/C", 5, 2), 0);
    EXPECT_EQ(names(list), (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_EQ(list->size, 4096);  // dir add keeps the size of a folder
    EXPECT_EQ(list->count, 5);
    EXPECT_EQ(list->next->size, 4096);  // file
    EXPECT_EQ(list->next->type, 7);
    EXPECT_EQ(list->next->next->size, 0);  // folder through the file add
    EXPECT_EQ(ppc_check_file_list(list), 0);
    EXPECT_EQ(ppc_destory_file_list(list), 0);
}

TEST_F(FileList, TagRingWalksInReverseInsertionAndFreesWithNode) {
    tag_head *ring = tag_ring_new();
    ASSERT_NE(ring, nullptr);
    EXPECT_TRUE(tags(ring).empty());
    // Parsers insert from the last reply element to the first, so the walk yields reply order.
    tag_ring_insert(ring, "third");
    tag_ring_insert(ring, "second");
    tag_ring_insert(ring, std::string(300, 'x').c_str());
    auto t = tags(ring);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], std::string(127, 'x'));  // cut to the inline capacity
    EXPECT_EQ(t[1], "second");
    EXPECT_EQ(t[2], "third");
    EXPECT_EQ(ring->prev->next, tag_ring_end(ring));  // ring closes on both sides

    file_dnode *list = nullptr;
    ppc_add_file_to_list(&list, "x", 1, 1, 0, "/x", 0, 0, ring, 0);
    ppc_add_file_to_list(&list, "y", 1, 1, 0, "/y", 0, 0, tag_ring_new(), 0);  // empty ring
    EXPECT_EQ(ppc_destory_file_list(list), 0);  // LSan proves the rings went with the nodes
}

TEST_F(FileList, UuidLookups) {
    uuid_dnode *uuids = nullptr;
    ASSERT_EQ(ppc_add_uuid_only_to_list(&uuids, nullptr), 0);
    ASSERT_EQ(ppc_add_uuid_only_to_list(&uuids, "u1"), 0);
    EXPECT_EQ(ppc_check_uuid_is_exist_list("u1", uuids), 0);
    EXPECT_EQ(ppc_check_uuid_is_exist_list("u2", uuids), -1);
    EXPECT_EQ(ppc_check_uuid_is_exist_list("", uuids), -1);  // the null-uuid node never matches
    EXPECT_EQ(ppc_check_uuid_is_exist_list(nullptr, uuids), -1);
    EXPECT_EQ(uuid_list_free(uuids), 0);

    file_dnode *files = nullptr;
    ppc_add_uuid_to_list(&files, "f1");
    ppc_add_file_to_list(&files, "n", 0, 0, 0, "/n", 0, 0, nullptr, 0);
    EXPECT_EQ(ppc_uuid_is_exist_list("f1", files), 0);
    EXPECT_EQ(ppc_uuid_is_exist_list("f2", files), -1);
    EXPECT_EQ(ppc_uuid_is_exist_list("f1", nullptr), -1);
    ppc_destory_file_list(files);
}

TEST_F(FileList, ModuleSupportLookup) {
    struct Case {
        std::vector<std::pair<int, int>> nodes;  // (type, status) in add order
        int type;
        int want;
    } cases[] = {
        {{{3, 0}, {3, 1}}, 3, 0}, {{{3, 1}, {3, 0}}, 3, 0}, {{{3, 0}}, 3, -1}, {{}, 3, -1}, {{{4, 1}}, 3, -1},
    };
    for (const auto &c : cases) {
        module_support_dnode *list = nullptr;
        for (auto [t, s] : c.nodes) ASSERT_EQ(ppc_add_module_support_to_list(&list, t, s), 0);
        EXPECT_EQ(ppc_find_module_support(list, c.type), c.want);
        if (list) {
            EXPECT_EQ(ppc_destory_module_support_list(&list), 0);
            EXPECT_EQ(list, nullptr);
        }
    }
    EXPECT_EQ(ppc_add_module_support_to_list(nullptr, 1, 1), -1);
}

TEST_F(FileList, DisksAndUserSpace) {
    disk_dnode *disks = nullptr;
    ppc_add_disk_to_list(&disks, "d1", "/mnt/1", 100, 40, 2, "ext4");
    ppc_add_disk_to_list(&disks, "d2", nullptr, 200, 80, 1, nullptr);
    EXPECT_STREQ(disks->name, "d2");
    EXPECT_EQ(disks->path, nullptr);
    EXPECT_STREQ(disks->next->fstype, "ext4");
    EXPECT_EQ(ppc_destory_disk_list(disks), 0);

    user_space_dnode *spaces = nullptr;
    ppc_add_user_space_to_list(&spaces, std::string(100, 'u').c_str(), 5, 9);
    EXPECT_EQ(std::string(spaces->userName), std::string(64, 'u'));
    EXPECT_EQ(spaces->usedSpace, 5);
    EXPECT_EQ(spaces->allocateSpace, 9);
    EXPECT_EQ(spaces->diskTotalSize, 0);
    EXPECT_EQ(ppc_destory_user_space_list(spaces), 0);
}

TEST_F(FileList, TypeListAndNodeArrayFree) {
    auto **items = static_cast<file_type_item **>(calloc(3, sizeof(file_type_item *)));
    for (int i = 0; i < 2; ++i) {
        items[i] = static_cast<file_type_item *>(calloc(1, sizeof(file_type_item)));
        items[i]->name = strdup("n");
        items[i]->path = strdup("/p");
    }
    file_dnode *list = nullptr;
    ppc_add_dir_to_list(&list, "album", 0, 0, 1, "/album", 2, 1);
    list->type_list = items;
    list->type_count = 2;
    EXPECT_EQ(ppc_destory_file_list(list), 0);

    auto **nodes = static_cast<file_dnode **>(calloc(2, sizeof(file_dnode *)));
    nodes[0] = static_cast<file_dnode *>(calloc(1, sizeof(file_dnode)));
    nodes[0]->name = strdup("a");
    ppc_dfree_file_dnode(nodes);
}
