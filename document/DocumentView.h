// What a document needs from each of its views, without knowing the window system.
#pragma once

#include "document/LogFont.h"

class DocumentView {
public:
    virtual ~DocumentView() = default;
    /// Shows the document's block in the header fields and registers it with the engine.
    virtual void SetupHeader() = 0;
    /// New traffic arrived; `shift` entries of the ring were overwritten.
    virtual void ShiftTraffic(int shift) = 0;
    /// Repaints the whole view (after values, font or colours changed).
    virtual void RepaintAll(bool erase) = 0;
    /// The Fonts command: remake the item font from `font` (maximum character width), repaint.
    virtual void ApplyFont(const LogFont& font) { (void)font; RepaintAll(true); }
    /// The number format the view shows values in (stored in the document file).
    virtual int DisplayFormat() const { return 0; }
    virtual void SetDisplayFormat(int format) { (void)format; }
};
