#include "engine/SessionBudget.h"

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <optional>

namespace pomrel {

namespace {
// A server is never left with fewer places than this, whatever else holds descriptors.
constexpr std::size_t kMinSessions = 16;
// The reserve: an eighth of the limit, at least enough for a few clients and files, at most what
// the automation port's 64 clients, the HTTP port and the program's files need.
constexpr std::uint64_t kMinReserve = 16;
constexpr std::uint64_t kMaxReserve = 128;
// While the budget is full, what the rest of the program holds is counted again this often at
// most: reading /proc/self/fd costs as much as a thousand accepts.
constexpr auto kMeasureEvery = std::chrono::seconds(1);

std::uint64_t SoftLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

// Descriptors open now; none when they cannot be counted (out of descriptors to read the list).
std::optional<std::size_t> OpenDescriptors()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return std::nullopt;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // not the list's own
}
} // namespace

std::size_t ReservedDescriptors(std::uint64_t softLimit)
{
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(softLimit / 8, kMinReserve, kMaxReserve));
}

std::size_t SessionBudgetFor(std::uint64_t softLimit, std::size_t others)
{
    if (softLimit == UINT64_MAX)
        return SIZE_MAX;
    const std::uint64_t kept = std::uint64_t{ReservedDescriptors(softLimit)} + others;
    const std::uint64_t left = softLimit > kept ? softLimit - kept : 0;
    return std::max<std::size_t>(static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX)), kMinSessions);
}

bool ConnectionWaiting(int listener)
{
    pollfd p{listener, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

void SessionBudget::Join(Member& member)
{
    if (std::find(members_.begin(), members_.end(), &member) == members_.end())
        members_.push_back(&member);
    Measure();
}

void SessionBudget::Leave(Member& member) { std::erase(members_, &member); }

std::size_t SessionBudget::Sessions() const
{
    std::size_t sessions = 0;
    for (const Member* member : members_)
        sessions += member->OpenSessions();
    return sessions;
}

void SessionBudget::Measure()
{
    softLimit_ = SoftLimit();
    measured_ = Clock::now();
    const std::optional<std::size_t> open = OpenDescriptors();
    if (!open)
        return;  // none left even to count them: keep the last figure
    const std::size_t sessions = Sessions();
    cap_.store(SessionBudgetFor(softLimit_, *open > sessions ? *open - sessions : 0), std::memory_order_relaxed);
}

void SessionBudget::MakeRoom()
{
    if (SoftLimit() != softLimit_)
        Measure();  // the limit was changed from outside
    const std::size_t sessions = Sessions();
    if (sessions < Cap())
        return;
    // Full: what the rest of the program holds may have changed since it was counted.
    if (Clock::now() - measured_ >= kMeasureEvery) {
        Measure();
        if (sessions < Cap())
            return;
    }
    CloseOldest();
}

bool SessionBudget::Reclaim()
{
    // With few sessions the shortage is not theirs: closing masters one by one would not end it.
    measured_ = {};  // count again at the next newcomer
    return Sessions() >= kMinSessions && CloseOldest();
}

bool SessionBudget::CloseOldest()
{
    Member* oldest = nullptr;
    Clock::time_point oldestUse{};
    for (Member* member : members_) {
        Clock::time_point last;
        if (member->OldestUse(last) && (!oldest || last < oldestUse)) {
            oldest = member;
            oldestUse = last;
        }
    }
    if (!oldest)
        return false;
    oldest->CloseOldest();
    return true;
}

} // namespace pomrel
