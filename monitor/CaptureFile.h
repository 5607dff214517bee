// A pcapng capture of the frames a tap hands on, that Wireshark and tshark decode as Modbus.
//
// One interface block per link (raw IP, µs time stamps), added as links appear. Network links
// get synthesized IPv4/IPv6 packets between the master's and the server's real addresses and
// ports: TCP kinds as one TCP connection per stream (a handshake at its first frame, sequence
// and acknowledgement numbers counting every byte, so reassembly works), Modbus/UDP as UDP.
// Serial links get each frame as a UDP datagram between 192.0.2.100 (the master) and 192.0.2.N
// (port N), to and from UDP port kSerialUdpPort, decoded with
// `-d udp.port==5020,mbrtu`; an ASCII frame is written in its RTU form (CRC computed), the
// ASCII text kept in the packet's comment. The fault rule that fired for an answer is its
// packet comment; an answer a fault withheld (no reply, closed) has no packet. Every batch is flushed, so a killed program leaves a capture whole up to
// its last block.
#pragma once

#include "monitor/TrafficTap.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace monitor {

class CaptureFile : public FrameSink {
public:
    static constexpr std::uint16_t kSerialUdpPort = 5020;

    /// Creates (or truncates) `path` and writes the section header. Null with the reason when
    /// the file cannot be written.
    static std::unique_ptr<CaptureFile> Open(const std::string& path, pomrel::FrameClockStart clock, std::string& error);
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    /// Tap thread: appends the frames and flushes.
    void Take(std::span<const TappedFrame> frames) override;
    bool NeedsDecoding() const override { return false; }

    /// Any thread: the first write error (the capture stops there); empty while all is well.
    std::string Error() const;
    /// Any thread: packets written (handshake packets included).
    std::uint64_t Packets() const;
    const std::string& Path() const { return path_; }

private:
    CaptureFile(std::FILE* file, std::string path, pomrel::FrameClockStart clock);
    struct Stream {
        std::uint32_t masterSeq = 0;
        std::uint32_t serverSeq = 0;
    };
    std::uint32_t Interface(const pomrel::FrameSource& source);
    void WriteFrame(const TappedFrame& frame);
    void WritePacket(std::uint32_t interface, std::int64_t wallUs, const std::uint8_t* headers, std::size_t headerSize,
                     const std::uint8_t* payload, std::size_t kept, std::size_t wire, const std::string* const* comments,
                     std::size_t commentCount);
    void Fail(const std::string& why);

    std::FILE* file_;
    const std::string path_;
    const pomrel::FrameClockStart clock_;
    std::vector<std::uint8_t> block_;  // the blocks of one batch, written at once
    std::map<std::tuple<int, int, int>, std::uint32_t> interfaces_;  // (kind, port, endpoint) -> interface id
    std::map<std::uint64_t, Stream> streams_;
    std::uint64_t written_ = 0;  // tap thread; published to packets_ once per batch
    mutable std::mutex mutex_;  // guards error_ and packets_ for readers on other threads
    std::string error_;
    std::uint64_t packets_ = 0;
};

} // namespace monitor
