#include "Vant/UdpBroadcasting/UdpBroadcaster.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "Vant/UdpBroadcasting/UdpListener.h"
#include "support/AsyncTest.h"

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testsupport::Collector;
using Vant::UdpBroadcasting::UdpBroadcaster;
using Vant::UdpBroadcasting::UdpListener;

namespace {

// Announcements from these tests stay on the loopback interface, also those that
// use the platform's default destinations (read once, before any test runs).
const int loopbackBroadcast = setenv("TOLVANE_BROADCAST", "127.255.255.255", 1);

struct Heard {
    boost::asio::ip::address sender;
    kel::bytes payload;
    steady_clock::time_point at;
};

void listen(UdpListener& listener, Collector<Heard>& heard) {
    listener.pushBroadcast >> [&heard](boost::asio::ip::address sender, kel::bytes payload) {
        heard.add(Heard{sender, payload, steady_clock::now()});
    };
}

}  // namespace

TEST(UdpBroadcasting, SendsAtOnceThenEveryInterval) {
    ASSERT_EQ(loopbackBroadcast, 0);
    UdpListener listener(0);
    Collector<Heard> heard;
    listen(listener, heard);
    listener.start();

    const milliseconds interval(250);
    UdpBroadcaster broadcaster(listener.localPort(), kel::bytes("tolvane-v5-x"), {"127.255.255.255"});
    broadcaster.setSendingInterval(static_cast<unsigned>(interval.count()));
    broadcaster.start();
    EXPECT_TRUE(broadcaster.started());
    ASSERT_TRUE(heard.waitFor(3));
    broadcaster.stop();
    const auto all = heard.snapshot();
    EXPECT_EQ(all[0].payload, kel::bytes("tolvane-v5-x"));
    EXPECT_EQ(all[0].sender, boost::asio::ip::address_v4::loopback());
    // Never sooner than the interval (with room for the receiving side's jitter).
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i].at - all[i - 1].at, interval / 2);
    listener.stop();
}

TEST(UdpBroadcasting, FirstAnnouncementLeavesAtStartNotAfterAnInterval) {
    UdpListener listener(0);
    Collector<Heard> heard;
    listen(listener, heard);
    listener.start();
    UdpBroadcaster broadcaster(listener.localPort(), kel::bytes("first"), {"127.255.255.255"});
    broadcaster.setSendingInterval(3600 * 1000);
    broadcaster.start();
    EXPECT_TRUE(heard.waitFor(1));
    // Stopping ends the hour-long wait at once; a second stop does nothing.
    broadcaster.stop();
    EXPECT_FALSE(broadcaster.started());
    broadcaster.stop();
    listener.stop();
}

TEST(UdpBroadcasting, SendsToEveryDestinationInOrderAndSkipsInvalidOnes) {
    UdpListener listener(0);
    Collector<Heard> heard;
    listen(listener, heard);
    listener.start();
    UdpBroadcaster broadcaster(listener.localPort(), kel::bytes("pair"),
                               {"not-an-address", "127.255.255.255", "127.0.0.1"});
    broadcaster.setSendingInterval(3600 * 1000);
    broadcaster.start();
    ASSERT_TRUE(heard.waitFor(2));
    broadcaster.stop();
    for (const auto& one : heard.snapshot()) EXPECT_EQ(one.payload, kel::bytes("pair"));
    listener.stop();
}

TEST(UdpBroadcasting, DefaultDestinationsComeFromThePlatform) {
    UdpListener listener(0);
    Collector<Heard> heard;
    listen(listener, heard);
    listener.start();
    UdpBroadcaster broadcaster(listener.localPort(), kel::bytes("platform"));
    broadcaster.start();
    ASSERT_TRUE(heard.waitFor(1));
    EXPECT_EQ(heard.snapshot()[0].payload, kel::bytes("platform"));
    broadcaster.stop();
    listener.stop();
}

TEST(UdpBroadcasting, ListenerHearsAgainAfterARestartAndReadsAtMostItsBuffer) {
    UdpListener listener(0);
    Collector<Heard> heard;
    listen(listener, heard);
    listener.start();
    listener.stop();
    EXPECT_FALSE(listener.started());
    listener.start();
    EXPECT_TRUE(listener.started());

    boost::asio::io_service io;
    boost::asio::ip::udp::socket sender(io, boost::asio::ip::udp::v4());
    const boost::asio::ip::udp::endpoint target(boost::asio::ip::address_v4::loopback(),
                                                listener.localPort());
    const kel::bytes big(7000, 'b');
    sender.send_to(boost::asio::buffer(big.begin(), big.length()), target);
    sender.send_to(boost::asio::buffer("small", 5), target);
    ASSERT_TRUE(heard.waitFor(2));
    const auto all = heard.snapshot();
    EXPECT_EQ(all[0].payload, kel::bytes(UdpListener::BufferSize, 'b'));
    EXPECT_EQ(all[1].payload, kel::bytes("small"));
    EXPECT_FALSE(heard.waitFor(3, milliseconds(100))) << "each datagram is reported once";
    listener.stop();
}
