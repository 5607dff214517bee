#include "document/CKelvaro32Doc.h"

#include "document/DocumentView.h"
#include "document/IniDefaults.h"
#include "document/OpenDocuments.h"

CKelvaro32Doc::CKelvaro32Doc(const DocumentContext& context)
    : openDocuments_(context.openDocuments)
{
    if (openDocuments_)
        openDocuments_->Append(this);
    const BlockDefaults block = ReadBlockDefaults(context.iniPath);
    pointType = block.pointType;
    deviceId = block.deviceId;
    startAddress = block.startAddress;
    length = block.length;
    for (auto& word : memory)
        word.store(0, std::memory_order_relaxed);
    const DisplayDefaults builtIn;
    const DisplayDefaults& defaults = context.defaults ? *context.defaults : builtIn;
    font = defaults.font;
    foreground = defaults.foreground;
    background = defaults.background;
}

CKelvaro32Doc::~CKelvaro32Doc()
{
    simulatedPoints.clear();
    if (openDocuments_)
        openDocuments_->Remove(this);
}

void CKelvaro32Doc::SetPathName(std::string path)
{
    pathName = std::move(path);
    if (openDocuments_)
        openDocuments_->SetPath(this, pathName);
}

CAutomatePt* CKelvaro32Doc::FindSimulatedPoint(int pointIndex) const
{
    for (const auto& p : simulatedPoints)
        if (p->pointIndex == pointIndex)
            return p.get();
    return nullptr;
}

void CKelvaro32Doc::RemoveSimulatedPoint(int pointIndex)
{
    for (auto it = simulatedPoints.begin(); it != simulatedPoints.end(); ++it) {
        if ((*it)->pointIndex == pointIndex) {
            simulatedPoints.erase(it);
            return;
        }
    }
}

void CKelvaro32Doc::AddSimulatedPoint(std::unique_ptr<CAutomatePt> point)
{
    simulatedPoints.push_back(std::move(point));
}

void CKelvaro32Doc::SetupViews()
{
    for (DocumentView* v : views_)
        v->SetupHeader();
}

void CKelvaro32Doc::ShiftTraffic(int shift)
{
    for (DocumentView* v : views_)
        v->ShiftTraffic(shift);
}

void CKelvaro32Doc::RepaintViews(bool erase)
{
    for (DocumentView* v : views_)
        v->RepaintAll(erase);
}
