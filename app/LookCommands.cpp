// Fonts, Background, ForeGround: the look of every data window, chosen through any of them.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/SubsystemCommands.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentView.h"
#include "document/FontConversion.h"

#include <QColorDialog>
#include <QFontDialog>

#include <algorithm>

namespace {

// The sizes the font dialog offers, in points.
constexpr double kSmallestPoints = 4.0;
constexpr double kLargestPoints = 60.0;

/// The document may have gone while a modal dialog ran its own event loop.
bool StillOpen(CMainFrame& frame, const CKelvaro32Doc* doc) {
    const auto& all = frame.App().Documents().All();
    return std::find(all.begin(), all.end(), doc) != all.end();
}

void ChooseFont(CMainFrame& frame) {
    CKelvaro32Doc* doc = frame.ActiveDocument();
    if (!doc)
        return;
    QFontDialog dialog(DialogFontFromLogFont(doc->font), &frame);
    // What the dialog shows before the user touches it: OK without a change keeps the record.
    const QFont shown = dialog.currentFont();
    if (dialog.exec() != QDialog::Accepted || !StillOpen(frame, doc))
        return;
    QFont chosen = dialog.selectedFont();
    if (chosen.pointSizeF() > 0 && chosen.pointSizeF() != shown.pointSizeF())
        chosen.setPointSizeF(std::clamp(chosen.pointSizeF(), kSmallestPoints, kLargestPoints));
    // Not a modification of the document: only the colours mark it.
    doc->font = MergeChosenFont(doc->font, shown, chosen);
    frame.Look().font = doc->font;
    // Every view takes this font; the other documents keep their own stored font.
    for (CKelvaro32Doc* other : frame.App().Documents())
        for (DocumentView* view : other->Views())
            view->ApplyFont(doc->font);
}

void ChooseColour(CMainFrame& frame, bool background) {
    CKelvaro32Doc* doc = frame.ActiveDocument();
    if (!doc)
        return;
    const Colour current = background ? doc->background : doc->foreground;
    const QColor chosen = QColorDialog::getColor(QColorFromColour(current), &frame);
    if (!chosen.isValid() || !StillOpen(frame, doc))
        return;
    const Colour colour = ColourFromQColor(chosen);
    if (background) {
        doc->background = colour;
        frame.Look().background = colour;
    } else {
        doc->foreground = colour;
        frame.Look().foreground = colour;
    }
    doc->SetModified(true);
    for (CKelvaro32Doc* other : frame.App().Documents()) {
        other->foreground = doc->foreground;
        other->background = doc->background;
    }
    for (CKelvaro32Doc* other : frame.App().Documents())
        other->RepaintViews(true);
}

}  // namespace

void RegisterLookCommands(CMainFrame& frame) {
    const auto needsDocument = [&frame](CommandState& state) { state.enabled = frame.ActiveDocument() != nullptr; };
    frame.Commands().Add(cmd::Fonts, [&frame] { ChooseFont(frame); }, needsDocument);
    frame.Commands().Add(cmd::Background, [&frame] { ChooseColour(frame, true); }, needsDocument);
    frame.Commands().Add(cmd::Foreground, [&frame] { ChooseColour(frame, false); }, needsDocument);
}
