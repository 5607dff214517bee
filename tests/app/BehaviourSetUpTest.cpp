// Behaviour through the whole application: set-ups saved and restored with their generators,
// scenario files, data windows closing, and Auto Simulation leaving generated points alone.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/SetupExtras.h"
#include "app/TestConfig.h"
#include "behaviour/BehaviourBook.h"
#include "document/CAutomatePt.h"
#include "document/CKelvaro32Doc.h"
#include "faults/FaultBook.h"
#include "tests/support/TestApp.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

class BehaviourSetUp : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o = TestAppOptions(dir.path().toStdString());
        o.headless = true;   // refusals on stderr, not in a message box
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        app->servicePort = 0;
        frame = app->mainFrame;
    }
    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    std::string Text(const std::string& name) const
    {
        std::ifstream f(Path(name), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void Write(const std::string& name, const std::string& text) const { std::ofstream(Path(name)) << text; }
    // The default block (device 1, holding registers 1..1000), saved under `name`.
    CKelvaro32Doc* Document(const std::string& name)
    {
        CKelvaro32Doc* doc = app->NewDocument();
        doc->SetPathName(Path(name));
        return doc;
    }
    bool Load(const std::string& name, std::string& error) { return app->LoadScenario(Path(name), error); }
    behaviour::BehaviourBook& Book() { return app->Behaviour(); }
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (const auto& g : Book().Generators())
            names.push_back(g.spec.name);
        return names;
    }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

constexpr const char* kPlant = R"({"generators": [
  {"name": "level", "unit": 1, "type": 3, "address": 1, "value": "float32", "kind": "sine",
   "min": 0, "max": 100, "period_ms": 60000, "update_ms": 100},
  {"name": "recorded", "unit": 1, "type": 3, "address": 10, "kind": "csv", "file": "level.csv"},
  {"name": "pump", "unit": 1, "type": 3, "address": 20, "kind": "steps", "values": [1, 0],
   "durations_ms": [3000, 500], "enabled": false}
]})";

TEST_F(BehaviourSetUp, SavedWithTheSetUpRestoredOnceItsWindowsAreOpenAndSavedAgainByteForByte)
{
    Document("plant.kvd");
    Write("level.csv", "ms,value\n0,5\n1000,6\n");
    Write("scenario.json", kPlant);
    std::string error;
    ASSERT_TRUE(Load("scenario.json", error)) << error;
    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("plant.tst")));
    const std::string saved = Text("plant.tst.json");
    EXPECT_NE(saved.find("\"generators\""), std::string::npos) << saved;
    // The csv beside the set-up is kept by its relative name.
    EXPECT_NE(saved.find("\"file\": \"level.csv\""), std::string::npos) << saved;

    // Restored from nothing: the generators find their points in the restored window.
    Book().Clear();
    ASSERT_TRUE(CloseAllDocuments(*frame));
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("plant.tst")));
    ASSERT_EQ(Names(), (std::vector<std::string>{"level", "recorded", "pump"}));
    for (const auto& g : Book().Generators())
        EXPECT_TRUE(g.attached) << g.spec.name;
    EXPECT_FALSE(Book().Generators()[2].spec.enabled);
    EXPECT_FALSE(frame->ExtrasUnsaved());

    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("plant.tst")));
    EXPECT_EQ(Text("plant.tst.json"), saved);

    // A set-up without behaviour runs with none.
    Book().Clear();
    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("bare.tst")));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Path("bare.tst.json"))));
    ASSERT_TRUE(Load("scenario.json", error)) << error;
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("bare.tst")));
    EXPECT_TRUE(Book().Generators().empty());
}

TEST_F(BehaviourSetUp, TheWorkedExampleSavesAsItIsWritten)
{
    // A copy: saving writes the documents too.
    const QString example = KELVARO_SOURCE_DIR "/examples/behaviour/";
    for (const char* name : {"tank.tst", "tank.tst.json", "tank-holding-registers.kvd", "tank-coils.kvd",
                             "tank-input-registers.kvd"})
        ASSERT_TRUE(QFile::copy(example + name, QString::fromStdString(Path(name)))) << name;
    const std::string committed = Text("tank.tst.json");
    ASSERT_FALSE(committed.empty());
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("tank.tst")));
    ASSERT_EQ(Names(), (std::vector<std::string>{"tank level", "pump run", "energy"}));
    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("tank.tst")));
    EXPECT_EQ(Text("tank.tst.json"), committed);
}

