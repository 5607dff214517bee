// The HTTP door's hand-over to the user-interface thread: calls run there, a thread that does not
// take them within the bound gets 503, and closing never waits for a call that cannot come.
#include "http/HttpServer.h"

#include "automation/MethodRegistry.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

struct Door {
    explicit Door(HttpLimits limits = {}) {
        HttpSources sources;
        sources.methods = std::make_shared<MethodRegistry>();
        sources.documents = [this] {
            ranOnUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
            return std::size_t{42};
        };
        sources.servers = [] { return nlohmann::json::array(); };
        server = std::make_unique<HttpServer>(std::move(sources), limits);
        std::string error;
        EXPECT_TRUE(server->Listen(0, error)) << error;
    }
    std::future<httplib::Result> Get(const char* path) {
        const int port = server->Port();
        return std::async(std::launch::async, [port, path] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(60, 0);
            return client.Get(path);
        });
    }
    std::unique_ptr<HttpServer> server;
    std::atomic<bool> ranOnUiThread{false};
};

// Runs the event loop until `f` is ready (a test that breaks fails by ctest's timeout, not here).
template <class T>
T Serve(std::future<T>& f) {
    while (f.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return f.get();
}

TEST(HttpHandOver, CallsRunOnTheUserInterfaceThread) {
    Door door;
    auto answer = door.Get("/health");
    httplib::Result r = Serve(answer);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(nlohmann::json::parse(r->body)["documents"], 42);
    EXPECT_TRUE(door.ranOnUiThread);
}

TEST(HttpHandOver, BusyUserInterfaceThreadGives503) {
    HttpLimits limits;
    limits.handOverWait = std::chrono::milliseconds(50);
    Door door(limits);
    // The event loop does not run while we wait: the call is never taken in time.
    auto answer = door.Get("/health");
    httplib::Result r = answer.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_EQ(nlohmann::json::parse(r->body)["error"], "unavailable");
    // The late call, when the loop runs again, lands nowhere and harms nothing.
    QCoreApplication::processEvents();
    auto again = door.Get("/health");
    EXPECT_EQ(Serve(again)->status, 200);
}

TEST(HttpHandOver, StopDoesNotWaitForTheUserInterfaceThread) {
    HttpLimits limits;
    limits.handOverWait = std::chrono::hours(1);
    Door door(limits);
    auto answer = door.Get("/health");
    // Give the request time to be handed over (it is answered the same way if it is not yet).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    door.server->Stop();   // on the user-interface thread, which never took the call
    httplib::Result r = answer.get();
    if (r) {
        EXPECT_EQ(r->status, 503);
    }
    QCoreApplication::processEvents();
}

}  // namespace
