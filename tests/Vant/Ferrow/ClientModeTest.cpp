#include "Vant/Ferrow/ClientMode.h"

#include <gtest/gtest.h>

#include "../User/Client.h"
#include "Vant/User/Printer.h"
#include "support/AsyncTest.h"
#include "support/FakePrinter.h"

using testsupport::FakePrinter;
using testsupport::IoPool;
using testsupport::waitUntil;

namespace {

// The tasks of a queue that are not tombstones.
std::vector<kel::var> liveTasks(Vant::Synchronization::LocalSynchronizer& queue) {
    std::vector<kel::var> tasks;
    const kel::var all = queue.getQueue();
    for (unsigned i = 0; all.isMap() && all.has("tasks") && i < all["tasks"].size(); ++i)
        if (!all["tasks"][i].has("diff")) tasks.push_back(all["tasks"][i]);
    return tasks;
}

}  // namespace

TEST(ClientMode, WithATaskTypeEveryPrinterAddedGetsOneTaskWithTheObjectId) {
    IoPool pool;
    {
        FakePrinter first(pool.io);
        const kel::bytes secondKey = kel::bytes(32).randomize();
        auto client = Vant::Ferrow::startClientMode(pool.io, kel::bytes(32).randomize(), "Packaging",
                                                    clienttest::fastSettings(first.port()));
        // The second printer is heard from no usable address: added, never reached.
        client->onSeenPrinter(boost::asio::ip::address_v4::loopback(), first.publicKey, 5, 0);
        client->onSeenPrinter(boost::asio::ip::address_v4::any(), secondKey, 5, 0);
        client->onSeenPrinter(boost::asio::ip::address_v4::loopback(), first.publicKey, 5, 0);

        ASSERT_TRUE(waitUntil([&]() { return liveTasks(first.queue).size() == 1; }));
        const kel::var task = liveTasks(first.queue)[0];
        EXPECT_EQ(task["stateType"].stringValue(), "Packaging");
        ASSERT_TRUE(waitUntil([&]() { return first.queue.hasVariable(task["id"], "ObjectId"); }));
        const auto onSecond = liveTasks(client->getPrinter(secondKey)->taskQueue());
        ASSERT_EQ(onSecond.size(), 1u);
        EXPECT_EQ(onSecond[0]["stateType"].stringValue(), "Packaging");
        pool.stop();
    }
}

TEST(ClientMode, WithoutATaskTypeTheClientOnlyWatches) {
    IoPool pool;
    {
        FakePrinter printer(pool.io);
        const std::string existing = printer.queue.makeTask("Printing");
        auto client = Vant::Ferrow::startClientMode(pool.io, kel::bytes(32).randomize(), "",
                                                    clienttest::fastSettings(printer.port()));
        client->onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);
        Vant::User::Printer* proxy = client->getPrinter(printer.publicKey);
        ASSERT_TRUE(waitUntil([&]() { return liveTasks(proxy->taskQueue()).size() == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(liveTasks(printer.queue).size(), 1u);
        EXPECT_EQ(liveTasks(proxy->taskQueue()).size(), 1u);
        pool.stop();
    }
}
