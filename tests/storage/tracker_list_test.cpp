#include "storage/tracker_list.h"

#include "store_test_support.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

using test::sampleTracker;

TEST(TrackerList, AddAppendsCopiesAndReturnsTheNewIndex) {
    TrackerList list;
    EXPECT_EQ(list.count(), 0);
    TrackerEntry entry = sampleTracker(1);
    EXPECT_EQ(list.add(entry), 0);
    EXPECT_EQ(list.add(sampleTracker(2)), 1);
    entry.description = "changed after add";
    EXPECT_EQ(list.at(0), sampleTracker(1));  // the list kept its own copy

    TrackerEntry copy = list.at(1);
    copy.phone = "changed outside";
    EXPECT_EQ(list.at(1), sampleTracker(2));
    EXPECT_EQ(list.count(), 2);
}

TEST(TrackerList, ReplaceAtOverwritesEveryFieldInPlace) {
    TrackerList list = test::sampleList(3);
    list.replaceAt(1, sampleTracker(9, "R"));
    EXPECT_EQ(list.at(0), sampleTracker(0));
    EXPECT_EQ(list.at(1), sampleTracker(9, "R"));
    EXPECT_EQ(list.at(2), sampleTracker(2));
}

TEST(TrackerList, RemoveAtMovesTheFollowingEntriesForwardInOrder) {
    TrackerList list = test::sampleList(3);
    list.removeAt(0);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.at(0), sampleTracker(1));
    EXPECT_EQ(list.at(1), sampleTracker(2));
    list.removeAt(1);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0), sampleTracker(1));
}

TEST(TrackerList, FindByDescriptionIsExactCaseSensitiveAndReturnsTheLowerIndex) {
    TrackerList list;
    EXPECT_EQ(list.findByDescription(""), -1);
    EXPECT_EQ(list.findByDescription("abc"), -1);

    TrackerEntry e;
    e.description = "abc";
    list.add(e);
    e.description = "ABC";
    list.add(e);
    e.description = "abc";
    list.add(e);
    e.description = "\xC3\xA4pfel";  // multi-byte characters compare as they are
    list.add(e);

    EXPECT_EQ(list.findByDescription("abc"), 0);
    EXPECT_EQ(list.findByDescription("ABC"), 1);
    EXPECT_EQ(list.findByDescription("Abc"), -1);
    EXPECT_EQ(list.findByDescription("abc "), -1);
    EXPECT_EQ(list.findByDescription("ab"), -1);
    EXPECT_EQ(list.findByDescription("\xC3\xA4pfel"), 3);
    EXPECT_EQ(list.findByDescription("\xC3\x84pfel"), -1);
    list.removeAt(0);
    EXPECT_EQ(list.findByDescription("abc"), 1);
}

}  // namespace
}  // namespace vela
