#include "engine/SerialLink.h"

#include "engine/Pdu.h"
#include "engine/RequestAnswer.h"
#include "engine/SerialPort.h"

#include <asio/write.hpp>

#include <unistd.h>

#include <utility>

namespace pomrel {

namespace {
// Answers not yet on the wire; a master that floods a slow line loses the newest ones.
constexpr std::size_t kMaxPending = 4096;
// How long an answer waits for the master to assert CTS / DSR before it is given up.
constexpr std::chrono::milliseconds kLineWait(1000);
} // namespace

std::chrono::microseconds SerialLink::CharacterTime(const PortSettings& s)
{
    const unsigned baud = s.baudRate == 0 ? 9600u : s.baudRate;
    // Half bits, so that 1.5 stop bits stay exact.
    unsigned halfBits = 2 * (1 + (s.dataBits == 7 ? 7 : 8));
    if (s.parity == 1 || s.parity == 2)
        halfBits += 2;
    halfBits += s.stopBits == 1 ? 3 : (s.stopBits == 2 ? 4 : 2);
    return std::chrono::microseconds((500000ull * halfBits + baud - 1) / baud);
}

std::chrono::microseconds SerialLink::FrameGap(const PortSettings& s)
{
    if (s.baudRate > 19200)
        return std::chrono::microseconds(1750);
    return std::chrono::microseconds(CharacterTime(s).count() * 7 / 2);
}

SerialLink::SerialLink(EngineContext& context, int fd, std::unique_ptr<SerialFraming> framing,
                       const PortSettings& settings)
    : context_(context),
      port_(context.io, fd),
      gap_(context.io),
      tx_(context.io),
      retry_(context.io),
      faultTimer_(context.io),
      framing_(std::move(framing)),
      settings_(settings),
      toggleRts_(settings.rtsOnDelayMs > 0 || settings.rtsOffDelayMs > 0),
      silenceGap_(framing_->SilenceGap(settings))
{
    pending_.reserve(kMaxPending);
    sending_.reserve(kMaxPending);
}

std::shared_ptr<SerialLink> SerialLink::Open(EngineContext& context, const std::string& path, bool rtu,
                                             const PortSettings& settings, std::string& error)
{
    std::string warning;
    const int fd = OpenSerialPort(path, settings, error, warning);
    if (fd < 0)
        return nullptr;
    std::shared_ptr<SerialLink> link(new SerialLink(context, fd, MakeSerialFraming(rtu), settings));
    link->source_.ascii = !rtu;
    if (link->toggleRts_)
        SetRts(fd, false);  // RTS is raised only around our own transmissions
    return link;
}

void SerialLink::Start() { Read(); }

void SerialLink::Stop()
{
    stopped_ = true;
    std::error_code ignored;
    gap_.cancel();
    tx_.cancel();
    retry_.cancel();
    faultTimer_.cancel();
    port_.close(ignored);
}

void SerialLink::Read()
{
    port_.async_read_some(asio::buffer(read_), [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
        if (self->stopped_ || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // The far side of the line went away (a pseudo-terminal whose master closed):
            // look again later rather than spin on the error.
            self->retry_.expires_after(std::chrono::milliseconds(100));
            self->retry_.async_wait([self](const std::error_code& waitError) {
                if (!waitError && !self->stopped_)
                    self->Read();
            });
            return;
        }
        self->framing_->SetEnron(self->enron.load(std::memory_order_relaxed));
        std::size_t offset = 0;
        while (offset < n) {
            offset += self->framing_->Feed(self->read_.data() + offset, n - offset);
            self->Drain();
        }
        self->ArmGap();
        self->Read();
    });
}

void SerialLink::ArmGap()
{
    ++gapGeneration_;
    if (framing_->Buffered() == 0)
        return;
    const std::uint64_t generation = gapGeneration_;
    gap_.expires_after(silenceGap_);
    gap_.async_wait([self = shared_from_this(), generation](const std::error_code& ec) {
        if (ec || self->stopped_ || generation != self->gapGeneration_)
            return;
        self->framing_->Silence();
        self->Drain();
    });
}

void SerialLink::Drain()
{
    std::array<std::uint8_t, kMaxPdu> response{};
    std::array<std::uint8_t, 2 * kMaxPdu + 8> frame{};
    const PduOptions options{enron.load(std::memory_order_relaxed)};
    for (;;) {
        const FrameEvent e = framing_->Next();
        if (e.kind == FrameEvent::Kind::None)
            break;
        if (e.kind == FrameEvent::Kind::Discard) {
            if (e.badCheck) {
                invalidChecks.fetch_add(1, std::memory_order_relaxed);
                std::lock_guard lock(context_.blocks.Mutex());  // the event log's lock
                diagnostics.AddDamagedFrame();
            }
            context_.Log(e.raw, e.rawSize, kDiscarded, source_);
            continue;
        }
        validMessages.fetch_add(1, std::memory_order_relaxed);
        context_.Log(e.raw, e.rawSize, kReceived, source_);
        Answer answer;
        {
            std::lock_guard lock(context_.blocks.Mutex());
            answer = AnswerRequest(context_, RequestLink{source_.link, &diagnostics}, Addressing::Serial(e.unit),
                                   options, e.pdu, e.pduSize, response.data());
        }
        if (answer.pduSize == 0) {
            // A line has nothing to close: either fault leaves the master without an answer.
            const FaultAction action = answer.fault.action;
            if (answer.fault.fired && (action == FaultAction::NoReply || action == FaultAction::Close))
                context_.frames.PushWithheld(source_, answer.fault.ruleName, Withheld::NoReply);
            continue;
        }
        const std::size_t frameSize = framing_->Encode(answer.unit, response.data(), answer.pduSize, frame.data());
        if (!answer.fault.fired) {
            context_.Log(frame.data(), frameSize, kSent, source_);
            Queue(frame.data(), frameSize);
            continue;
        }
        const FaultDecision& fault = answer.fault;
        if (fault.action == FaultAction::BadChecksum)
            framing_->SpoilCheck(frame.data(), frameSize);
        std::vector<std::uint8_t> bytes(frame.data(), frame.data() + frameSize);
        FaultBytes(fault, bytes);
        const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault.delayMs);
        // A late answer is recorded when it is handed to the port; the rule may be gone by then.
        const std::string name = fault.ruleName ? *fault.ruleName : std::string();
        if (fault.action == FaultAction::Split && bytes.size() > 1) {
            // Two pieces; a gap longer than 3.5 characters makes them two broken frames.
            const auto half = static_cast<std::ptrdiff_t>(bytes.size() / 2);
            Schedule(at, {std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + half), name});
            Schedule(at + std::chrono::milliseconds(fault.gapMs),
                     {std::vector<std::uint8_t>(bytes.begin() + half, bytes.end()), name});
        } else if (fault.delayMs > 0) {
            Schedule(at, {std::move(bytes), name});
        } else {
            context_.Log(bytes.data(), bytes.size(), kSent, source_, fault.ruleName);
            Queue(bytes.data(), bytes.size());
        }
    }
}

