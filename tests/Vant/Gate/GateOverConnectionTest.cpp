#include "Vant/Gate/Gate.h"

#include <gtest/gtest.h>

#include <mutex>

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

// One end of a session: a gate that sends on whichever connection it has now, and
// fails sends with "Connection not connected" while it has none.
class End {
public:
    End(boost::asio::io_service& io, milliseconds resend) : gate(io, resend) {
        gate.pushMessageToNetwork >> [this](kel::bytes message, Gate::SentCallback done) {
            std::shared_ptr<SimpleSocket> current;
            {
                std::lock_guard<std::mutex> lock(mutex);
                current = socket;
            }
            if (current) {
                current->send(message, done);
            } else {
                done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
            }
        };
        gate.pushMessageToApplication >> received.adder();
    }

    void attach(const std::shared_ptr<SimpleSocket>& newSocket) {
        newSocket->updateCallbacks([this](kel::bytes message) { gate.onMessageFromNetwork(message); },
                                   [this](error_code) {
                                       std::lock_guard<std::mutex> lock(mutex);
                                       socket.reset();
                                   });
        std::lock_guard<std::mutex> lock(mutex);
        socket = newSocket;
    }

    Gate gate;
    Collector<kel::bytes> received;

private:
    std::mutex mutex;  // guards socket: the gate's sends against attach and the disconnection
    std::shared_ptr<SimpleSocket> socket;
};

}  // namespace

TEST(GateOverConnection, APendingReliableMessageCrossesOnceAConnectionExists) {
    testsupport::IoPool pool(3);
    {
        End printer(pool.io, milliseconds(50)), user(pool.io, milliseconds(50));
        SimpleContainer server(pool.io);
        server.startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
            socket->start(nullptr, nullptr, nullptr);
            printer.attach(socket);
        });

        // Sent before any connection: the gate keeps it and tries again.
        Collector<error_code> sent;
        user.gate.sendReliably(kel::bytes("queued before connecting"), sent.adder());
        EXPECT_FALSE(sent.waitFor(1, milliseconds(150)));

        Collector<error_code> connected;
        auto client = SimpleSocket::create(
            pool.io, nullptr,
            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.localPort()));
        client->start(connected.adder(), nullptr, nullptr);
        ASSERT_TRUE(connected.waitFor(1));
        user.attach(client);

        ASSERT_TRUE(sent.waitFor(1));
        EXPECT_FALSE(sent.snapshot()[0]);
        ASSERT_TRUE(printer.received.waitFor(1));
        EXPECT_EQ(printer.received.snapshot()[0], kel::bytes("queued before connecting"));

        // And back, reliably, over the same connection.
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
