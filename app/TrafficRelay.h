// From the engine's callback (engine thread) to the traffic ring (user-interface thread).
#pragma once

#include <cstdint>

class CMainFrame;

/// Stores the frame the callback posts to and registers the callback with the engine.
void InstallTrafficCallback(CMainFrame* frame);
/// The callback itself: only queues RelayTraffic on the frame; true when queued.
bool TrafficCallback(std::uint32_t first, std::uint16_t second, std::uint16_t count);
