// Learn mode (Tools > Learn, kelvaro64-headless --learn, automation SetLearn): while on, a request
// nothing serves makes the program serve it — a new data window for that unit and point type
// covering the range asked for, grown when later requests reach past it (within a window's 1000
// points; further windows beyond). The engine lists the requests; this polls the list.
#pragma once

#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CKelvaro32App;
class CKelvaro32Doc;

class LearnMode {
public:
    explicit LearnMode(CKelvaro32App& app);

    void SetOn(bool on);
    bool On() const { return on_; }
    /// One poll (the timer's handler): serves what was asked and not served yet.
    void Tick();

    /// Told of every window learnt or grown: "learnt: unit 9 holding registers 1..4 (Learnt1)".
    std::function<void(const std::string&)> onLearnt;

private:
    void Serve(int unit, int type, std::uint32_t first, std::uint32_t last);
    bool Covered(int unit, int type, std::uint32_t first, std::uint32_t last) const;

    CKelvaro32App& app_;
    QTimer timer_;
    bool on_ = false;
    std::uint64_t seen_ = 0;
    std::vector<CKelvaro32Doc*> learnt_;  // the windows this made, while they are open
    int count_ = 0;
};
