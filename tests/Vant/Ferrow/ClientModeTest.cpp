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

class ClientMode : public ::testing::Test {
protected:
    void start(const std::string& taskType) {
        client = Vant::Ferrow::startClientMode(pool.io, kel::bytes(32).randomize(), taskType,
                                               clienttest::fastSettings(printer.port()));
    }
    void TearDown() override { pool.stop(); }

    IoPool pool;
    FakePrinter printer{pool.io};
    std::unique_ptr<Vant::User::User> client;
};

}  // namespace

TEST_F(ClientMode, WithATaskTypeEveryPrinterAddedGetsOneTaskWithTheObjectId) {
    const kel::bytes secondKey = kel::bytes(32).randomize();
    start("Packaging");
    // The second printer is heard from no usable address: added, never reached.
    client->onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);
    client->onSeenPrinter(boost::asio::ip::address_v4::any(), secondKey, 5, 0);
    client->onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);

    ASSERT_TRUE(waitUntil([&]() { return liveTasks(printer.queue).size() == 1; }));
    const kel::var task = liveTasks(printer.queue)[0];
    EXPECT_EQ(task["stateType"].stringValue(), "Packaging");
    ASSERT_TRUE(waitUntil([&]() { return printer.queue.hasVariable(task["id"], "ObjectId"); }));
    const auto onSecond = liveTasks(client->getPrinter(secondKey)->taskQueue());
    ASSERT_EQ(onSecond.size(), 1u);
    EXPECT_EQ(onSecond[0]["stateType"].stringValue(), "Packaging");
}
