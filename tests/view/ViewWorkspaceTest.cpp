// A data view built alone with a fake workspace: everything it needs comes through that seam.
#include "FakeWorkspace.h"

#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {

struct Window {
    FakeWorkspace workspace;
    std::unique_ptr<CKelvaro32Doc> doc = std::make_unique<CKelvaro32Doc>(DocumentContext{});
    std::unique_ptr<CKelvaro32View> view = std::make_unique<CKelvaro32View>(doc.get(), workspace);
    Window()
    {
        view->resize(900, 450);
        view->show();
        doc->SetupViews();
    }
};

void Type(QLineEdit* field, const char* keys)
{
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, keys);
}

} // namespace

TEST(ViewWorkspace, BlocksAreDefinedAndRemovedThroughTheWorkspace)
{
    Window w;
    ASSERT_EQ(w.workspace.blocks.size(), 1u);
    const pomrel::Handle first = w.view->BlockHandle();
    Type(w.view->LengthField(), "20");
    // Every accepted keystroke re-registers: the old block is gone, one block stays.
    EXPECT_EQ(w.workspace.blocks.size(), 1u);
    EXPECT_NE(w.view->BlockHandle(), first);
    EXPECT_EQ(w.doc->length, 20);
    w.view.reset();
    EXPECT_TRUE(w.workspace.blocks.empty());
}

TEST(ViewWorkspace, BannerAndEnronFollowTheWorkspace)
{
    Window w;
    w.view->OnRefreshTimer();
    EXPECT_EQ(w.view->Banner()->text(), "* * * NOT CONNECTED! * * *");
    w.workspace.noConnectionOpen = false;
    w.view->OnRefreshTimer();
    w.view->OnRefreshTimer();
    EXPECT_EQ(w.view->Banner()->text(), "");

    w.workspace.enronMode = true;
    Type(w.view->AddressField(), "7001");
    EXPECT_EQ(w.view->DisplayFormat(), kEnronFloat);
    EXPECT_EQ(w.doc->length, 500);
    EXPECT_EQ(w.view->LengthField()->text(), "500");
}
