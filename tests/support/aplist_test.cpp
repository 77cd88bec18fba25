// Pointer lists: creation, growth, length counting and release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/aplist.h"

namespace {

int destroyed = 0;
int count_destroy(void *item) {
    ++destroyed;
    free(item);
    return 0;
}

TEST(Aplist, CreateWithNonPositiveSizeGivesCapacityOneAndGrowsByCapacity) {
    for (int n : {0, -3}) {
        APLIST l = ap_create(n, nullptr);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l[0], nullptr);
        ap_head *h = ap_tohead(l);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->max_obj, 1);
        EXPECT_EQ(h->obj_links, 1);
        EXPECT_EQ(h->magic, AP_MAGIC);
        int a, b, c;
        ASSERT_EQ(ap_add_item(&l, &a), 0);
        APLIST before = l;
        ASSERT_EQ(ap_add_item(&l, &b), 0);
        EXPECT_NE(l, before) << "growing must hand out a new handle";
        EXPECT_EQ(ap_valid(before), -1) << "the old block is released";
        EXPECT_EQ(ap_tohead(l)->max_obj, 2);
        ASSERT_EQ(ap_add_item(&l, &c), 0);
        EXPECT_EQ(ap_tohead(l)->max_obj, 4);
        EXPECT_EQ(ap_len(l), 3);
        EXPECT_EQ(l[0], &a);
        EXPECT_EQ(l[1], &b);
        EXPECT_EQ(l[2], &c);
        EXPECT_EQ(l[3], nullptr);
        ap_destroy(l);  // borrowed items: nothing but the list is freed
    }
}

TEST(Aplist, CapacitiesDoubleFromFive) {
    APLIST l = ap_create(5, nullptr);
    int x;
    int expected[] = {5, 5, 5, 5, 5, 10, 10, 10, 10, 10, 20};
    for (int i = 0; i < 11; ++i) {
        ASSERT_EQ(ap_add_item(&l, &x), 0);
        EXPECT_EQ(ap_tohead(l)->max_obj, expected[i]) << "after item " << i + 1;
    }
    EXPECT_EQ(ap_len(l), 11);
    ap_del(l);
}

TEST(Aplist, LenCountsUncountedHeadedListAndStoresCount) {
    APLIST l = ap_create(4, nullptr);
    int a, b;
    l[0] = &a;
    l[1] = &b;
    EXPECT_EQ(ap_tohead(l)->no_items, 0);
    EXPECT_EQ(ap_len(l), 2);
    EXPECT_EQ(ap_tohead(l)->no_items, 2);
    EXPECT_EQ(ap_rlen(l), 2);
    ap_del(l);
}

TEST(Aplist, NullHandles) {
    EXPECT_EQ(ap_len(nullptr), 0);
    EXPECT_EQ(ap_rlen(nullptr), 0);
    EXPECT_EQ(ap_valid(nullptr), -1);
    EXPECT_EQ(ap_expand(nullptr, 3), nullptr);
    APLIST none = nullptr;
    int x;
    EXPECT_EQ(ap_add_item(&none, &x), -1);
    ap_del(nullptr);
    ap_destroy(nullptr);
}

TEST(Aplist, PlainListIsRecognisedWithoutHeaderAndOwnsItsItems) {
    // A plain malloc'd array: ap_valid must not look in front of it (ASan would catch that).
    void **plain = static_cast<void **>(malloc(3 * sizeof(void *)));
    plain[0] = strdup("x");
    plain[1] = strdup("y");
    plain[2] = nullptr;
    APLIST ap = plain;
    EXPECT_EQ(ap_valid(ap), -1);
    EXPECT_EQ(ap_len(ap), 2);
    ap_destroy(ap);  // frees both strings and the array (LeakSanitizer checks)
}

TEST(Aplist, ExpandingPlainListGivesBorrowingHeadedList) {
    void **plain = static_cast<void **>(malloc(2 * sizeof(void *)));
    static int item;
    plain[0] = &item;
    plain[1] = nullptr;
    APLIST l = ap_expand(plain, 2);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(ap_valid(l), 0);
    EXPECT_EQ(ap_tohead(l)->obj_links, 1);
    EXPECT_EQ(ap_tohead(l)->max_obj, 3);
    EXPECT_EQ(l[0], &item);
    ap_destroy(l);  // must not free the static item
}

TEST(Aplist, DestroyCallsDestroyRoutineOncePerItem) {
    destroyed = 0;
    APLIST l = ap_create(2, count_destroy);
    for (int i = 0; i < 7; ++i) ASSERT_EQ(ap_add_item(&l, malloc(8)), 0);
    ap_destroy(l);
    EXPECT_EQ(destroyed, 7);
}

TEST(Aplist, ConvertersCopyStrings) {
    APLIST l = ap_strsplit("one,two,three", ",");
    char **cl = nullptr;
    ASSERT_EQ(ap2charlist(&l, &cl), 3);
    ASSERT_NE(cl, nullptr);
    EXPECT_STREQ(cl[0], "one");
    EXPECT_STREQ(cl[2], "three");
    EXPECT_EQ(cl[3], nullptr);
    EXPECT_NE(static_cast<void *>(cl[0]), l[0]);

    APLIST back = nullptr;
    EXPECT_EQ(charlist2ap(cl, &back), 3);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(static_cast<char *>(back[1]), "two");
    ap_destroy(back);
    ap_destroy(reinterpret_cast<APLIST>(cl));
    ap_destroy(l);

    APLIST empty = reinterpret_cast<APLIST>(1);
    char *none[] = {nullptr};
    EXPECT_EQ(charlist2ap(none, &empty), 0);
    EXPECT_EQ(empty, nullptr);
    APLIST e2 = ap_create(1, nullptr);
    char **ecl = reinterpret_cast<char **>(1);
    EXPECT_EQ(ap2charlist(&e2, &ecl), 0);
    EXPECT_EQ(ecl, nullptr);
    ap_del(e2);
}

}  // namespace
