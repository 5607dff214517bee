// The rules of one data view that are not about pixels: the header fields (device id, address,
// length, point type) with their parsing and limits, the ENRON clamp, the display format, and
// the block the engine serves for the document. The widget shows what this holds and forwards
// what the user types.
#pragma once

#include "document/RegisterValues.h"
#include "engine/ProtocolEngine.h"

#include <optional>
#include <string>
#include <string_view>

class CKelvaro32Doc;
class Workspace;

class DataViewModel {
public:
    DataViewModel(CKelvaro32Doc& doc, Workspace& workspace) : doc_(doc), workspace_(workspace) {}
    /// Removes the block: the engine no longer touches the memory afterwards.
    ~DataViewModel();
    DataViewModel(const DataViewModel&) = delete;
    DataViewModel& operator=(const DataViewModel&) = delete;

    CKelvaro32Doc& Document() const { return doc_; }
    Workspace& Services() const { return workspace_; }

    int DisplayFormat() const { return displayFormat_; }
    void SetDisplayFormat(int format) { displayFormat_ = format; }

    /// Removes the previous block, then defines the document's block with the engine.
    void RegisterBlock();
    pomrel::Handle BlockHandle() const { return blockHandle_; }

    /// True while the block is in an ENRON range with EnronMode set.
    bool EnronAppliesNow() const;

    // The texts the header fields show for the document's block.
    std::string DeviceIdText() const;   // "%3d"
    std::string AddressText() const;    // "%4u", the first three blanks as zeros
    std::string LengthText() const;

    /// What an edit of a header field did.
    enum class Edit {
        kRefused,            // text not accepted: the document is unchanged
        kApplied,            // the block changed (re-register, repaint)
        kAppliedLengthCut,   // as kApplied, and the length was cut to 500 for ENRON: show it
    };
    Edit EditDeviceId(std::string_view text);
    Edit EditAddress(std::string_view text);
    Edit EditLength(std::string_view text);
    /// A selection in the point type list (0..3); the selection-change rule runs every time.
    Edit SelectPointType(int index);

    /// "%d" on at most 39 characters: leading blanks skipped, trailing text ignored. Saturates far
    /// outside every limit instead of overflowing.
    static std::optional<long long> ParseLeadingInt(std::string_view text);

private:
    /// Under ENRON the format follows the range and the length stops at 500 points.
    Edit ClampForEnron();

    CKelvaro32Doc& doc_;
    Workspace& workspace_;
    int displayFormat_ = kDecimal;
    pomrel::Handle blockHandle_ = pomrel::kNoHandle;
};
