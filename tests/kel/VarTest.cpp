#include "kel/var.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using kel::var;

// A copy shares the slot (assignment of a value is seen by every sharer); assigning
// a var rebinds the slot; `<=` puts a node into the slot, shared with its source.
TEST(Var, CopiesShareTheirSlotAndRebindingLeavesFormerSharersAlone) {
    var a = 1;
    var copy = a;
    copy = 5;
    EXPECT_EQ(5, a.integerValue());
    EXPECT_TRUE(a &= copy);
    var moved = std::move(copy);  // a moved-from handle still shares the slot
    copy = "text";
    EXPECT_EQ("text", moved.stringValue());

    var third = 3;
    copy = third;
    third = 4;
    EXPECT_EQ(4, copy.integerValue());
    EXPECT_EQ("text", a.stringValue());

    var source = kel::var_map();
    a <= source;
    EXPECT_TRUE(moved &= source);
    source["k"] = 2;
    EXPECT_EQ(2, moved["k"].integerValue());
    source = 7;  // a new node in source's slot only
    EXPECT_TRUE(moved.isMap());
    EXPECT_FALSE(a &= source);
}

TEST(Var, MapEntrySharesTheStoredSlotButNotAClone) {
    var m;
    var v = 1;
    m["shared"] = v;
    m["cloned"] = v.clone();
    v = 9;
    EXPECT_EQ(9, m["shared"].integerValue());
    EXPECT_EQ(1, m["cloned"].integerValue());

    var deep;
    deep["list"] = {var(1), var()};
    deep["inner"]["x"] = 1.5;
    var c = deep.clone();
    EXPECT_TRUE(c == deep);
    deep["inner"]["x"] = 2.5;
    deep["list"].add(3);
    EXPECT_EQ(1.5, c["inner"]["x"].realValue());
    EXPECT_EQ(2u, c["list"].size());
    EXPECT_FALSE(c["list"][1] &= deep["list"][1]);
}

TEST(Var, EntryValuesOutliveTheirMapAndTheirEntry) {
    var kept, inner, replaced;
    {
        var m = var::fromJsonString("{\"a\":\"text\",\"b\":{\"c\":1},\"d\":[2]}");
        m["new"] = 1.5;
        kept = m["a"];
        inner = m["b"];
        replaced = m["d"];
        m["d"] = kept;  // the entry takes another slot; its old one lives on in `replaced`
        kept = "changed";
        EXPECT_EQ("{\"a\":\"changed\",\"b\":{\"c\":1},\"d\":\"changed\",\"new\":1.5}", m.toJsonString());
        var copy = m.clone();
        m.remove("b");
        EXPECT_TRUE(copy["b"] == inner);
    }
    EXPECT_EQ("changed", kept.stringValue());
    EXPECT_EQ(1, inner["c"].integerValue());
    EXPECT_EQ("[2]", replaced.toJsonString());

    // Maps dropped on one thread while handles to their values are dropped on another.
    for (int round = 0; round < 200; ++round) {
        std::vector<var> maps, handles;
        for (int k = 0; k < 50; ++k) {
            maps.push_back(var::fromJsonString("{\"k\":\"value\",\"n\":{\"x\":1}}"));
            handles.push_back(maps.back()["k"]);
            handles.push_back(maps.back()["n"]);
        }
        std::thread dropper([h = std::move(handles)]() mutable { h.clear(); });
        maps.clear();
        dropper.join();
    }
}

TEST(Var, IndexingAnotherKindTurnsItIntoAMapForEverySharer) {
    var a = 3;
    var b = a;
    a["k"] = 1;
    EXPECT_EQ(std::set<std::string>{"k"}, b.keys());
    var arr = kel::var_array(b);
    EXPECT_TRUE(a.isArray());
    EXPECT_EQ(0u, a.size());
}

TEST(Var, UndefinedEntriesCountAsAbsent) {
    EXPECT_EQ(0u, var().size());
    EXPECT_FALSE(var().has("a"));
    var m;
    m["a"] = 1;
    const var& cm = m;
    EXPECT_TRUE(cm["missing"].isUndefined());  // inserts an Undefined entry
    m["gone"] = var();
    EXPECT_EQ(std::set<std::string>{"a"}, cm.keys());
    EXPECT_EQ(1u, cm.size());
    EXPECT_EQ(1u, cm.values().size());
    EXPECT_FALSE(cm.has("missing"));
    EXPECT_TRUE(cm.has("a"));
    EXPECT_EQ(1u, m.clone().size());

    var other;
    other["a"] = 1;
    EXPECT_TRUE(m == other);
    EXPECT_TRUE(other == m);
    other["b"] = 2;
    EXPECT_FALSE(m == other);
    EXPECT_FALSE(other == m);
}

TEST(Var, EqualityComparesKindAndValueDeeply) {
    EXPECT_FALSE(var(1) == var(1.0));
    EXPECT_TRUE(var() == var());
    EXPECT_TRUE(var("x") != var("y"));
    var a = {var(1), var("two"), var({var(true)})};
    var b = {var(1), var("two"), var({var(true)})};
    EXPECT_TRUE(a == b);
    b[2][0] = false;
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(var({var(1), var(2)}) == var({var(2), var(1)}));
    EXPECT_FALSE(var({var(1)}) == var({var(1), var(1)}));
    EXPECT_FALSE(var::fromJsonString("{\"a\":1}") == var::fromJsonString("{\"b\":1}"));
}

TEST(Var, StrictAccessorsThrowAndDefaultedOnesFallBack) {
    testing::internal::CaptureStdout();  // a wrong kind is logged as well
    EXPECT_THROW(var(5).realValue(), std::runtime_error);
    EXPECT_THROW(var(1.5).integerValue(), std::runtime_error);
    EXPECT_THROW(var().booleanValue(), std::runtime_error);
    EXPECT_THROW(std::string s = var(true), std::runtime_error);
    EXPECT_THROW(var(7).size(), std::runtime_error);
    EXPECT_THROW(var().has(var(1)), std::runtime_error);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(2.5, var("x").realValue(2.5));
    EXPECT_EQ(4, var(1.0).integerValue(4));
    EXPECT_EQ("d", var(1).stringValue("d"));
    EXPECT_EQ(1, var(1).integerValue(4));

    var a = {var(1), var(2)};
    const var& ca = a;
    EXPECT_THROW(ca[2], std::runtime_error);
    EXPECT_THROW(a[2], std::out_of_range);
    EXPECT_THROW(a.remove(2), std::runtime_error);
    EXPECT_THROW(kel::var_array().last(), std::runtime_error);
    a.remove(0);
    a.add(3) = 4;
    EXPECT_EQ("[2,4]", a.toJsonString());
}

TEST(Var, RandomHexIsFreshLowerCaseHexAndBytesAreCompactText) {
    const std::string a = var::randomHex(4).stringValue();
    EXPECT_EQ(8u, a.size());
    EXPECT_EQ(std::string::npos, a.find_first_not_of("0123456789abcdef"));
    EXPECT_NE(a, var::randomHex(4).stringValue());

    var m;
    m["a"] = {var(1), var(true)};
    kel::bytes b = m;
    EXPECT_EQ("{\"a\":[1,true]}", std::string(b));
    EXPECT_TRUE(var(b) == m);
}
