// One data window: holds the view of one document and owns both.
#pragma once

#include <QMdiSubWindow>
#include <memory>

class CKelvaro32Doc;
class CKelvaro32View;
class CMainFrame;

class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
public:
    /// The view is handed `frame` as its workspace for as long as it lives.
    CChildFrame(std::unique_ptr<CKelvaro32Doc> doc, CMainFrame& frame, QWidget* parent = nullptr);
    ~CChildFrame() override;

    CKelvaro32Doc* Document() const { return doc_.get(); }
    CKelvaro32View* View() const { return view_; }
    /// Caption from the document's title (none for a window kept out of sight).
    void UpdateTitle();
    /// The window is never shown (headless program): it keeps no caption, which Qt would
    /// measure and elide at every change and when the window is given its parent.
    void KeepOutOfSight() { outOfSight_ = true; }
    /// Closes without the save question (shutdown, test configuration restore after asking).
    void ForceClose();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    CMainFrame& frame_;
    std::unique_ptr<CKelvaro32Doc> doc_;
    CKelvaro32View* view_ = nullptr;
    bool forced_ = false;
    bool outOfSight_ = false;
};
