// What a Modbus/TCP Security server keeps once its clients have gone: the memory of a crowd of
// closed sessions goes back to the system.
#include "engine/EngineContext.h"
#include "engine/SessionBudget.h"
#include "engine/TlsServer.h"
#include "tests/engine/TestCertificate.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl.hpp>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace pomrel;
using namespace std::chrono_literals;

namespace {

// Each case: sessions open, then closed one by one; at which open counts memory goes back.
TEST(FreedSessionMemory, GoesBackAsACrowdLeavesNeverForSteadyComingAndGoing)
{
    struct Case { const char* name; std::size_t open; std::vector<std::size_t> givenBackAt; };
    const Case leaving[] = {
        {"2 048 leave: halves, the last when all have gone", 2048, {1024, 512, 256, 128, 0}},
        {"200 leave: once half have gone, once all have", 200, {72, 0}},
        {"fewer than the least never", 127, {}},
        {"exactly the least", 128, {0}},
    };
    for (const Case& c : leaving) {
        FreedSessionMemory freed;
        std::vector<std::size_t> at;
        for (std::size_t open = c.open; open > 0; --open)
            if (freed.Closed(open - 1))
                at.push_back(open - 1);
        EXPECT_EQ(at, c.givenBackAt) << c.name;
    }

    // Ten masters that keep reconnecting: nothing piles up, nothing is given back.
    FreedSessionMemory steady;
    int giveBacks = 0;
    for (int i = 0; i < 10000; ++i)
        giveBacks += steady.Closed(9);
    EXPECT_EQ(giveBacks, 0);

    // A crowd after steady traffic still gives back once it has gone.
    bool last = false;
    for (std::size_t open = 1000; open > 0; --open)
        last = steady.Closed(open - 1);
    EXPECT_TRUE(last);
}

// A TLS server on an engine thread of the test's own.
class TlsServerMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(certificate.Ok()) << "openssl could not make a certificate";
        ServerEndpoint e;
        e.protocol = ServerProtocol::Tls;
        e.address = "127.0.0.1";
        e.tls.cert = certificate.Cert();
        e.tls.key = certificate.Key();
        std::string error;
        server = TlsServer::Open(context, e, TcpLimits{4096, 0}, std::make_shared<SessionBudget>(), error);
        ASSERT_TRUE(server) << error;
        thread = std::thread([this] { context.io.run(); });
        asio::post(context.io, [s = server] { s->Start(); });
    }
    template <typename F> auto OnEngine(F f)
    {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(context.io, [&task] { task(); });
        return result.get();
    }
    void TearDown() override
    {
        if (server)
            OnEngine([&] { server->Stop(); });
        work.reset();
        if (thread.joinable())
            thread.join();
    }
    // Waits (bounded) until `done` holds.
    template <typename F> static bool Becomes(F done)
    {
        for (int i = 0; i < 1000 && !done(); ++i)
            std::this_thread::sleep_for(5ms);
        return done();
    }

    TestCertificate certificate;
    EngineContext context;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{context.io.get_executor()};
    std::shared_ptr<TlsServer> server;
    std::thread thread;
};

// A client that shakes hands and keeps its session open until destroyed.
class Client {
public:
    Client(asio::io_context& io, asio::ssl::context& ssl, std::uint16_t port) : stream_(io, ssl)
    {
        std::error_code ec;
        stream_.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
        if (!ec)
            stream_.handshake(asio::ssl::stream_base::client, ec);
        shaken_ = !ec;
    }
    bool Shaken() const { return shaken_; }

private:
    asio::ssl::stream<asio::ip::tcp::socket> stream_;
    bool shaken_ = false;
};

TEST_F(TlsServerMemory, ACrowdOfClosedSessionsGivesItsMemoryBack)
{
    asio::io_context io;
    asio::ssl::context ssl(asio::ssl::context::tls_client);
    ssl.set_verify_mode(asio::ssl::verify_none);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::uint32_t before = server->MemoryGiveBacks();
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 200; ++i) {
            clients.push_back(std::make_unique<Client>(io, ssl, server->boundPort));
            ASSERT_TRUE(clients.back()->Shaken()) << i;
        }
        ASSERT_TRUE(Becomes([&] { return server->Sessions() == 200; }));
        EXPECT_EQ(server->MemoryGiveBacks(), before);
        clients.clear();
        EXPECT_TRUE(Becomes([&] { return server->Sessions() == 0; }));
        // Once when half of them had gone, once when all had.
        EXPECT_TRUE(Becomes([&] { return server->MemoryGiveBacks() == before + 2; }));
    }
}

TEST_F(TlsServerMemory, ClosingTheServerGivesBackTheMemoryOfItsSessions)
{
    asio::io_context io;
    asio::ssl::context ssl(asio::ssl::context::tls_client);
    ssl.set_verify_mode(asio::ssl::verify_none);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 150; ++i) {
        clients.push_back(std::make_unique<Client>(io, ssl, server->boundPort));
        ASSERT_TRUE(clients.back()->Shaken()) << i;
    }
    ASSERT_TRUE(Becomes([&] { return server->Sessions() == 150; }));
    EXPECT_EQ(server->MemoryGiveBacks(), 0u);
    OnEngine([&] { server->Stop(); });
    EXPECT_EQ(server->Sessions(), 0u);
    EXPECT_TRUE(Becomes([&] { return server->MemoryGiveBacks() == 1; }));
}

} // namespace
