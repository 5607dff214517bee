// Closing the desktop program with set-up extras (fault rules, network servers, endpoints) that
// changed since the last Save or Restore Test Config asks whether to save them; a program whose
// extras never changed, or were saved, closes as before; the headless program never asks.
#include "TestApp.h"

#include "ModalAnswerer.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/TestConfig.h"
#include "faults/FaultBook.h"
#include "faults/FaultScenario.h"
#include "servers/NetworkServers.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

namespace {

pomrel::FaultRule Rule(const char* text)
{
    std::string error;
    auto rule = faults::ParseFaultRuleText(text, error);
    EXPECT_TRUE(rule) << error;
    return *rule;
}

void Settle(ModalAnswerer& answers)
{
    for (int i = 0; i < 200 && !answers.Done(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

struct Case {
    const char* what;
    std::function<void(CKelvaro32App&, const QString& folder)> before;   // what the user did
    std::vector<QMessageBox::StandardButton> answers;                     // to the question(s) asked
    QString saveAs;                                                       // the Save Test Config file name
    bool closes;
    bool headless = false;
};

const auto kAddRule = [](CKelvaro32App& app, const QString&) {
    app.Faults().Add(Rule(R"({"name": "slow", "action": "delay", "delay_ms": 100})"));
};

TEST(ExitWithExtras, AsksOnlyWhenTheExtrasChangedSinceTheyWereSavedOrRestored)
{
    const Case cases[] = {
        {"nothing changed", [](CKelvaro32App&, const QString&) {}, {}, {}, true},
        {"a rule added, Cancel", kAddRule, {QMessageBox::Cancel}, {}, false},
        {"a rule added, No", kAddRule, {QMessageBox::No}, {}, true},
        {"a rule added, Yes, saved", kAddRule, {QMessageBox::Yes}, "saved.tst", true},
        {"a rule added, Yes, Save cancelled", kAddRule, {QMessageBox::Yes}, "", false},
        {"an endpoint opened, Cancel",
         [](CKelvaro32App& app, const QString&) {
             pomrel::ServerEndpoint e;
             e.protocol = pomrel::ServerProtocol::Udp;
             e.address = "127.0.0.1";
             app.Servers().Open(e, true);
         },
         {QMessageBox::Cancel}, {}, false},
        {"a rule added and removed again",
         [](CKelvaro32App& app, const QString&) { app.Faults().Remove(app.Faults().Add(Rule(R"({"action": "no-reply"})"))); },
         {}, {}, true},
        {"a rule added, then Save Test Config",
         [](CKelvaro32App& app, const QString& folder) {
             kAddRule(app, folder);
             ASSERT_TRUE(SaveTestConfigTo(*app.mainFrame, (folder + "/s.tst").toStdString()));
         },
         {}, {}, true},
        {"a set-up with rules restored",
         [](CKelvaro32App& app, const QString& folder) {
             kAddRule(app, folder);
             ASSERT_TRUE(SaveTestConfigTo(*app.mainFrame, (folder + "/r.tst").toStdString()));
             app.Faults().Clear();
             ASSERT_TRUE(RestoreTestConfig(*app.mainFrame, (folder + "/r.tst").toStdString()));
             ASSERT_FALSE(app.Faults().Empty());
         },
         {}, {}, true},
        {"a restored set-up changed", [](CKelvaro32App& app, const QString& folder) {
             kAddRule(app, folder);
             ASSERT_TRUE(SaveTestConfigTo(*app.mainFrame, (folder + "/c.tst").toStdString()));
             ASSERT_TRUE(RestoreTestConfig(*app.mainFrame, (folder + "/c.tst").toStdString()));
             app.Faults().Clear();
         },
         {QMessageBox::No}, {}, true},
        {"headless, a rule added", kAddRule, {}, {}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        AppOptions options = TestAppOptions(dir.path().toStdString());
        options.headless = c.headless;
        CKelvaro32App app(options);
        ASSERT_TRUE(app.InitInstance({}));
        c.before(app, dir.path());
        ModalAnswerer answers;
        for (QMessageBox::StandardButton b : c.answers) {
            answers.Message(b);
            if (b == QMessageBox::Yes)
                answers.File(c.saveAs.isEmpty() ? QString() : dir.filePath(c.saveAs));
        }
        const bool closed = app.mainFrame->close();
        Settle(answers);
        EXPECT_EQ(closed, c.closes);
        EXPECT_TRUE(answers.Done());
        EXPECT_EQ(answers.unexpected, 0);
        EXPECT_EQ(answers.messages.size(), static_cast<qsizetype>(c.answers.size())) << answers.messages.join("|").toStdString();
        if (!c.saveAs.isEmpty()) {
            EXPECT_TRUE(QFileInfo::exists(dir.filePath(c.saveAs)));
            EXPECT_TRUE(QFileInfo::exists(dir.filePath(c.saveAs + ".json")));
        }
        app.Shutdown();
    }
}

} // namespace
