#include "Vant/User/User.h"

#include <gtest/gtest.h>

#include "Client.h"
#include "Vant/User/Printer.h"
#include "kel/Sodium.h"
#include "support/AsyncTest.h"
#include "support/FakePrinter.h"

using std::chrono::milliseconds;
using testsupport::CapturedStdout;
using testsupport::Collector;
using testsupport::FakePrinter;
using testsupport::IoPool;
using Vant::User::Printer;
using Vant::User::User;

TEST(User, AddsOneProxyPerPrinterAndIgnoresItsOwnKeyAndStrangers) {
    IoPool pool;
    {
        FakePrinter printer(pool.io);
        const kel::bytes clientKey = kel::bytes(32).randomize();
        User user(pool.io, clientKey, clienttest::fastSettings(printer.port()));
        Collector<Printer*> added;
        user.pushAddedPrinter >> [&added](Printer& p) { added.add(&p); };
        user.start();
        EXPECT_TRUE(user.started());
        CapturedStdout out;

        // Its own key (a printer on the same key) and payloads of other shapes.
        clienttest::announce(user.announcementPort(), kel::Sodium::publicKey(clientKey));
        clienttest::announce(user.announcementPort(), "tolvane-v5-not a key");
        clienttest::announce(user.announcementPort(), "hello");
        // A real one; everything before it was handled first, on the same thread.
        clienttest::announce(user.announcementPort(), printer.publicKey);
        ASSERT_TRUE(added.waitFor(1));
        const std::string expected = "TolvaneCore: NEW PRINTER : " + printer.publicKey.toHex() +
                                     " @ 127.0.0.1, version 5, revision 0\n";
        EXPECT_TRUE(out.waitFor(expected));
        EXPECT_EQ(out.text().find("NEW PRINTER"), out.text().rfind("NEW PRINTER"));
        EXPECT_EQ(added.size(), 1u);

        // The same printer from elsewhere keeps its proxy.
        user.onSeenPrinter(boost::asio::ip::address::from_string("127.0.0.2"), printer.publicKey, 5, 0);
        clienttest::announce(user.announcementPort(), printer.publicKey);
        ASSERT_TRUE(printer.claims.waitFor(1));
        EXPECT_EQ(user.getPrinters().size(), 1u);
        Printer* proxy = user.getPrinter(printer.publicKey);
        ASSERT_NE(proxy, nullptr);
        EXPECT_EQ(proxy, added.snapshot()[0]);
        EXPECT_EQ(proxy->getVersion(), 5u);
        EXPECT_EQ(user.getPrinter(kel::bytes(32).randomize()), nullptr);

        user.stop();
        EXPECT_FALSE(user.started());
        EXPECT_FALSE(proxy->started());
        pool.stop();
    }
}

TEST(User, ReportsConnectionsAndDisconnectionsOfItsProxies) {
    IoPool pool;
    {
        FakePrinter printer(pool.io);
        User user(pool.io, kel::bytes(32).randomize(), clienttest::fastSettings(printer.port()));
        Collector<Printer*> connected, disconnected;
        user.pushConnectedPrinter >> [&connected](Printer& p) { connected.add(&p); };
        user.pushDisconnectedPrinter >> [&disconnected](Printer& p) { disconnected.add(&p); };
        user.start();
        CapturedStdout out;

        user.onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);
        ASSERT_TRUE(connected.waitFor(1));
        ASSERT_TRUE(printer.claims.waitFor(1));
        EXPECT_TRUE(out.waitFor("TolvaneCore: pushConnected  " + printer.publicKey.toHex() + "\n"));
        printer.dropConnection();
        ASSERT_TRUE(disconnected.waitFor(1));
        EXPECT_TRUE(out.waitFor("TolvaneCore: pushDisconnected  " + printer.publicKey.toHex() + "\n"));
        EXPECT_EQ(connected.snapshot()[0], disconnected.snapshot()[0]);
        pool.stop();
    }
}