TEST_F(BehaviourSetUp, AScenarioWithoutTheKeysLeavesBehaviourAloneARefusedOneChangesNothing)
{
    Document("plant.kvd");
    Write("one.json", R"({"generators": [{"name": "count", "unit": 1, "type": 3, "address": 5, "kind": "counter"}]})");
    Write("faults.json", R"({"faults": [{"unit": 9, "action": "no-reply"}]})");
    std::string error;
    ASSERT_TRUE(Load("one.json", error)) << error;
    ASSERT_TRUE(Load("faults.json", error)) << error;
    EXPECT_EQ(Names(), std::vector<std::string>{"count"});
    EXPECT_EQ(app->Faults().Rules().size(), 1u);

    struct Case { const char* text; std::vector<const char*> named; };
    const Case refused[] = {
        // A point no window serves: known only once the documents are asked.
        {R"({"faults": [], "generators": [{"name": "far", "unit": 1, "type": 3, "address": 2000, "kind": "counter"}]})",
         {"generator 1 (\"far\")", "2000", "not served"}},
        {R"({"faults": [], "generators": [{"name": "x", "unit": 1, "type": 3, "address": 1, "kind": "ramp"}]})",
         {"generator 1 (\"x\")", "period_ms"}},
    };
    for (const Case& c : refused) {
        Write("bad.json", c.text);
        EXPECT_FALSE(Load("bad.json", error)) << c.text;
        for (const char* n : c.named)
            EXPECT_NE(error.find(n), std::string::npos) << error;
        EXPECT_EQ(Names(), std::vector<std::string>{"count"});
        EXPECT_EQ(app->Faults().Rules().size(), 1u) << c.text;
    }
}

TEST_F(BehaviourSetUp, AWindowClosingOrMovingItsBlockLetsGoOfItsPoints)
{
    CKelvaro32Doc* kept = Document("kept.kvd");
    Document("closed.kvd")->deviceId = 2;
    frame->Children().back()->Document()->SetupViews();
    Write("two.json", R"({"generators": [
        {"name": "kept", "unit": 1, "type": 3, "address": 1, "kind": "counter"},
        {"name": "closed", "unit": 2, "type": 3, "address": 1, "kind": "counter"}]})");
    std::string error;
    ASSERT_TRUE(Load("two.json", error)) << error;
    ASSERT_TRUE(Book().Drives(2, 3, 1));

    delete frame->Children().back();
    auto status = Book().Generators();
    ASSERT_EQ(status.size(), 2u);
    EXPECT_TRUE(status[0].attached);
    EXPECT_FALSE(status[1].attached);
    EXPECT_FALSE(Book().Drives(2, 3, 1));
    // Saved, the set-up keeps what still runs: restored, it would refuse a point nobody serves.
    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("left.tst")));
    const auto saved = ReadSetupExtras(Path("left.tst.json"), error);
    ASSERT_TRUE(saved && saved->behaviour) << error;
    ASSERT_EQ(saved->behaviour->items.generators.size(), 1u);
    EXPECT_EQ(saved->behaviour->items.generators[0].name, "kept");
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("left.tst")));
    EXPECT_EQ(Names(), std::vector<std::string>{"kept"});
    kept = app->Documents().All().front();

    // A new header: the block's words are other points now.
    kept->startAddress = 101;
    kept->SetupViews();
    EXPECT_FALSE(Book().Generators()[0].attached);
}

TEST_F(BehaviourSetUp, AutoSimulationDoesNotStepAPointAGeneratorDrives)
{
    CKelvaro32Doc* doc = Document("sim.kvd");
    auto simulated = [doc](int index, int valueType) {
        auto p = std::make_unique<CAutomatePt>();
        p->pointIndex = index;
        p->valueType = valueType;
        p->simulationType = kSimIncrement;
        p->highLimit = 1000.0f;
        doc->simulatedPoints.push_back(std::move(p));
    };
    simulated(0, kValueWord);             // driven
    simulated(4, kValueWord);             // free
    simulated(8, kValueLongLowFirst);     // its second word is driven
    // Written once at the start, then not for an hour.
    Write("held.json", R"({"generators": [
        {"unit": 1, "type": 3, "address": 1, "kind": "steps", "values": [7], "durations_ms": [3600000], "update_ms": 3600000},
        {"unit": 1, "type": 3, "address": 10, "kind": "steps", "values": [9], "durations_ms": [3600000], "update_ms": 3600000}]})");
    std::string error;
    ASSERT_TRUE(Load("held.json", error)) << error;
    // Until the behaviour thread has written both (a bounded wait, not a measurement).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto written = [this] {
        for (const auto& g : Book().Generators())
            if (g.updates == 0)
                return false;
        return true;
    };
    while (!written() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(written());

    for (int tick = 0; tick < 3; ++tick)
        frame->OnMainTimer();
    EXPECT_EQ(doc->Word(0), 7);
    EXPECT_EQ(doc->Word(4), 3);
    EXPECT_EQ(doc->Word(8), 0);
    EXPECT_EQ(doc->Word(9), 9);
}

} // namespace
