// One simulated data block: device id, point type, start address, length and the 1000 words of
// register memory the engine serves in place. Plain model: no window system here.
#pragma once

#include "document/LogFont.h"
#include "engine/ProtocolEngine.h"
#include "document/CAutomatePt.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class DocumentView;
class OpenDocuments;

inline constexpr int kRegisterWords = 1000;

/// Where a new document takes its defaults from and where it enters itself.
struct DocumentContext {
    OpenDocuments* openDocuments = nullptr;
    std::string iniPath;                       // Kelvaro32.ini beside the executable
    const DisplayDefaults* defaults = nullptr; // the main frame's; null before it exists
};

class CKelvaro32Doc {
public:
    explicit CKelvaro32Doc(const DocumentContext& context);
    ~CKelvaro32Doc();
    CKelvaro32Doc(const CKelvaro32Doc&) = delete;
    CKelvaro32Doc& operator=(const CKelvaro32Doc&) = delete;

    // The block, in the stored order.
    std::uint8_t pointType = 3;
    std::uint8_t deviceId = 1;
    std::uint16_t startAddress = 1;   // 0 stands for 65536
    std::uint16_t length = 1000;
    /// Word i holds the point at point index i. Never moves while the document lives.
    std::array<pomrel::RegisterWord, kRegisterWords> memory;
    Colour foreground = 0x000000;
    Colour background = 0xC0C0C0;
    const std::array<std::string, 3> versions{"1.04", "1.05", "1.06"};
    std::vector<std::unique_ptr<CAutomatePt>> simulatedPoints;
    LogFont font;

    /// Taken around every value of several words, by the engine as well, so that no side
    /// ever sees half of a 32- or 64-bit value.
    std::mutex valueLock;

    /// The start address as a number 1..65536.
    unsigned StartAddress() const { return startAddress == 0 ? 65536u : startAddress; }
    std::uint16_t Word(int index) const { return memory[static_cast<std::size_t>(index)].load(std::memory_order_relaxed); }
    void SetWord(int index, std::uint16_t value) { memory[static_cast<std::size_t>(index)].store(value, std::memory_order_relaxed); }

    // Simulated points, matched by point index.
    CAutomatePt* FindSimulatedPoint(int pointIndex) const;
    void RemoveSimulatedPoint(int pointIndex);
    void AddSimulatedPoint(std::unique_ptr<CAutomatePt> point);

    // Only the colour commands mark a document modified.
    bool IsModified() const { return modified_; }
    void SetModified(bool modified) { modified_ = modified; }

    /// The name shown in the window caption ("Kelvaro1") or the file's name once saved/opened.
    std::string title;
    /// The file the document was opened from or saved to; empty for none. Read it here, change
    /// it with SetPathName so that the open documents find it by name.
    std::string pathName;
    void SetPathName(std::string path);

    // Views of this document (one in practice), in the order they attached.
    void AttachView(DocumentView* view) { views_.push_back(view); }
    void DetachView(DocumentView* view) { std::erase(views_, view); }
    const std::vector<DocumentView*>& Views() const { return views_; }
    /// Runs every view's header set-up, which ends by registering the block.
    void SetupViews();
    /// Passes a traffic shift to every view.
    void ShiftTraffic(int shift);
    void RepaintViews(bool erase);

private:
    OpenDocuments* openDocuments_ = nullptr;
    bool modified_ = false;
    std::vector<DocumentView*> views_;
};
