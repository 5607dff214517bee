// The engine's inside, shared by the files that implement ProtocolEngine: the engine thread,
// its context and the table of open connections. Not for the application.
#pragma once

#include "engine/EngineContext.h"
#include "engine/ProtocolEngine.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace pomrel {

class EngineCore {
public:
    EngineCore() : work_(asio::make_work_guard(context.io)), thread_([this] { context.io.run(); }) {}

    ~EngineCore()
    {
        std::map<Handle, std::shared_ptr<Connection>> open;
        {
            std::lock_guard lock(mutex);
            open.swap(connections);
        }
        RunOnEngine([&] {
            for (auto& [handle, connection] : open)
                connection->Stop();
            context.StopTimers();
        });
        open.clear();
        // Every socket and timer is closed: run() returns once their handlers have run.
        work_.reset();
        thread_.join();
    }

    /// Runs `f` on the engine thread and waits for it.
    template <class F>
    void RunOnEngine(F&& f)
    {
        if (context.io.get_executor().running_in_this_thread()) {
            f();
            return;
        }
        std::promise<void> done;
        asio::post(context.io, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }

    Handle Register(std::shared_ptr<Connection> connection)
    {
        std::lock_guard lock(mutex);
        const Handle handle = nextConnection++;
        connections.emplace(handle, std::move(connection));
        return handle;
    }

    std::shared_ptr<Connection> Find(Handle handle) const
    {
        std::lock_guard lock(mutex);
        const auto it = connections.find(handle);
        return it == connections.end() ? nullptr : it->second;
    }

    void SetError(std::string error)
    {
        std::lock_guard lock(mutex);
        lastError = std::move(error);
    }

    EngineContext context;
    mutable std::mutex mutex;  // guards everything below
    std::map<Handle, std::shared_ptr<Connection>> connections;
    std::map<int, Handle> openPorts;  // serial port number -> connection
    std::map<int, std::string> portPaths;
    Handle nextConnection = 1;
    std::uint16_t servicePort = 502;
    TcpLimits tcpLimits;
    std::string lastError;
    std::shared_ptr<const FaultSet> faults;  // what the engine thread has, for readers elsewhere

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

} // namespace pomrel
