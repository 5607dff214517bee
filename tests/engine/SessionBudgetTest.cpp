// One budget of descriptors for every stream server of the engine: the engine runs in a child
// process under a lowered open-file limit, while this process plays the masters (whose sockets
// do not count against that limit) and asks the child through a socket pair.
#include "engine/Checksums.h"
#include "engine/ProtocolEngine.h"
#include "engine/SessionBudget.h"
#include "tests/engine/HexBytes.h"
#include "tests/engine/TestIo.h"
#include "tests/engine/TestCertificate.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace pomrel {
namespace {

using namespace std::chrono_literals;
using test::TcpMaster;
using test::ToHex;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kValue = 0x1234;  // holding register 1 of device 1

Bytes WithCrc(Bytes frame)
{
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

const Bytes kMbapRequest{0, 7, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
const Bytes kMbapAnswer{0, 7, 0, 0, 0, 5, 1, 3, 2, kValue >> 8, kValue & 0xFF};
const Bytes kRtuRequest = WithCrc({1, 3, 0, 0, 0, 1});
const Bytes kRtuAnswer = WithCrc({1, 3, 2, kValue >> 8, kValue & 0xFF});

// A TLS master that does not check the server's certificate; Ask gives the answer or nothing.
// Every step is bounded: a server that never takes the connection fails the test, not hangs it.
class TlsMaster {
public:
    explicit TlsMaster(std::uint16_t port) : ssl_(asio::ssl::context::tls_client), stream_(io_, ssl_)
    {
        std::error_code ec;
        ssl_.set_verify_mode(asio::ssl::verify_none);
        stream_.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
        shaken_ = !ec && Within([this](auto done) { stream_.async_handshake(asio::ssl::stream_base::client, done); });
    }
    Bytes Ask(const Bytes& request)
    {
        Bytes answer(kMbapAnswer.size());
        const bool ok = shaken_ && Within([&](auto done) { asio::async_write(stream_, asio::buffer(request), done); }) &&
                        Within([&](auto done) { asio::async_read(stream_, asio::buffer(answer), done); });
        return ok ? answer : Bytes{};
    }

private:
    template <class Start>
    bool Within(Start start)
    {
        bool done = false;
        std::error_code error;
        start([&](const std::error_code& ec, std::size_t = 0) {
            error = ec;
            done = true;
        });
        io_.restart();
        io_.run_for(5s);
        if (!done) {
            std::error_code ignored;
            stream_.lowest_layer().close(ignored);  // the operation ends, aborted
            io_.restart();
            io_.run();
            return false;
        }
        return !error;
    }

    asio::io_context io_;
    asio::ssl::context ssl_;
    asio::ssl::stream<asio::ip::tcp::socket> stream_;
    bool shaken_ = false;
};

// The engine in a child process whose soft limit of open files is `softLimit`: the main Modbus/TCP
// server, an RTU over TCP endpoint and a TLS endpoint, all on loopback.
class LimitedEngine {
public:
    struct Counts {
        std::uint32_t tcp = 0, rtu = 0, tls = 0, cap = 0;
        std::uint32_t Sum() const { return tcp + rtu + tls; }
    };

    LimitedEngine(rlim_t softLimit, const TestCertificate& certificate)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(pair[0]);
            RunChild(pair[1], softLimit, certificate);  // never returns
        }
        ::close(pair[1]);
        control_ = pair[0];
        timeval limit{20, 0};  // a child that hangs fails the test
        ::setsockopt(control_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::array<std::uint16_t, 3> ports{};
        if (child_ > 0 && ::read(control_, ports.data(), sizeof ports) == sizeof ports) {
            tcpPort = ports[0];
            rtuPort = ports[1];
            tlsPort = ports[2];
        }
    }
    ~LimitedEngine()
    {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        if (control_ >= 0)
            ::close(control_);
    }
    LimitedEngine(const LimitedEngine&) = delete;
    LimitedEngine& operator=(const LimitedEngine&) = delete;

    bool Running() const { return tcpPort != 0 && rtuPort != 0 && tlsPort != 0; }

    Counts Sessions()
    {
        Counts counts;
        Ask('s', &counts, sizeof counts);
        return counts;
    }
    // Waits (bounded) until the sessions satisfy `done`; the last counts either way.
    template <class Done>
    Counts WaitFor(Done done)
    {
        Counts counts = Sessions();
        for (int i = 0; i < 2000 && !done(counts); ++i) {
            std::this_thread::sleep_for(10ms);
            counts = Sessions();
        }
        return counts;
    }
    // How many of 32 files the child can open at once (then closes them).
    std::uint32_t OpenableFiles() { return Reply('f'); }
    // The child takes every descriptor left, until Release.
    std::uint32_t HoldEveryDescriptor() { return Reply('h'); }
    void Release() { Reply('r'); }

    std::uint16_t tcpPort = 0, rtuPort = 0, tlsPort = 0;

private:
    std::uint32_t Reply(char command)
    {
        std::uint32_t value = 0;
        Ask(command, &value, sizeof value);
        return value;
    }
    void Ask(char command, void* reply, std::size_t size)
    {
        if (::write(control_, &command, 1) != 1 || ::read(control_, reply, size) != static_cast<ssize_t>(size))
            ADD_FAILURE() << "the engine's process did not answer '" << command << "'";
    }

    [[noreturn]] static void RunChild(int control, rlim_t softLimit, const TestCertificate& certificate)
    {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min(limit.rlim_cur, softLimit);
        std::array<std::uint16_t, 3> ports{};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            (void)!::write(control, ports.data(), sizeof ports);
            ::_exit(1);
        }
        auto* engine = new ProtocolEngine;  // left to the process's end
        static RegisterWord value{kValue};
        engine->DefineDataBlock(1, 3, 1, 1, &value);
        engine->SetTCPServicePort(0);
        const Handle tcp = engine->OpenTCPConnection(nullptr, 0);
        ServerEndpoint rtu;
        rtu.protocol = ServerProtocol::RtuOverTcp;
        rtu.address = "127.0.0.1";
        rtu.number = 1;
        const Handle rtuHandle = engine->OpenServer(rtu);
        ServerEndpoint tls;
        tls.protocol = ServerProtocol::Tls;
        tls.address = "127.0.0.1";
        tls.number = 2;
        tls.tls.cert = certificate.Cert();
        tls.tls.key = certificate.Key();
        const Handle tlsHandle = engine->OpenServer(tls);
        if (tcp != kNoHandle && rtuHandle != kNoHandle && tlsHandle != kNoHandle)
            ports = {engine->BoundTcpPort(tcp), engine->BoundTcpPort(rtuHandle), engine->BoundTcpPort(tlsHandle)};
        (void)!::write(control, ports.data(), sizeof ports);
        std::vector<int> held;
        for (char command; ::read(control, &command, 1) == 1;) {
            std::uint32_t reply = 0;
            if (command == 's') {
                const Counts counts{engine->ServerStatus(tcp).sessions, engine->ServerStatus(rtuHandle).sessions,
                                    engine->ServerStatus(tlsHandle).sessions,
                                    static_cast<std::uint32_t>(std::min<std::size_t>(engine->TcpSessionCap(tcp), UINT32_MAX))};
                (void)!::write(control, &counts, sizeof counts);
                continue;
            }
            if (command == 'f') {
                std::vector<int> files;
                for (int i = 0; i < 32; ++i)
                    if (const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0)
                        files.push_back(fd);
                reply = static_cast<std::uint32_t>(files.size());
                for (const int fd : files)
                    ::close(fd);
            } else if (command == 'h') {
                for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
                    held.push_back(fd);
                reply = static_cast<std::uint32_t>(held.size());
            } else if (command == 'r') {
                for (const int fd : held)
                    ::close(fd);
                held.clear();
            }
            (void)!::write(control, &reply, sizeof reply);
        }
        ::_exit(0);
    }

    pid_t child_ = -1;
    int control_ = -1;
};

std::vector<std::unique_ptr<TcpMaster>> Connect(std::uint16_t port, int count)
{
    std::vector<std::unique_ptr<TcpMaster>> masters;
    for (int i = 0; i < count; ++i)
        masters.push_back(std::make_unique<TcpMaster>(port));
    return masters;
}

class SessionBudgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RaiseOpenFileLimit();  // this process holds every master's socket
        ASSERT_TRUE(certificate.Ok()) << "openssl could not make a certificate";
    }
    TestCertificate certificate;
};

