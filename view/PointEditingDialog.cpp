#include "view/PointEditingDialog.h"

#include "dialogs/CHexReg.h"
#include "dialogs/CWrBinary.h"
#include "dialogs/CWrCoil.h"
#include "dialogs/CWrFltDlg.h"
#include "dialogs/CWrReg.h"
#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "simulation/AutoSimulation.h"
#include "view/CKelvaro32View.h"
#include "view/PointEditing.h"
#include "view/ValueFormat.h"
#include "view/Workspace.h"

using pointedit::DialogKind;

namespace {

void TakeValue(const writedlg::WrFltModel& m, std::int32_t&, float& floatValue) { floatValue = m.value; }
template <class Model>
void TakeValue(const Model& m, std::int32_t& intValue, float&) { intValue = static_cast<std::int32_t>(m.value); }
bool ValueKept(const writedlg::WrFltModel& m) { return m.valueKept; }
template <class Model>
bool ValueKept(const Model&) { return false; }

// Fills the members every dialog has, runs it, and stores on Update.
template <class Dialog>
bool RunAndStore(Dialog& dlg, CKelvaro32Doc& doc, AliasTable& aliases, const pointedit::EditPlan& plan)
{
    dlg.model.address = plan.address;
    dlg.model.alias = aliases.GetAlias(doc.pointType, plan.address);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    std::int32_t intValue = 0;
    float floatValue = 0.0f;
    TakeValue(dlg.model, intValue, floatValue);
    return pointedit::ApplyEdit(doc, aliases, plan, dlg.model.address, intValue, floatValue, dlg.model.alias,
                                ValueKept(dlg.model));
}

} // namespace

bool RunPointEditor(QWidget* parent, CKelvaro32Doc& doc, AliasTable& aliases, int displayFormat,
                    bool enronApplies, int pointIndex)
{
    const pointedit::EditPlan plan = pointedit::PlanEdit(doc, displayFormat, enronApplies, pointIndex);
    switch (plan.dialog) {
    case DialogKind::kCoil: {
        CWrCoil dlg(parent);
        dlg.model.value = plan.intValue;
        dlg.model.document = &doc;
        dlg.model.pointIndex = plan.reg;
        dlg.SetAutoSimulation(simdlg::CoilSimulation(doc, plan.reg));
        return RunAndStore(dlg, doc, aliases, plan);
    }
    case DialogKind::kHex: {
        CHexReg dlg(parent);
        dlg.model.document = &doc;
        dlg.model.pointIndex = plan.reg;
        dlg.model.value = plan.intValue;
        // A register shown in hex is always simulated as one 16-bit word.
        dlg.SetAutoSimulation(simdlg::RegisterSimulation(doc, plan.reg, kValueWord));
        return RunAndStore(dlg, doc, aliases, plan);
    }
    case DialogKind::kBinary: {
        CWrBinary dlg(parent);
        dlg.model.value = static_cast<std::uint16_t>(plan.intValue);
        return RunAndStore(dlg, doc, aliases, plan);
    }
    case DialogKind::kFloat: {
        CWrFltDlg dlg(parent);
        dlg.model.document = &doc;
        dlg.model.pointIndex = plan.reg;
        dlg.model.valueType = plan.valueType;
        dlg.model.value = plan.floatValue;
        dlg.SetAutoSimulation(simdlg::RegisterSimulation(doc, plan.reg, plan.valueType));
        return RunAndStore(dlg, doc, aliases, plan);
    }
    case DialogKind::kRegister:
        break;
    }
    CWrReg dlg(parent);
    dlg.model.document = &doc;
    dlg.model.pointIndex = plan.reg;
    dlg.model.valueType = plan.valueType;
    dlg.model.value = plan.intValue;
    dlg.SetAutoSimulation(simdlg::RegisterSimulation(doc, plan.reg, plan.valueType));
    return RunAndStore(dlg, doc, aliases, plan);
}

void OnViewDoubleClick(CKelvaro32View& view, int x, int y)
{
    CKelvaro32Doc* doc = view.Document();
    if (!view.TrafficMode() && doc) {
        const int point = view.Layout().HitTest(x, y, doc->length);
        if (point >= 0) {
            RunPointEditor(&view, *doc, view.Services().Aliases(), view.DisplayFormat(),
                           view.Model().EnronAppliesNow(), point);
        }
    }
    view.RepaintAll(true);
}
