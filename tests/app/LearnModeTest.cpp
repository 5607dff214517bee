// Access statistics and learn mode through the automation methods, with a real master on the
// program's Modbus/TCP server: what nothing served is listed, learnt, served, and kept by a set-up.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/CommandTable.h"
#include "app/LearnMode.h"
#include "app/TestConfig.h"
#include "automation/MethodRegistry.h"
#include "automation/StatsAutomation.h"
#include "connections/ConnectionManager.h"
#include "document/CKelvaro32Doc.h"
#include "tests/engine/TestIo.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Request(std::uint8_t unit, std::uint8_t fc, std::uint16_t address, std::uint16_t second)
{
    return {0, 1, 0, 0, 0, 6, unit, fc, std::uint8_t(address >> 8), std::uint8_t(address), std::uint8_t(second >> 8),
            std::uint8_t(second)};
}

class LearnModeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o;
        o.settingsFolder = Path("Orvane");
        o.executablePath = Path("kelvaro64");
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
        app->NewDocument();  // unit 1, holding registers 1..1000
        const pomrel::Handle server = frame->Connections().OpenServer(0);
        ASSERT_NE(server, pomrel::kNoHandle);
        port = app->Engine().BoundTcpPort(server);
        RegisterStatsMethods(registry, app->Engine(), [this](bool on) { app->Learn().SetOn(on); });
    }
    void TearDown() override { app.reset(); }

    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    nlohmann::json Call(const std::string& method, nlohmann::json params = nlohmann::json::array())
    {
        const MethodOutcome r = registry.Call(method, params);
        EXPECT_FALSE(r.Failed()) << r.errorMessage;
        return r.result;
    }
    // The answer's bytes after the MBAP header; empty when none came.
    Bytes Ask(pomrel::test::TcpMaster& master, const Bytes& request, std::size_t answer)
    {
        EXPECT_TRUE(master.Send(request));
        const Bytes reply = master.Receive(answer, std::chrono::milliseconds(answer == 0 ? 100 : 2000));
        return reply.size() < 7 ? Bytes{} : Bytes(reply.begin() + 7, reply.end());
    }
    CKelvaro32Doc* Learnt(int unit, int type) const
    {
        for (CKelvaro32Doc* d : app->Documents().All())
            if (d->deviceId == unit && d->pointType == type)
                return d;
        return nullptr;
    }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
    MethodRegistry registry;
    std::uint16_t port = 0;
};

TEST_F(LearnModeTest, UnservedRequestsAreListedThenLearntServedAndKeptBySetUp)
{
    pomrel::test::TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    EXPECT_TRUE(Ask(master, Request(9, 3, 0, 4), 0).empty());             // unit 9: nobody answers
    EXPECT_TRUE(Ask(master, Request(9, 3, 0, 4), 0).empty());
    EXPECT_EQ(Ask(master, Request(1, 3, 44999, 2), 9), (Bytes{0x83, 0x02}));  // 45000 of unit 1

    const nlohmann::json listed = Call("ListUnserved");
    ASSERT_EQ(listed["status"], 0);
    ASSERT_EQ(listed["requests"].size(), 2u);
    const auto find = [&](int unit) {
        for (const auto& r : listed["requests"])
            if (r["unit"] == unit)
                return r;
        return nlohmann::json();
    };
    EXPECT_EQ(find(9)["count"], 2);
    EXPECT_EQ(find(9)["address"], 1);
    EXPECT_EQ(find(9)["quantity"], 4);
    EXPECT_EQ(find(9)["link"], "tcp");
    EXPECT_EQ(find(1)["address"], 45000);
    EXPECT_EQ(find(1)["function"], 3);

    std::vector<std::string> said;
    app->Learn().onLearnt = [&](const std::string& line) { said.push_back(line); };
    Call("SetLearn", {true});
    ASSERT_TRUE(app->Learn().On());
    app->Learn().Tick();
    ASSERT_EQ(said.size(), 2u);
    CKelvaro32Doc* unit9 = Learnt(9, 3);
    ASSERT_NE(unit9, nullptr);
    EXPECT_EQ(unit9->StartAddress(), 1u);
    EXPECT_EQ(unit9->length, 4);

    // Now served: reads 0, a write kept and read back.
    EXPECT_EQ(Ask(master, Request(9, 3, 0, 4), 17), (Bytes{3, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Ask(master, Request(9, 6, 1, 0x1234), 12), (Bytes{6, 0, 1, 0x12, 0x34}));
    EXPECT_EQ(Ask(master, Request(9, 3, 1, 1), 11), (Bytes{3, 2, 0x12, 0x34}));
    EXPECT_EQ(Ask(master, Request(1, 3, 44999, 2), 13), (Bytes{3, 4, 0, 0, 0, 0}));

    // The statistics of the learnt point, as automation gives them.
    const nlohmann::json stats = Call("GetAccessStats", {9, 3, 2, 2});
    ASSERT_EQ(stats["points"].size(), 1u);
    EXPECT_EQ(stats["points"][0]["writes"], 1);
    EXPECT_EQ(stats["points"][0]["reads"], 2);
    EXPECT_EQ(stats["points"][0]["last_writer"].get<std::string>().rfind("tcp 127.0.0.1:", 0), 0u);
    EXPECT_FALSE(Call("GetAccessStats", {9, 3, 4, 4})["points"][0].contains("last_write"));

    // A later request past the learnt window grows it; the values keep their addresses.
    EXPECT_EQ(Ask(master, Request(9, 3, 9, 3), 9), (Bytes{0x83, 0x02}));  // 10..12: not served yet
    app->Learn().Tick();
    EXPECT_EQ(Learnt(9, 3), unit9);
    EXPECT_EQ(unit9->length, 12);
    EXPECT_EQ(Call("GetAccessStats", {9, 3, 1, 65536})["points"].size(), 12u);  // one block, not two
    EXPECT_EQ(Ask(master, Request(9, 3, 1, 1), 11), (Bytes{3, 2, 0x12, 0x34}));
    EXPECT_EQ(Ask(master, Request(9, 3, 11, 1), 11), (Bytes{3, 2, 0, 0}));

    // Learnt windows are ordinary documents: a set-up keeps them.
    int n = 0;
    for (CKelvaro32Doc* d : app->Documents().All())
        d->SetPathName(Path("doc" + std::to_string(++n) + ".kvd"));
    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("learnt.tst")));
    Call("SetLearn", {false});
    for (CChildFrame* child : frame->Children())
        delete child;
    ASSERT_EQ(Learnt(9, 3), nullptr);
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("learnt.tst")));
    CKelvaro32Doc* back = Learnt(9, 3);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->StartAddress(), 1u);
    EXPECT_EQ(back->length, 12);
    EXPECT_EQ(back->Word(1), 0x1234);
}

