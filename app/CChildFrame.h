// One data window: holds the view of one document and owns both.
#pragma once

#include <QMdiSubWindow>
#include <memory>

class CKelvaro32Doc;
class CKelvaro32View;
class Workspace;

class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
public:
    /// The view gets `workspace` (the main frame's services) for as long as it lives.
    CChildFrame(std::unique_ptr<CKelvaro32Doc> doc, Workspace& workspace, QWidget* parent = nullptr);
    ~CChildFrame() override;

    CKelvaro32Doc* Document() const { return doc_.get(); }
    CKelvaro32View* View() const { return view_; }
    /// Caption from the document's title.
    void UpdateTitle();
    /// Closes without the save question (shutdown, test configuration restore after asking).
    void ForceClose();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<CKelvaro32Doc> doc_;
    CKelvaro32View* view_ = nullptr;
    bool forced_ = false;
};
