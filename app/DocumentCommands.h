// File commands of the framework: New, Open, Close, Save, Save As, the recent-file list.
#pragma once

#include <string>

class CKelvaro32Doc;
class CMainFrame;
class QWidget;

/// Asks "Save changes to %1?" for a modified document; false when the user cancels (or the
/// save fails), true when the document may close.
bool SaveModified(CMainFrame& frame, CKelvaro32Doc& doc, QWidget* parent);
/// Save (Save As when the document has no file yet); false when nothing was saved.
bool SaveDocument(CMainFrame& frame, CKelvaro32Doc& doc, QWidget* parent, bool askForName);
/// Opens a document file in a new window; null (after the framework's message) on failure.
/// `activate` false leaves the active window as it is (a restore activates its last one once).
CKelvaro32Doc* OpenDocumentFile(CMainFrame& frame, const std::string& path, QWidget* parent, bool quiet = false,
                                bool activate = true);
