#include "Vant/UdpBroadcasting/UdpBroadcaster.h"

#include <gtest/gtest.h>

#include "Vant/UdpBroadcasting/UdpListener.h"
#include "support/AsyncTest.h"

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Vant::UdpBroadcasting::UdpBroadcaster;
using Vant::UdpBroadcasting::UdpListener;

namespace {

struct Heard {
    kel::bytes payload;
    steady_clock::time_point at;
};

class UdpBroadcasting : public ::testing::Test {
protected:
    UdpBroadcasting() {
        listener.pushBroadcast >> [this](boost::asio::ip::address sender, kel::bytes payload) {
            if (sender == boost::asio::ip::address_v4::loopback())
                heard.add(Heard{payload, steady_clock::now()});
        };
        listener.start();
    }
    ~UdpBroadcasting() override { listener.stop(); }

    UdpListener listener{0};
    testsupport::Collector<Heard> heard;
};

}  // namespace

TEST_F(UdpBroadcasting, SendsAtOnceThenEveryIntervalToEveryValidDestination) {
    UdpBroadcaster broadcaster(listener.localPort(), kel::bytes("tolvane-v5-x"),
                               {"not-an-address", "127.255.255.255", "127.0.0.1"});
    broadcaster.setSendingInterval(250);
    broadcaster.start();
    ASSERT_TRUE(heard.waitFor(6));
    broadcaster.stop();
    const auto all = heard.snapshot();
    for (const auto& one : all) EXPECT_EQ(one.payload, kel::bytes("tolvane-v5-x"));
    // Two at a time, never sooner than the interval (with room for the receiving side's jitter).
    for (std::size_t i = 2; i < all.size(); i += 2) EXPECT_GE(all[i].at - all[i - 2].at, milliseconds(125));
}

TEST_F(UdpBroadcasting, TheFirstAnnouncementLeavesAtStartAndStopEndsTheWait) {
    UdpBroadcaster broadcaster(listener.localPort(), kel::bytes("first"), {"127.0.0.1"});
    broadcaster.setSendingInterval(3600 * 1000);
    broadcaster.start();
    EXPECT_TRUE(heard.waitFor(1));
    broadcaster.stop();
    broadcaster.stop();
}

TEST_F(UdpBroadcasting, ListenerHearsAgainAfterARestartAndReadsAtMostItsBuffer) {
    listener.stop();
    listener.start();
    boost::asio::io_service io;
    boost::asio::ip::udp::socket sender(io, boost::asio::ip::udp::v4());
    const boost::asio::ip::udp::endpoint target(boost::asio::ip::address_v4::loopback(),
                                                listener.localPort());
    const kel::bytes big(7000, 'b');
    sender.send_to(boost::asio::buffer(big.begin(), big.length()), target);
    sender.send_to(boost::asio::buffer("small", 5), target);
    ASSERT_TRUE(heard.waitFor(2));
    EXPECT_EQ(heard.snapshot()[0].payload, kel::bytes(UdpListener::BufferSize, 'b'));
    EXPECT_EQ(heard.snapshot()[1].payload, kel::bytes("small"));
    EXPECT_FALSE(heard.waitFor(3, milliseconds(100))) << "each datagram is reported once";
}