TEST(SessionBudgetFigures, TheReserveIsAnEighthOfTheLimitWithinBoundsAndAHandfulOfSessionsStays)
{
    struct Case {
        std::uint64_t soft;
        std::size_t others;
        std::size_t reserve, budget;
    };
    const Case cases[] = {
        {1024, 40, 128, 1024 - 128 - 40},
        {600, 12, 75, 600 - 75 - 12},
        {64, 10, 16, 64 - 16 - 10},
        {100, 90, 16, 16},  // nothing left: a handful still
        {1u << 20, 100, 128, (1u << 20) - 128 - 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.soft);
        EXPECT_EQ(ReservedDescriptors(c.soft), c.reserve);
        EXPECT_EQ(SessionBudgetFor(c.soft, c.others), c.budget);
    }
}

// Two servers full of idle masters hold no more than the budget between them, and every new
// master, on whichever server, takes the place of the one idle longest on any of them, while
// the reserve stays open for the rest of the program.
TEST_F(SessionBudgetTest, NewMastersOnEveryServerAreServedWhenIdleOnesFillTheBudget)
{
    // 600 open files: each server's cap alone would be more than half of them.
    LimitedEngine engine(600, certificate);
    ASSERT_TRUE(engine.Running());
    auto tcpIdle = Connect(engine.tcpPort, 300);
    ASSERT_EQ(engine.WaitFor([](const auto& c) { return c.tcp >= 300; }).tcp, 300u);
    auto rtuIdle = Connect(engine.rtuPort, 300);
    const LimitedEngine::Counts full = engine.WaitFor([](const auto& c) { return c.Sum() >= std::min(600u, c.cap); });
    EXPECT_LE(full.cap, 600u - 75u);  // the reserve is kept
    EXPECT_GE(full.Sum(), full.cap);

    std::vector<std::unique_ptr<TcpMaster>> served;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        served.push_back(std::make_unique<TcpMaster>(engine.tcpPort));
        ASSERT_TRUE(served.back()->Send(kMbapRequest));
        ASSERT_EQ(ToHex(served.back()->Receive(kMbapAnswer.size(), 5000ms)), ToHex(kMbapAnswer));
        served.push_back(std::make_unique<TcpMaster>(engine.rtuPort));
        ASSERT_TRUE(served.back()->Send(kRtuRequest));
        ASSERT_EQ(ToHex(served.back()->Receive(kRtuAnswer.size(), 5000ms)), ToHex(kRtuAnswer));
    }
    std::vector<std::unique_ptr<TlsMaster>> secure;
    for (int i = 0; i < 2; ++i) {
        secure.push_back(std::make_unique<TlsMaster>(engine.tlsPort));
        ASSERT_EQ(ToHex(secure.back()->Ask(kMbapRequest)), ToHex(kMbapAnswer)) << i;
    }
    // The places came from the first server's oldest idle masters, whichever server the newcomer
    // came to; the newest idle ones stay.
    EXPECT_TRUE(tcpIdle.front()->ClosedByPeer(5000ms));
    EXPECT_FALSE(rtuIdle.back()->ClosedByPeer(20ms));
    const LimitedEngine::Counts after = engine.Sessions();
    EXPECT_LE(after.Sum(), after.cap);
    EXPECT_EQ(after.tls, 2u);
    EXPECT_EQ(engine.OpenableFiles(), 32u);
    // The masters served go on being served.
    for (std::size_t i = 0; i < served.size(); ++i) {
        const bool rtu = i % 2 == 1;
        ASSERT_TRUE(served[i]->Send(rtu ? kRtuRequest : kMbapRequest));
        EXPECT_EQ(ToHex(served[i]->Receive(rtu ? kRtuAnswer.size() : kMbapAnswer.size(), 5000ms)),
                  ToHex(rtu ? kRtuAnswer : kMbapAnswer));
    }
}

