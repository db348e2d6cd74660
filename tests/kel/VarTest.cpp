#include "kel/var.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using kel::var;

namespace {

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace

TEST(Var, DefaultIsUndefinedAndEmpty) {
    const var v;
    EXPECT_TRUE(v.isUndefined());
    EXPECT_EQ(0u, v.size());
    EXPECT_TRUE(v.keys().empty());
    EXPECT_TRUE(v.values().empty());
    EXPECT_FALSE(v.has("a"));
    EXPECT_EQ("undefined", v.toJsonString());
}

TEST(Var, CopiesShareAndScalarAssignmentIsSeenByEverySharer) {
    var a = 1;
    var copy = a;
    copy = 5;
    EXPECT_EQ(5, a.integerValue());
    EXPECT_TRUE(a &= copy);

    var moved = std::move(copy);  // a moved-from handle still shares the slot
    copy = "text";
    EXPECT_EQ("text", a.stringValue());
    EXPECT_EQ("text", moved.stringValue());
}

TEST(Var, RebindingLeavesFormerSharersAlone) {
    var a = 1;
    var copy = a;
    var third = 3;
    copy = third;
    EXPECT_EQ(1, a.integerValue());
    third = 4;
    EXPECT_EQ(4, copy.integerValue());
    EXPECT_EQ(1, a.integerValue());
}

TEST(Var, ContentAssignmentSharesTheNodeWithEverySharerOfTheSlot) {
    var a = 1;
    var sharer = a;
    var source = kel::var_map();
    a <= source;
    EXPECT_TRUE(sharer.isMap());
    EXPECT_TRUE(sharer &= source);
    source["k"] = 2;  // the node is shared, so a change inside it is seen everywhere
    EXPECT_EQ(2, sharer["k"].integerValue());
    source = 7;  // a new node in source's slot only
    EXPECT_TRUE(sharer.isMap());
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
}

TEST(Var, EntryValuesOutliveTheirMapAndTheirEntry) {
    var kept;
    var inner;
    var replaced;
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

    // Maps dropped on one thread while handles to their values are dropped on
    // another, both at once.
    for (int round = 0; round < 200; ++round) {
        std::vector<var> maps;
        std::vector<var> handles;
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
    ASSERT_TRUE(b.isMap());
    EXPECT_EQ(std::set<std::string>{"k"}, b.keys());
    var arr = kel::var_array(b);
    EXPECT_TRUE(a.isArray());
    EXPECT_EQ(0u, a.size());
}

TEST(Var, UndefinedEntriesCountAsAbsent) {
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
    EXPECT_EQ("{\"a\":1}", m.toJsonString());
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
    EXPECT_TRUE(var(1.0) == var(1.0));
    EXPECT_TRUE(var() == var());
    EXPECT_TRUE(var("x") != var("y"));
    var a = {var(1), var("two"), var({var(true)})};
    var b = {var(1), var("two"), var({var(true)})};
    EXPECT_TRUE(a == b);
    b[2][0] = false;
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(var({var(1), var(2)}) == var({var(2), var(1)}));
    EXPECT_FALSE(var({var(1)}) == var({var(1), var(1)}));
    var m1, m2;
    m1["a"] = 1;
    m2["b"] = 1;
    EXPECT_FALSE(m1 == m2);
}

TEST(Var, CloneIsDeepAndIndependent) {
    var m;
    m["list"] = {var(1), var()};
    m["inner"]["x"] = 1.5;
    var c = m.clone();
    EXPECT_TRUE(c == m);
    m["inner"]["x"] = 2.5;
    m["list"].add(3);
    EXPECT_EQ(1.5, c["inner"]["x"].realValue());
    EXPECT_EQ(2u, c["list"].size());
    EXPECT_TRUE(c["list"][1].isUndefined());
    EXPECT_FALSE(c["list"][1] &= m["list"][1]);
}

TEST(Var, StrictAccessorsThrowWithTheirMessage) {
    testing::internal::CaptureStdout();
    EXPECT_EQ("Unexpected type Integer in var::realValue(). Expected : Real. Full var : 5",
              messageOf([] { var(5).realValue(); }));
    EXPECT_EQ("Problems ahead\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("Unexpected type Real in var::integerValue(). Expected : Integer. Full var : 1.5",
              messageOf([] { var(1.5).integerValue(); }));
    EXPECT_EQ("Unexpected type Undefined in var::booleanValue(). Expected : Boolean. Full var : undefined",
              messageOf([] { var().booleanValue(); }));
    EXPECT_EQ("Unexpected type Boolean in var::string(). Expected : String. Full var : true",
              messageOf([] { std::string s = var(true); }));
    EXPECT_EQ("Unexpected type Integer in var::size(). Expected : Map. Full var : 7",
              messageOf([] { var(7).size(); }));
    EXPECT_EQ("Unexpected type Integer in var::stringValue(). Expected : String. Full var : 1", messageOf([] {
                  var m;
                  m.has(var(1));
              }));

    EXPECT_EQ(2.5, var("x").realValue(2.5));
    EXPECT_EQ(4, var(1.0).integerValue(4));
    EXPECT_TRUE(var(1).booleanValue(true));
    EXPECT_EQ("d", var(1).stringValue("d"));
    EXPECT_EQ(1, var(1).integerValue(4));
}

TEST(Var, ArrayIndexOutOfRangeThrows) {
    var a = {var(1), var(2)};
    const var& ca = a;
    EXPECT_EQ("Out of range", messageOf([&] { ca[2]; }));
    EXPECT_EQ("Out of range", messageOf([&] { a.remove(2); }));
    EXPECT_THROW(a[2], std::out_of_range);
    EXPECT_EQ("Out of range", messageOf([] { kel::var_array().last(); }));
    EXPECT_EQ(2, a.last().integerValue());
    a.remove(0);
    EXPECT_EQ(2, a[0].integerValue());
    var& added = a.add(3);
    added = 4;
    EXPECT_EQ(4, a[1].integerValue());
}

TEST(Var, RandomHexIsFreshLowerCaseHex) {
    const std::string a = var::randomHex(4).stringValue();
    const std::string b = var::randomHex(4).stringValue();
    EXPECT_EQ(8u, a.size());
    EXPECT_EQ(std::string::npos, a.find_first_not_of("0123456789abcdef"));
    EXPECT_NE(a, b);
    EXPECT_EQ(64u, var::randomHex(32).stringValue().size());
}

TEST(Var, ConvertsToAndFromBytesAsCompactText) {
    var m;
    m["a"] = {var(1), var(true)};
    kel::bytes b = m;
    EXPECT_EQ("{\"a\":[1,true]}", std::string(b));
    EXPECT_TRUE(var(b) == m);
}
