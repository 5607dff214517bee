#include "connections/ConnectionManager.h"

void ConnectionManager::CloseAllConnections()
{
    if (server_ != pomrel::kNoHandle) {
        engine_.CloseConnection(server_);
        server_ = pomrel::kNoHandle;
    }
    for (auto& h : serial_) {
        if (h != pomrel::kNoHandle) {
            engine_.CloseConnection(h);
            h = pomrel::kNoHandle;
        }
    }
}

bool ConnectionManager::AnySerialOpen() const
{
    for (auto h : serial_)
        if (h != pomrel::kNoHandle)
            return true;
    return false;
}

bool ConnectionManager::NoConnectionOpen() const
{
    return server_ == pomrel::kNoHandle && !AnySerialOpen();
}
