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
    EXPECT_FALSE(silent);
    EXPECT_FALSE(toSilent);
    toSilent(1);

    pusher<int> toEmptyFunction;
    toEmptyFunction >> std::function<void(int)>();
    EXPECT_FALSE(toEmptyFunction);
    toEmptyFunction(1);
}

TEST(Signal, PusheesHearBeforePlainHandlersInConnectionOrder) {
    std::vector<std::string> heard;
    pushee<int> first, second;
    first = [&](int v) { heard.push_back("first-a" + std::to_string(v)); };
    first = [&](int v) { heard.push_back("first-b" + std::to_string(v)); };
    second = [&](int v) { heard.push_back("second" + std::to_string(v)); };

    pusher<int> event;
    event >> [&](int v) { heard.push_back("plain" + std::to_string(v)); };
    event >> first >> second;
    EXPECT_TRUE(event);
    event(7);
    EXPECT_EQ(heard, (std::vector<std::string>{"first-a7", "first-b7", "second7", "plain7"}));
}

TEST(Signal, CopiesDeliverToTheSameSubscribersButGrowApart) {
    int original = 0, extra = 0;
    pushee<> target;
    target = [&] { ++original; };
    pusher<> event;
    event >> target >> [&] { ++original; };

    pusher<> copy = event;
    copy >> [&] { ++extra; };
    copy();
    EXPECT_EQ(original, 2);
    EXPECT_EQ(extra, 1);
    event();
    EXPECT_EQ(original, 4);
    EXPECT_EQ(extra, 1);
}

TEST(Signal, HandlerExceptionStopsTheDelivery) {
    int after = 0;
    pusher<> event;
    event >> [] { throw std::runtime_error("bad"); };
    event >> [&] { ++after; };
    EXPECT_THROW(event(), std::runtime_error);
    EXPECT_EQ(after, 0);
}

TEST(Signal, PullerAsksTheLastConnectedPullee) {
    pullee<int()> one, two;
    one = [] { return 1; };
    two = [] { return 1; };
    two = [] { return 2; };  // a pullee's function is replaced, not added
    puller<int()> ask;
    ask << one;
    EXPECT_EQ(ask(), 1);
    ask << two;
    EXPECT_EQ(ask(), 2);
}
