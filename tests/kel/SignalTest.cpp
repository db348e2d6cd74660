#include "kel/signal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kel::signal;

TEST(Signal, EmptyPushersAndPusheesAreFalseAndDeliverNothing) {
    pusher<int> nothing;
    EXPECT_FALSE(nothing);
    nothing(1);
    pushee<int> silent;
    pusher<int> toSilent;
    toSilent >> silent;
    EXPECT_FALSE(toSilent);
    toSilent(1);
    pusher<int> toEmptyFunction;
    toEmptyFunction >> std::function<void(int)>();
    EXPECT_FALSE(toEmptyFunction);
    toEmptyFunction(1);
}

TEST(Signal, PusheesHearBeforePlainHandlersInConnectionOrderAndCopiesGrowApart) {
    std::vector<std::string> heard;
    pushee<int> first, second;
    first = [&](int v) { heard.push_back("first-a" + std::to_string(v)); };
    first = [&](int v) { heard.push_back("first-b" + std::to_string(v)); };
    second = [&](int v) { heard.push_back("second" + std::to_string(v)); };
    pusher<int> event;
    event >> [&](int v) { heard.push_back("plain" + std::to_string(v)); };
    event >> first >> second;
    event(7);
    EXPECT_EQ((std::vector<std::string>{"first-a7", "first-b7", "second7", "plain7"}), heard);

    heard.clear();
    pusher<int> copy = event;
    copy >> [&](int) { heard.push_back("extra"); };
    event(1);
    EXPECT_EQ(4u, heard.size());
    copy(1);  // the event's subscribers and its own
    EXPECT_EQ(9u, heard.size());
    EXPECT_EQ("extra", heard.back());
}

TEST(Signal, PullerAsksTheLastConnectedPullee) {
    pullee<int()> one, two;
    one = [] { return 1; };
    two = [] { return 1; };
    two = [] { return 2; };  // a pullee's function is replaced, not added
    puller<int()> ask;
    ask << one;
    EXPECT_EQ(1, ask());
    ask << two;
    EXPECT_EQ(2, ask());
}