void SerialLink::Schedule(std::chrono::steady_clock::time_point at, LateBytes late)
{
    scheduled_.emplace(at, std::move(late));
    ArmScheduled();
}

void SerialLink::ArmScheduled()
{
    if (scheduled_.empty() || stopped_)
        return;
    faultTimer_.expires_at(scheduled_.begin()->first);
    faultTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->stopped_)
            return;
        const auto now = std::chrono::steady_clock::now();
        while (!self->scheduled_.empty() && self->scheduled_.begin()->first <= now) {
            const LateBytes late = std::move(self->scheduled_.begin()->second);
            self->scheduled_.erase(self->scheduled_.begin());
            self->context_.Log(late.bytes.data(), late.bytes.size(), kSent, self->source_, &late.fault);
            self->Queue(late.bytes.data(), late.bytes.size());
        }
        self->ArmScheduled();
    });
}

void SerialLink::Queue(const std::uint8_t* bytes, std::size_t size)
{
    if (pending_.size() + size > kMaxPending)
        return;
    pending_.insert(pending_.end(), bytes, bytes + size);
    if (!transmitting_)
        BeginTransmit();
}

void SerialLink::BeginTransmit()
{
    if (stopped_ || pending_.empty())
        return;
    transmitting_ = true;
    sending_.swap(pending_);
    pending_.clear();
    if (settings_.waitCts != 0 || settings_.waitDtr != 0)
        WaitForLines(std::chrono::steady_clock::now() + kLineWait);
    else
        RaiseRtsAndWrite();
}

void SerialLink::WaitForLines(std::chrono::steady_clock::time_point deadline)
{
    bool cts = false;
    bool dsr = false;
    // A device without modem lines cannot hold us back.
    if (!ReadModemLines(port_.native_handle(), cts, dsr) || ((settings_.waitCts == 0 || cts) && (settings_.waitDtr == 0 || dsr)))
        return RaiseRtsAndWrite();
    if (std::chrono::steady_clock::now() >= deadline) {
        sending_.clear();  // the master never made ready: this answer is given up
        return FinishTransmit();
    }
    tx_.expires_after(std::chrono::milliseconds(1));
    tx_.async_wait([self = shared_from_this(), deadline](const std::error_code& ec) {
        if (!ec && !self->stopped_)
            self->WaitForLines(deadline);
    });
}

void SerialLink::RaiseRtsAndWrite()
{
    if (!toggleRts_)
        return Write();
    SetRts(port_.native_handle(), true);
    if (settings_.rtsOnDelayMs == 0)
        return Write();
    tx_.expires_after(std::chrono::milliseconds(settings_.rtsOnDelayMs));
    tx_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec && !self->stopped_)
            self->Write();
    });
}

void SerialLink::Write()
{
    asio::async_write(port_, asio::buffer(sending_), [self = shared_from_this()](const std::error_code& ec, std::size_t) {
        if (self->stopped_ || ec == asio::error::operation_aborted)
            return;
        self->AfterWrite();
    });
}

void SerialLink::AfterWrite()
{
    if (!toggleRts_)
        return FinishTransmit();
    // The write completes when the bytes reach the driver; the last one leaves the line a
    // transmission time later. RTS drops the given delay after that.
    const auto lineTime = CharacterTime(settings_) * static_cast<long>(sending_.size());
    tx_.expires_after(lineTime + std::chrono::milliseconds(settings_.rtsOffDelayMs));
    tx_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (ec || self->stopped_)
            return;
        SetRts(self->port_.native_handle(), false);
        self->FinishTransmit();
    });
}

void SerialLink::FinishTransmit()
{
    sending_.clear();
    transmitting_ = false;
    BeginTransmit();
}

} // namespace pomrel
