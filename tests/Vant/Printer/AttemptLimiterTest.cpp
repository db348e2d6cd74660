#include "Vant/Printer/AttemptLimiter.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Vant::Printer::AttemptLimiter;
using Vant::Printer::AttemptLimits;

namespace {

const AttemptLimiter::Time T0;

boost::asio::ip::address address(const char* text) {
    return boost::asio::ip::make_address(text);
}

std::string failOnce(AttemptLimiter& limiter, const char* from, AttemptLimiter::Time now) {
    if (limiter.admit(address(from), now) != AttemptLimiter::Admitted) return "refused";
    return limiter.finished(address(from), true, now) ? "failed, refused from now on" : "failed";
}

}  // namespace

TEST(AttemptLimiter, RefusesAnAddressAfterItsBurstOfFailuresOnlyUntilTheyDrain) {
    AttemptLimits limits;
    limits.failureBurst = 3;
    limits.drainEvery = 1000ms;
    AttemptLimiter limiter(limits);
    auto expectFailures = [&](std::vector<std::pair<std::chrono::milliseconds, const char*>> attempts) {
        for (const auto& a : attempts)
            EXPECT_EQ(failOnce(limiter, "10.0.0.5", T0 + a.first), a.second) << a.first.count();
    };
    expectFailures(
        {{0ms, "failed"}, {0ms, "failed"}, {0ms, "failed, refused from now on"}, {10ms, "refused"}});

    // Others are not touched, and a handshake that succeeds costs nothing.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(limiter.admit(address("10.0.0.6"), T0), AttemptLimiter::Admitted);
        limiter.finished(address("10.0.0.6"), false, T0);
    }

    // One more attempt for each failure forgiven, then, all drained, the whole burst.
    expectFailures({{1000ms, "failed"},
                    {1000ms, "refused"},
                    {2000ms, "failed"},
                    {10s, "failed"},
                    {10s, "failed"},
                    {10s, "failed, refused from now on"},
                    {10s, "refused"}});
}

TEST(AttemptLimiter, BoundsHandshakesUnderWayAndAddressesRemembered) {
    AttemptLimits limits;
    limits.pendingPerAddress = 2;
    limits.pendingTotal = 3;
    limits.addresses = 3;
    AttemptLimiter limiter(limits);
    EXPECT_EQ(limiter.admit(address("10.0.0.1"), T0), AttemptLimiter::Admitted);
    EXPECT_EQ(limiter.admit(address("10.0.0.1"), T0), AttemptLimiter::Admitted);
    EXPECT_EQ(limiter.admit(address("10.0.0.1"), T0), AttemptLimiter::Busy);
    EXPECT_EQ(limiter.admit(address("10.0.0.2"), T0), AttemptLimiter::Admitted);
    EXPECT_EQ(limiter.admit(address("10.0.0.3"), T0), AttemptLimiter::Busy);  // three under way in all
    limiter.finished(address("10.0.0.1"), false, T0);
    EXPECT_EQ(limiter.admit(address("10.0.0.3"), T0), AttemptLimiter::Admitted);

    // Three addresses under way fill the table; once they end, they make room.
    EXPECT_EQ(limiter.admit(address("10.0.0.4"), T0), AttemptLimiter::Refused);
    EXPECT_EQ(limiter.addressCount(), 3u);
    limiter.finished(address("10.0.0.1"), false, T0);
    limiter.finished(address("10.0.0.2"), false, T0);
    limiter.finished(address("10.0.0.3"), true, T0);
    EXPECT_EQ(limiter.admit(address("10.0.0.4"), T0), AttemptLimiter::Admitted);
    EXPECT_EQ(limiter.addressCount(), 2u);  // the one with a failure to drain stays
}
