// The values, enabling rules and checks of the Auto Simulation and Coil Simulation dialogs, and
// the hand-off from a write dialog's Auto Simulation button. Plain code.
#pragma once

#include "dialogs/FieldText.h"

#include <cstdint>
#include <string_view>

class CKelvaro32Doc;

namespace simdlg {

inline constexpr int kIdType = 1001;
inline constexpr int kIdInterval = 1002;
inline constexpr int kIdStep = 1003;
inline constexpr int kIdLow = 1004;
inline constexpr int kIdHigh = 1005;
inline constexpr int kIdEnabled = 1006;

/// CSimDlg members, in their order, with the values for a point that is not simulated yet.
struct SimDlgModel {
    std::int32_t enabled = 0;
    std::int32_t simulationType = 0;
    float highLimit = 32767.0f;
    std::int32_t interval = 5;
    float lowLimit = 0.0f;
    float step = 1.0f;

    /// The list entry shown on opening: Increment or Decrement, anything else Random.
    int TypeIndex() const { return simulationType == 1 || simulationType == 2 ? simulationType : 0; }
    void ClickEnabled(bool checked) { enabled = checked ? 1 : 0; }
    /// The chosen list entry (0, 1, 2); no selection (-1) is Random.
    void ChooseType(int index) { simulationType = index >= 0 && index <= 2 ? index : 0; }

    struct Enabling { bool type, interval, step, low, high; };
    /// Step only matters when the value counts up or down.
    Enabling Enables() const;

    /// OK: high, interval, low, step in that order; disabled fields are read as well.
    fieldtext::FieldCheck Exchange(std::string_view highText, std::string_view intervalText,
                                   std::string_view lowText, std::string_view stepText);
};

/// CCoilSimDlg members, in their order.
struct CoilSimDlgModel {
    std::int32_t enabled = 0;
    std::int32_t simulationType = 0;
    std::int32_t interval = 5;

    /// 0 Random, 1 Toggle.
    int TypeIndex() const { return simulationType != 0 ? 1 : 0; }
    void ClickEnabled(bool checked) { enabled = checked ? 1 : 0; }
    /// "Random" is 0; "Toggle" and the two empty entries are Toggle.
    void ChooseEntry(int index) { simulationType = index == 0 ? 0 : 1; }
    bool FieldsEnabled() const { return enabled != 0; }

    fieldtext::FieldCheck Exchange(std::string_view intervalText);
};

/// How the write dialog ends after its Auto Simulation hand-off.
enum class HandOffEnd { kUpdate, kCancel };

/// The dialog's start values: from the point's simulation when there is one, else the defaults.
SimDlgModel SimDialogFor(const CKelvaro32Doc& doc, int pointIndex);
CoilSimDlgModel CoilSimDialogFor(const CKelvaro32Doc& doc, int pointIndex);

/// After OK in CSimDlg: replaces or removes the point's simulation. Update when it is enabled
/// (the write dialog then stores its value too), Cancel when it was switched off.
HandOffEnd ApplySimDialog(CKelvaro32Doc& doc, int pointIndex, int valueType, const SimDlgModel& dlg);
/// After OK in CCoilSimDlg: replaces or removes the coil's simulation; always Update.
HandOffEnd ApplyCoilSimDialog(CKelvaro32Doc& doc, int pointIndex, const CoilSimDlgModel& dlg);

} // namespace simdlg