// Out of descriptors (something else took the reserve): a new master on any server still gets
// the descriptor of the master idle longest instead of waiting in the backlog.
TEST_F(SessionBudgetTest, OutOfDescriptorsANewMasterTakesThePlaceOfTheOneIdleLongest)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime opens a pipe to probe memory before it reports or checks a vptr;
    // with every descriptor taken it finds none and reports a valid object as invalid.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    LimitedEngine engine(400, certificate);
    ASSERT_TRUE(engine.Running());
    auto idle = Connect(engine.tcpPort, 40);
    ASSERT_EQ(engine.WaitFor([](const auto& c) { return c.tcp >= 40; }).tcp, 40u);
    ASSERT_GT(engine.HoldEveryDescriptor(), 0u);

    TcpMaster onRtu(engine.rtuPort);
    ASSERT_TRUE(onRtu.Send(kRtuRequest));
    EXPECT_EQ(ToHex(onRtu.Receive(kRtuAnswer.size(), 5000ms)), ToHex(kRtuAnswer));
    TcpMaster onTcp(engine.tcpPort);
    ASSERT_TRUE(onTcp.Send(kMbapRequest));
    EXPECT_EQ(ToHex(onTcp.Receive(kMbapAnswer.size(), 5000ms)), ToHex(kMbapAnswer));
    TlsMaster onTls(engine.tlsPort);
    EXPECT_EQ(ToHex(onTls.Ask(kMbapRequest)), ToHex(kMbapAnswer));
    engine.Release();

    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(idle[i]->ClosedByPeer(5000ms)) << i;
    EXPECT_FALSE(idle[3]->ClosedByPeer(20ms));
    const LimitedEngine::Counts after = engine.Sessions();
    EXPECT_EQ(after.tcp, 38u);
    EXPECT_EQ(after.rtu, 1u);
    EXPECT_EQ(after.tls, 1u);
}

} // namespace
} // namespace pomrel
