// Double-clicking a point item of a real data view in the running application.
#include "ModalDriver.h"

#include "document/AliasTable.h"
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testdrive;

namespace {

class ViewDoubleClick : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o;
        o.settingsFolder = dir.path().toStdString() + "/Orvane";
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        o.saveSettings = false;
        o.automationPort = 0;
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        doc = app->NewDocument();
        view = app->mainFrame->ActiveView();
        ASSERT_NE(view, nullptr);
        app->mainFrame->resize(1000, 700);
        app->mainFrame->ActiveChild()->resize(900, 450);
        QApplication::processEvents();
        view->grab(); // a paint measures the grid the hit test uses
    }
    // Inside the item of point k, as the last paint placed it.
    QPoint ItemCentre(int k) const
    {
        const auto p = view->Layout().ItemPosition(k);
        return {p.x + 4, p.y + view->Layout().lh / 2};
    }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CKelvaro32Doc* doc = nullptr;
    CKelvaro32View* view = nullptr;
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
    QTest::mouseDClick(view, Qt::LeftButton, {}, ItemCentre(2));
    EXPECT_EQ(title, "Write Register");
    EXPECT_EQ(address, "3");
    EXPECT_EQ(value, "42");
    EXPECT_EQ(doc->Word(2), 77);
    EXPECT_EQ(app->Aliases().GetAlias(3, 3), "Pump");
}

TEST_F(ViewDoubleClick, NothingInTrafficModeOrOutsideTheItems)
{
    MessageCatcher anyDialog;
    OnNextModal([&](QWidget* w) {
        ++anyDialog.count;
        w->close();
    }, nullptr, anyDialog.alive, true);
    // On the data top line nothing is hit.
    QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(10, view->Layout().dataTop));
    view->SetTrafficMode(true);
    QTest::mouseDClick(view, Qt::LeftButton, {}, ItemCentre(2));
    QApplication::processEvents();
    EXPECT_EQ(anyDialog.count, 0);
    EXPECT_EQ(doc->Word(2), 0);
}
