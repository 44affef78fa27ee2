#include "support/pointer_hash_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/log_capture.h"

namespace {

struct named {
    std::string name;
};

uint32_t hash_named(const void* thing) { return hash_string(static_cast<const named*>(thing)->name.c_str()); }
uint32_t hash_text(const void* key) { return hash_string(static_cast<const char*>(key)); }
int named_matches(const void* thing, const void* key) {
    return static_cast<const named*>(thing)->name == static_cast<const char*>(key);
}

struct table : VoidPointerHashTable {
    table() : VoidPointerHashTable(hash_named, hash_text, named_matches) {}
};

}  // namespace

TEST(HashString, WorkedValues) {
    EXPECT_EQ(hash_string(""), 0x1AAD0981u);
    EXPECT_EQ(hash_string("abc"), 0x4AF578A2u);
}

TEST(PointerHashTable, FindsByKeyAndRemovesByPointer) {
    table t;
    named a{"alpha"}, b{"beta"}, stranger{"alpha"};
    EXPECT_EQ(t.find("alpha"), nullptr);
    t.add(&a);
    t.add(&b);
    EXPECT_EQ(t.find("alpha"), &a);
    EXPECT_EQ(t.find("beta"), &b);
    EXPECT_EQ(t.find("gamma"), nullptr);
    EXPECT_EQ(t.remove(&stranger), 0);  // same key, different thing
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.remove(&a), 1);
    EXPECT_EQ(t.find("alpha"), nullptr);
    EXPECT_EQ(t.remove(&a), 0);
}

TEST(PointerHashTable, DuplicatePointerRefusedButEqualKeysBothStored) {
    log_capture log;
    table t;
    named first{"same"}, second{"same"};
    t.add(&first);
    t.add(&first);
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(log.text(), "Error in VoidPointerHashTable::add(), attempt to add duplicate thing.\n");
    t.add(&second);
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.find("same"), &second);  // nearer the chain head
}

TEST(PointerHashTable, GrowsWhenTheCountPassesHalfTheBuckets) {
    std::vector<named> things(300);
    table t;
    for (int i = 0; i < 129; ++i) {
        things[i].name = "thing-" + std::to_string(i);
        t.add(&things[i]);
    }
    EXPECT_EQ(t.bucket_count(), 256u);
    things[129].name = "thing-129";
    t.add(&things[129]);
    EXPECT_EQ(t.bucket_count(), 512u);
    for (int i = 130; i < 258; ++i) {
        things[i].name = "thing-" + std::to_string(i);
        t.add(&things[i]);
    }
    EXPECT_EQ(t.bucket_count(), 1024u);
    for (int i = 0; i < 258; ++i) {
        ASSERT_EQ(t.find(things[i].name.c_str()), &things[i]) << i;
    }
}

TEST(PointerHashTable, LongChainIsReportedAndStillStored) {
    log_capture log;
    // Every thing hashes alike, so one chain takes them all.
    VoidPointerHashTable t([](const void*) { return 7u; }, [](const void*) { return 7u; },
                           [](const void* thing, const void* key) { return thing == key ? 1 : 0; });
    std::vector<int> things(52);
    for (int& thing : things) {
        t.add(&thing);
    }
    EXPECT_EQ(t.size(), 52u);
    EXPECT_EQ(log.text(), "Error in VoidPointerHashTable::add(), found 51 things in bucket 7.\n");
    EXPECT_EQ(t.find(&things[0]), &things[0]);
}
