#include "Vant/Gate/Gate.h"

#include <gtest/gtest.h>

#include <memory>

#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Messaging/SimpleSocket.h"
#include "support/AsyncTest.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::Collector;
using Vant::Gate::Gate;
using Vant::Messaging::SimpleContainer;
using Vant::Messaging::SimpleSocket;

namespace {

// A gate that sends on whichever connection it has now, and fails sends while it has none.
struct End {
    End(boost::asio::io_service& io, milliseconds resend) : gate(io, resend) {
        gate.pushMessageToNetwork >> [this](kel::bytes message, Gate::SentCallback done) {
            if (auto current = std::atomic_load(&socket)) return current->send(message, done);
            done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
        };
        gate.pushMessageToApplication >> received.adder();
    }
    void attach(const std::shared_ptr<SimpleSocket>& newSocket) {
        newSocket->updateCallbacks(
            [this](kel::bytes message) { gate.onMessageFromNetwork(message); },
            [this](error_code) { std::atomic_store(&socket, std::shared_ptr<SimpleSocket>()); });
        std::atomic_store(&socket, newSocket);
    }

    Gate gate;
    Collector<kel::bytes> received;
    std::shared_ptr<SimpleSocket> socket;  // read and replaced atomically: sends against attach and the end
};

}  // namespace

TEST(GateOverConnection, APendingReliableMessageCrossesOnceAConnectionExists) {
    testsupport::IoPool pool(3);
    {  // the pool stops inside, before the ends go; its io_service outlives them
        End printer(pool.io, milliseconds(50)), user(pool.io, milliseconds(50));
        SimpleContainer server(pool.io);
        server.startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
            socket->start(nullptr, nullptr, nullptr);
            printer.attach(socket);
        });

        Collector<error_code> sent;
        user.gate.sendReliably(kel::bytes("queued before connecting"), sent.adder());
        EXPECT_FALSE(sent.waitFor(1, milliseconds(150)));

        Collector<error_code> connected;
        auto client = SimpleSocket::create(pool.io, nullptr,
                                           {boost::asio::ip::address_v4::loopback(), server.localPort()});
        client->start(connected.adder(), nullptr, nullptr);
        ASSERT_TRUE(connected.waitFor(1));
        user.attach(client);

        ASSERT_TRUE(sent.waitFor(1));
        ASSERT_TRUE(printer.received.waitFor(1));
        EXPECT_EQ(printer.received.snapshot()[0], kel::bytes("queued before connecting"));

        Collector<error_code> answered;
        printer.gate.sendReliably(kel::bytes("answer"), answered.adder());
        ASSERT_TRUE(answered.waitFor(1));
        ASSERT_TRUE(user.received.waitFor(1));
        EXPECT_EQ(user.received.snapshot()[0], kel::bytes("answer"));
        EXPECT_FALSE(printer.received.waitFor(2, milliseconds(200)));
        client->forceClose();
        pool.stop();
    }
}
