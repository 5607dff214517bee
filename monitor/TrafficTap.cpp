#include "monitor/TrafficTap.h"

#include "engine/TrafficLog.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace monitor {

namespace {
// Often enough that the engine's queue (0.4 s at 20 000 pairs a second) never fills; seldom
// enough that a sink writes a few hundred frames at once.
constexpr auto kInterval = std::chrono::milliseconds(10);
constexpr std::size_t kTakeAtOnce = 4096;
constexpr int kNiceWithoutIdleClass = 19;
} // namespace

struct TrafficTap::Impl {
    explicit Impl(pomrel::ProtocolEngine& e) : engine(e), records(kTakeAtOnce), frames(kTakeAtOnce) {}

    // Under `mutex`: takes everything queued, decodes it and hands it to the sinks. The records
    // and frames are kept from batch to batch with their storage, so draining allocates nothing
    // once it has run a while.
    void Drain()
    {
        for (;;) {
            const std::size_t n = engine.TakeFrameRecords(std::span<pomrel::FrameRecord>(records));
            if (n == 0)
                return;
            const bool decode = std::any_of(sinks.begin(), sinks.end(), [](const auto& s) { return s->NeedsDecoding(); });
            if (decode && !decoding)
                decoder = FrameDecoder();  // what it remembers for pairing is from before a gap
            decoding = decode;
            for (std::size_t i = 0; i < n; ++i) {
                if (decode)
                    decoder.Decode(records[i], frames[i].decoded);
                else if (records[i].attribute == pomrel::kDiscarded)
                    DecodeFrame(records[i], frames[i].decoded);  // why it was discarded
                else
                    frames[i].decoded.ok = false;
                std::swap(frames[i].record, records[i]);
            }
            const std::span<const TappedFrame> batch(frames.data(), n);
            for (const auto& sink : sinks)
                sink->Take(batch);
            if (n < kTakeAtOnce)
                return;
        }
    }

    void Run()
    {
#ifdef __linux__
        // Only the time the processors have to spare: the engine's thread, the masters' and the
        // user interface always come first. A machine with a processor free records everything;
        // one where the tap cannot keep up drops the oldest records, counted, and never serves
        // the masters slower for it.
        sched_param none{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &none) != 0)
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNiceWithoutIdleClass);
#endif
        std::unique_lock lock(mutex);
        while (!stop) {
            if (sinks.empty())
                wake.wait(lock, [this] { return stop || !sinks.empty(); });
            else
                wake.wait_for(lock, kInterval, [this] { return stop; });
            if (!stop)
                Drain();
        }
    }

    pomrel::ProtocolEngine& engine;
    std::mutex mutex;  // guards everything below; held while sinks take a batch
    std::condition_variable wake;
    bool stop = false;
    std::vector<std::shared_ptr<FrameSink>> sinks;
    FrameDecoder decoder;
    bool decoding = false;  // the last batch was decoded
    std::vector<pomrel::FrameRecord> records;
    std::vector<TappedFrame> frames;
    std::thread thread;
};

TrafficTap::TrafficTap(pomrel::ProtocolEngine& engine) : impl_(std::make_unique<Impl>(engine))
{
    impl_->thread = std::thread([this] { impl_->Run(); });
}

TrafficTap::~TrafficTap()
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stop = true;
        if (!impl_->sinks.empty())
            impl_->Drain();  // what the sinks are owed up to now
        impl_->sinks.clear();
        impl_->engine.EnableFrameRecords(false);
    }
    impl_->wake.notify_all();
    impl_->thread.join();
}

void TrafficTap::AddSink(std::shared_ptr<FrameSink> sink)
{
    if (!sink)
        return;
    {
        std::lock_guard lock(impl_->mutex);
        // What was queued before belongs to the sinks there were before.
        impl_->Drain();
        if (std::find(impl_->sinks.begin(), impl_->sinks.end(), sink) != impl_->sinks.end())
            return;
        impl_->sinks.push_back(std::move(sink));
        if (impl_->sinks.size() == 1)
            impl_->engine.EnableFrameRecords(true);
    }
    impl_->wake.notify_all();
}

void TrafficTap::RemoveSink(const std::shared_ptr<FrameSink>& sink)
{
    std::lock_guard lock(impl_->mutex);
    auto& sinks = impl_->sinks;
    const auto it = std::find(sinks.begin(), sinks.end(), sink);
    if (it == sinks.end())
        return;
    impl_->Drain();  // the sink gets every frame up to its removal
    sinks.erase(it);
    if (sinks.empty())
        impl_->engine.EnableFrameRecords(false);
}

void TrafficTap::Flush()
{
    std::lock_guard lock(impl_->mutex);
    impl_->Drain();
}

pomrel::FrameClockStart TrafficTap::Clock() const { return impl_->engine.FrameClock(); }

std::uint64_t TrafficTap::Dropped() const { return impl_->engine.DroppedFrameRecords(); }

} // namespace monitor
