// The set-up extras beside a test configuration, through Save and Restore Test Config on the
// whole application.
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/SetupExtras.h"
#include "app/TestConfig.h"
#include "tests/support/TestApp.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

class ExtrasFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o = TestAppOptions(dir.path().toStdString());
        o.headless = true;  // refusals are reported on stderr, not in a message box
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        app->servicePort = 0;
    }
    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    bool Exists(const std::string& name) const { return QFile::exists(QString::fromStdString(Path(name))); }
    std::string Text(const std::string& name) const
    {
        std::ifstream f(Path(name), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    pomrel::ProtocolEngine& Engine() { return app->Engine(); }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
};

TEST_F(ExtrasFiles, WrittenOnlyWhenHeldRestoredWithTheSetUpRefusedFilesChangeNothing)
{
    const pomrel::TcpLimits defaults;
    const pomrel::TcpLimits tuned{100, 750};
    CMainFrame& frame = *app->mainFrame;

    // Nothing beyond the defaults: no extras file, and the .tst is what it always was.
    ASSERT_TRUE(SaveTestConfigTo(frame, Path("plain.tst")));
    EXPECT_FALSE(Exists("plain.tst.json"));
    Engine().SetTcpLimits(tuned);
    ASSERT_TRUE(SaveTestConfigTo(frame, Path("tuned.tst")));
    EXPECT_EQ(Text("tuned.tst"), Text("plain.tst"));
    ASSERT_TRUE(Exists("tuned.tst.json"));
    std::string error;
    const auto saved = ParseSetupExtras(Text("tuned.tst.json"), error);
    ASSERT_TRUE(saved) << error;
    EXPECT_EQ(saved->tcp, (TcpExtras{100, 750}));

    // Restoring puts the set-up's limits in force, and a set-up without extras the defaults.
    Engine().SetTcpLimits(defaults);
    ASSERT_TRUE(RestoreTestConfig(frame, Path("tuned.tst")));
    EXPECT_EQ(Engine().GetTcpLimits(), tuned);
    ASSERT_TRUE(RestoreTestConfig(frame, Path("plain.tst")));
    EXPECT_EQ(Engine().GetTcpLimits(), defaults);

    // Saved again over it with nothing to hold: the old extras would come back, so they go.
    ASSERT_TRUE(SaveTestConfigTo(frame, Path("tuned.tst")));
    EXPECT_FALSE(Exists("tuned.tst.json"));

    // A refused file names its key and leaves the limits in force alone, whole.
    Engine().SetTcpLimits(tuned);
    std::ofstream(Path("plain.tst.json")) << R"({"tcp":{"max_connections":5,"request_timeout_ms":"soon"}})";
    testing::internal::CaptureStderr();
    EXPECT_TRUE(RestoreTestConfig(frame, Path("plain.tst")));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("tcp.request_timeout_ms"), std::string::npos) << said;
    EXPECT_EQ(Engine().GetTcpLimits(), tuned);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(LoadSetupExtras(frame, Path("plain.tst.json")));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Engine().GetTcpLimits(), tuned);
}

} // namespace
