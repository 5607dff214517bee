// One open serial port serving RTU or ASCII masters on the engine thread.
#pragma once

#include "engine/EngineContext.h"
#include "engine/SerialFraming.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pomrel {

class SerialLink : public Connection, public std::enable_shared_from_this<SerialLink> {
public:
    /// Any thread: opens and configures the device. Null with `error` set when it cannot.
    static std::shared_ptr<SerialLink> Open(EngineContext& context, const std::string& path, bool rtu,
                                            const PortSettings& settings, std::string& error);

    /// Serial port number 1..32, as fault rules name the link ("serial:N"). Before Start.
    void SetPortNumber(int port)
    {
        portNumber_ = port;
        source_.link = LinkId{LinkId::Kind::Serial, port};
    }
    /// Engine thread.
    void Start();
    void Stop() override;

    /// Time of one character on the line: start bit, data bits, parity, stop bits.
    static std::chrono::microseconds CharacterTime(const PortSettings& settings);
    /// The RTU end-of-frame silence: 3.5 characters, fixed at 1.75 ms above 19200 baud.
    static std::chrono::microseconds FrameGap(const PortSettings& settings);

private:
    SerialLink(EngineContext& context, int fd, std::unique_ptr<SerialFraming> framing, const PortSettings& settings);

    void Read();
    void ArmGap();
    void Drain();
    void Queue(const std::uint8_t* bytes, std::size_t size);
    /// A fault's late answer, or a part of it, and the rule's name.
    struct LateBytes {
        std::vector<std::uint8_t> bytes;
        std::string fault;
    };
    /// Queued for the line at `at`.
    void Schedule(std::chrono::steady_clock::time_point at, LateBytes late);
    void ArmScheduled();
    void BeginTransmit();
    void WaitForLines(std::chrono::steady_clock::time_point deadline);
    void RaiseRtsAndWrite();
    void Write();
    void AfterWrite();
    void FinishTransmit();

    EngineContext& context_;
    asio::posix::stream_descriptor port_;
    asio::steady_timer gap_;
    asio::steady_timer tx_;
    asio::steady_timer retry_;
    asio::steady_timer faultTimer_;
    const std::unique_ptr<SerialFraming> framing_;
    const PortSettings settings_;
    const bool toggleRts_;
    const std::chrono::steady_clock::duration silenceGap_;
    std::array<std::uint8_t, 512> read_{};
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> sending_;
    std::multimap<std::chrono::steady_clock::time_point, LateBytes> scheduled_;
    int portNumber_ = 0;
    FrameSource source_;  // what each frame record says of this link
    std::uint64_t gapGeneration_ = 0;
    bool transmitting_ = false;
    bool stopped_ = false;
};

} // namespace pomrel
