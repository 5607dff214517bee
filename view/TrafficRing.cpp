#include "view/TrafficRing.h"

TrafficRing::TrafficRing()
    : bytes_(new std::uint8_t[kCapacity]()), attributes_(new std::uint8_t[kCapacity]())
{
}

int TrafficRing::AppendTraffic(const std::uint16_t* words, int n)
{
    if (!bytes_ || !attributes_ || !words || n <= 0)
        return 0;
    const bool wasFull = full_;
    for (int i = 0; i < n; ++i) {
        bytes_[writeIndex_] = static_cast<std::uint8_t>(words[i]);
        attributes_[writeIndex_] = static_cast<std::uint8_t>(words[i] >> 8);
        if (++writeIndex_ == kCapacity) {
            full_ = true;
            writeIndex_ = 0;
        }
        if (full_)
            startIndex_ = writeIndex_;
    }
    if (wasFull)
        return n;
    return full_ ? writeIndex_ : 0;
}

bool TrafficRing::ReadTraffic(int i, std::uint8_t& byte, std::uint8_t& attribute) const
{
    if (!bytes_ || !attributes_)
        return false;
    const int p = full_ ? (startIndex_ + i) % kCapacity : i;
    if (p < 0 || p >= kCapacity)
        return false;
    byte = bytes_[p];
    attribute = attributes_[p];
    return true;
}

void TrafficRing::Release()
{
    bytes_.reset();
    attributes_.reset();
}
