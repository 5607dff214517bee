// The 1024 most recent traffic entries (byte + attribute), shared by every traffic view.
// Touched only on the user-interface thread.
#pragma once

#include <cstdint>
#include <memory>

class TrafficRing {
public:
    static constexpr int kCapacity = 1024;

    TrafficRing();
    /// Stores n words (low byte data, high byte attribute); returns how many of the entries
    /// held before were overwritten, so every kept logical index moves down by that much.
    int AppendTraffic(const std::uint16_t* words, int n);
    /// Entries held: the capacity once full, else the write index.
    int TrafficCount() const { return full_ ? kCapacity : writeIndex_; }
    /// Entry at logical index i (0 the oldest); false when no slot answers the index.
    bool ReadTraffic(int i, std::uint8_t& byte, std::uint8_t& attribute) const;

    int WriteIndex() const { return writeIndex_; }
    int StartIndex() const { return startIndex_; }
    bool Full() const { return full_; }
    /// Releases the storage (main frame deletion); the ring then drops all traffic.
    void Release();

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::unique_ptr<std::uint8_t[]> attributes_;
    int writeIndex_ = 0;
    int startIndex_ = 0;
    bool full_ = false;
};
