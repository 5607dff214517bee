#include "view/PointEditing.h"

#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "document/RegisterValues.h"

#include <algorithm>

namespace pointedit {

namespace {

using regval::IsDoubleFormat;
using regval::IsFloatFormat;
using regval::IsLongFormat;

// Registers of the block that exist in memory.
int BlockWords(const CKelvaro32Doc& doc)
{
    return std::min<int>(doc.length, kRegisterWords);
}

} // namespace

EditPlan PlanEdit(const CKelvaro32Doc& doc, int format, bool enronApplies, int pointIndex)
{
    EditPlan p;
    p.pointIndex = pointIndex;
    p.enron = enronApplies && doc.pointType >= 3;
    const int S = static_cast<int>(doc.StartAddress());
    const int i = pointIndex;
    auto word = [&](int r) { return r >= 0 && r < kRegisterWords ? static_cast<std::int32_t>(doc.Word(r)) : 0; };

    if (doc.pointType == 1 || doc.pointType == 2) {
        p.dialog = DialogKind::kCoil;
        p.reg = i;
        p.address = S + i;
        p.intValue = word(i);
        return p;
    }
    // Under ENRON the view shows every point in the block's ENRON format. An ENRON format left
    // over from an earlier range edits as the 32-bit value it names, in pairs counted from the
    // block's start like Long and Float (register i rounded down to even, value type 10 or 9).
    int f = format;
    if (p.enron)
        f = regval::EnronFormat(doc.startAddress);
    p.format = f;

    if (IsLongFormat(f) || IsFloatFormat(f)) {
        p.dialog = IsLongFormat(f) ? DialogKind::kRegister : DialogKind::kFloat;
        p.reg = p.enron ? 2 * i : (i & ~1);
        p.address = p.enron ? S + i : S + (i & ~1);
        if (IsLongFormat(f))
            p.intValue = regval::ReadLong(doc, p.reg, f);
        else
            p.floatValue = regval::ReadFloat(doc, p.reg, f);
        p.valueType = regval::LayoutOf(f).valueType;
    } else if (IsDoubleFormat(f)) {
        p.dialog = DialogKind::kFloat;
        p.reg = i & ~3;
        p.address = S + p.reg;
        p.floatValue = static_cast<float>(regval::ReadDouble(doc, p.reg, f));
        p.valueType = regval::LayoutOf(f).valueType;
    } else {
        p.dialog = f == kHex ? DialogKind::kHex : f == kBinary ? DialogKind::kBinary : DialogKind::kRegister;
        p.reg = i;
        p.address = S + i;
        p.intValue = word(i);
        p.valueType = p.dialog == DialogKind::kRegister ? kValueWord : -1;
    }
    return p;
}

Target TargetOf(const CKelvaro32Doc& doc, const EditPlan& plan, std::int64_t address)
{
    const std::int64_t d = address - static_cast<std::int64_t>(doc.StartAddress());
    const int words = BlockWords(doc);
    const int f = plan.format;
    Target t;
    if (plan.dialog != DialogKind::kFloat && !IsLongFormat(f)) {
        t.reg = static_cast<int>(std::clamp<std::int64_t>(d, -1, words));
        t.words = 1;
        t.accepted = d >= 0 && d < words;
        return t;
    }
    if (plan.enron) {
        // One point of two registers per address; the block may claim more points than the
        // 1000 words hold.
        t.reg = static_cast<int>(std::clamp<std::int64_t>(2 * d, -1, kRegisterWords));
        t.words = 2;
        t.accepted = d >= 0 && d < doc.length && 2 * d + 1 < kRegisterWords;
        return t;
    }
    // Pairs and groups of four are counted from the block's start; the offset wraps as the
    // 16-bit number the address is on the wire.
    const int group = regval::RegistersPerValue(f);
    const auto b = static_cast<std::uint16_t>(d & ~static_cast<std::int64_t>(group - 1));
    t.reg = b;
    t.words = group;
    // The whole value must lie inside the block: a pair starting at the last point of a block
    // of odd length has no room for its second word.
    t.accepted = b + group <= words;
    return t;
}

bool ApplyEdit(CKelvaro32Doc& doc, AliasTable& aliases, const EditPlan& plan, std::int64_t address,
               std::int32_t intValue, float floatValue, const std::string& alias, bool keepValue)
{
    const Target t = TargetOf(doc, plan, address);
    if (!t.accepted)
        return false;
    aliases.SetAlias(doc.pointType, static_cast<int>(address), alias);
    // A NaN passed through the single-precision dialog would lose its payload (and a 64-bit
    // one its low bits): kept means untouched.
    if (keepValue && t.reg == plan.reg)
        return true;
    const int f = plan.format;
    if (plan.dialog == DialogKind::kFloat) {
        if (IsDoubleFormat(f))
            regval::WriteDouble(doc, t.reg, static_cast<double>(floatValue), f);
        else
            regval::WriteFloat(doc, t.reg, floatValue, f);
    } else if (plan.dialog == DialogKind::kRegister && IsLongFormat(f)) {
        regval::WriteLong(doc, t.reg, intValue, f);
    } else {
        doc.SetWord(t.reg, static_cast<std::uint16_t>(intValue));
    }
    return true;
}

} // namespace pointedit