TEST_F(LearnModeTest, AutomationRefusesOutOfRangeAndResetEmpties)
{
    for (const auto& params : {nlohmann::json{256, 3, 1, 1}, nlohmann::json{1, 5, 1, 1}, nlohmann::json{1, 3, 0, 1},
                               nlohmann::json{1, 3, 1, 65537}, nlohmann::json{1, "3", 1, 1}}) {
        SCOPED_TRACE(params.dump());
        EXPECT_EQ(registry.Call("GetAccessStats", params).errorCode, rpc::kInvalidParams);
    }
    pomrel::test::TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    Ask(master, Request(1, 3, 0, 2), 13);
    Ask(master, Request(1, 3, 2000, 1), 9);
    EXPECT_EQ(Call("GetAccessStats", {-1, 0, 1, 2})["points"][1]["reads"], 1);
    EXPECT_EQ(Call("ListUnserved")["requests"].size(), 1u);
    EXPECT_EQ(Call("ResetAccessStats")["status"], 0);
    const nlohmann::json after = Call("GetAccessStats", {-1, 0, 1, 2});
    EXPECT_EQ(after["points"][1]["reads"], 0);
    EXPECT_FALSE(after["points"][1].contains("last_read"));
    EXPECT_TRUE(Call("ListUnserved")["requests"].empty());
}

TEST_F(LearnModeTest, ToolsLearnIsACheckItemThatSwitchesLearnMode)
{
    EXPECT_FALSE(app->Learn().On());
    const CommandState off = frame->Commands().State(cmd::ToolsLearn);
    EXPECT_TRUE(off.checkable && off.enabled);
    EXPECT_FALSE(off.checked);
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsLearn));
    EXPECT_TRUE(app->Learn().On());
    EXPECT_TRUE(frame->Commands().State(cmd::ToolsLearn).checked);
    // With learn on, a unit nobody serves gets its window at the next poll.
    pomrel::test::TcpMaster master(port);
    ASSERT_TRUE(master.Connected());
    EXPECT_EQ(Ask(master, Request(1, 1, 0, 8), 9), (Bytes{0x81, 0x01}));  // no coils yet
    app->Learn().Tick();
    ASSERT_NE(Learnt(1, 1), nullptr);
    EXPECT_EQ(Ask(master, Request(1, 1, 0, 8), 10), (Bytes{1, 1, 0}));
    ASSERT_TRUE(frame->RunCommand(cmd::ToolsLearn));
    EXPECT_FALSE(app->Learn().On());
}

TEST(IsoTime, MicrosecondsInUtc)
{
    EXPECT_EQ(IsoTimeUs(1'796'971'201'123'456), "2026-12-11T06:40:01.123456Z");
    EXPECT_EQ(IsoTimeUs(1), "1970-01-01T00:00:00.000001Z");
}

}  // namespace
