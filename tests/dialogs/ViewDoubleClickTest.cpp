// Double-clicking a point item of a real data view, handed a small fake workspace.
#include "FakeWorkspace.h"
#include "ModalDriver.h"

#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testdrive;

namespace {

class ViewDoubleClick : public ::testing::Test {
protected:
    void SetUp() override
    {
        doc = std::make_unique<CKelvaro32Doc>(DocumentContext{});
        view = std::make_unique<CKelvaro32View>(doc.get(), workspace);
        view->resize(900, 450);
        view->show();
        doc->SetupViews();
        ASSERT_EQ(workspace.blocks.size(), 1u);
        QApplication::processEvents();
        view->grab(); // a paint measures the grid the hit test uses
    }
    // Inside the item of point k, as the last paint placed it.
    QPoint ItemCentre(int k) const
    {
        const auto p = view->Layout().ItemPosition(k);
        return {p.x + 4, p.y + view->Layout().lh / 2};
    }

    FakeWorkspace workspace;
    std::unique_ptr<CKelvaro32Doc> doc;
    std::unique_ptr<CKelvaro32View> view;   // goes first: it removes its block
};

} // namespace

TEST_F(ViewDoubleClick, OpensTheRegisterDialogAndStoresValueAndAlias)
{
    doc->SetWord(2, 42);
    QString title, address, value;
    OnNextModal([&](QWidget* w) {
        title = w->windowTitle();
        address = Text(w, 1013);
        value = Text(w, 1014);
        SetText(w, 1014, "77");
        SetText(w, 1015, "Pump");
        Click(w, 1);
    });
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, ItemCentre(2));
    EXPECT_EQ(title, "Write Register");
    EXPECT_EQ(address, "3");
    EXPECT_EQ(value, "42");
    EXPECT_EQ(doc->Word(2), 77);
    EXPECT_EQ(workspace.aliases.GetAlias(3, 3), "Pump");
}

TEST_F(ViewDoubleClick, NothingInTrafficModeOrOutsideTheItems)
{
    MessageCatcher anyDialog;
    OnNextModal([&](QWidget* w) {
        ++anyDialog.count;
        w->close();
    }, nullptr, anyDialog.alive, true);
    // On the data top line nothing is hit.
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, QPoint(10, view->Layout().dataTop));
    view->SetTrafficMode(true);
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, ItemCentre(2));
    QApplication::processEvents();
    EXPECT_EQ(anyDialog.count, 0);
    EXPECT_EQ(doc->Word(2), 0);
}
