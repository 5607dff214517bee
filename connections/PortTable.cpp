#include "connections/PortTable.h"

bool PortTable::GetPortSettings(int port, std::uint8_t& protocol, pomrel::PortSettings& settings) const
{
    const auto p = static_cast<std::uint8_t>(port);
    if (p < 1 || p > kPorts)
        return false;
    protocol = entries_[p - 1].protocol;
    settings = entries_[p - 1].settings;
    return true;
}

void PortTable::SetPortSettings(int port, std::uint8_t protocol, const pomrel::PortSettings& settings)
{
    if (port < 1 || port > kPorts)
        return;
    entries_[static_cast<std::size_t>(port - 1)] = {protocol, settings};
}
