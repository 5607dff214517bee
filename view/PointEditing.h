// Point editing: which write dialog a double-clicked point gets, what it is filled with, and
// where the dialog's value goes on Update. Plain code; PointEditingDialog runs the dialogs.
#pragma once

#include <cstdint>
#include <string>

class AliasTable;
class CKelvaro32Doc;

namespace pointedit {

enum class DialogKind { kCoil, kRegister, kHex, kBinary, kFloat };

/// The dialog for one point and its members.
struct EditPlan {
    DialogKind dialog = DialogKind::kRegister;
    int format = 0;            // the format the value is read and written in
    bool enron = false;        // EnronApplies: one 32-bit value per point, registers 2i, 2i+1
    int pointIndex = 0;        // the point that was hit
    int reg = 0;               // r: first register of the value; the dialog's point index member
    int address = 0;           // shown in the dialog
    std::int32_t intValue = 0; // CWrReg, CHexReg, CWrBinary, CWrCoil
    float floatValue = 0.0f;   // CWrFltDlg
    int valueType = -1;        // for a new simulated point; -1: the dialog has no such member
};

/// First step of a double-click: the dialog and its members for point `pointIndex` of `doc`
/// shown in `format`. Reads multi-word values under the document's value lock.
EditPlan PlanEdit(const CKelvaro32Doc& doc, int format, bool enronApplies, int pointIndex);

/// Where Update stores the value; `accepted` false stores nothing at all.
struct Target {
    bool accepted = false;
    int reg = 0;     // first register written
    int words = 0;   // registers written
};

/// The target for the dialog's address `address` when it ends with Update.
Target TargetOf(const CKelvaro32Doc& doc, const EditPlan& plan, std::int64_t address);

/// Update: stores the value (in the plan's word order, under the value lock) and the alias when
/// the target is accepted. Returns whether anything was stored. `keepValue` (the float dialog
/// took its own "nan" / "inf" unchanged): the point's words stay exactly as they are when the
/// target is the point that was edited.
bool ApplyEdit(CKelvaro32Doc& doc, AliasTable& aliases, const EditPlan& plan, std::int64_t address,
               std::int32_t intValue, float floatValue, const std::string& alias, bool keepValue = false);

} // namespace pointedit
