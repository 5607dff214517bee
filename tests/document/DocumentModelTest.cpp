// The document model: ini defaults, their fallbacks, register memory and the point list.
#include "document/CKelvaro32Doc.h"
#include "document/IniDefaults.h"
#include "document/OpenDocuments.h"
#include "view/DataViewModel.h"

#include "FakeWorkspace.h"
#include "ScratchDir.h"
#include <fstream>
#include <gtest/gtest.h>

namespace {

class IniFixture : public ::testing::Test {
protected:
    std::string Write(const std::string& text)
    {
        const std::string path = dir.Path() + "/Kelvaro32.ini";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    ScratchDir dir;
};

TEST(IniPath, BesideTheExecutable)
{
    EXPECT_EQ(IniPathBesideExecutable("/opt/k/bin/kelvaro64"), "/opt/k/bin/Kelvaro32.ini");
    EXPECT_EQ(IniPathBesideExecutable("C:\\Tools\\Kelvaro64.exe"), "C:\\Tools\\Kelvaro32.ini");
    EXPECT_EQ(IniPathBesideExecutable("kelvaro64"), "Kelvaro32.ini");
}

// Installed under a prefix, the program cannot keep the file beside itself: bin/../share/kelvaro64
// is the second place, and a file beside the executable still wins.
TEST(IniPath, InstalledShareFolderWhenNoneBesideTheExecutable)
{
    ScratchDir root;
    std::filesystem::create_directories(root.Path() + "/bin");
    std::filesystem::create_directories(root.Path() + "/share/kelvaro64");
    const std::string exe = root.Path() + "/bin/kelvaro64";
    EXPECT_EQ(IniPathBesideExecutable(exe), root.Path() + "/bin/Kelvaro32.ini");   // neither: the usual name

    std::ofstream(root.Path() + "/share/kelvaro64/Kelvaro32.ini") << "[Default]\nDevice Number=7\n";
    const std::string found = IniPathBesideExecutable(exe);
    EXPECT_EQ(std::filesystem::canonical(found), std::filesystem::canonical(root.Path() + "/share/kelvaro64/Kelvaro32.ini"));
    EXPECT_EQ(ReadBlockDefaults(found).deviceId, 7);

    std::ofstream(root.Path() + "/bin/Kelvaro32.ini") << "[Default]\nDevice Number=9\n";
    EXPECT_EQ(IniPathBesideExecutable(exe), root.Path() + "/bin/Kelvaro32.ini");
}

TEST_F(IniFixture, MissingFileGivesTheBuiltInBlock)
{
    const BlockDefaults d = ReadBlockDefaults(dir.Path() + "/none.ini");
    EXPECT_EQ(d.pointType, 3);
    EXPECT_EQ(d.deviceId, 1);
    EXPECT_EQ(d.startAddress, 1);
    EXPECT_EQ(d.length, 1000);
}

TEST_F(IniFixture, ProfileIntegerRules)
{
    struct Case { const char* value; std::uint32_t expected; };
    const Case cases[] = {
        {"42", 42}, {"  42  ", 42}, {"42abc", 42}, {"abc", 0}, {"0x1F", 31}, {"0X10", 16},
        {"-1", 0xFFFFFFFFu}, {"+7", 7}, {"\"12\"", 12}, {"", 99}, {"4294967297", 1},
    };
    for (const auto& c : cases) {
        const std::string path = Write(std::string("[default]\nLENGTH = ") + c.value + "\n");
        EXPECT_EQ(ReadProfileInt(path, "Default", "Length", 99), c.expected) << c.value;
    }
    const std::string path = Write("[Other]\nLength=5\n[Default]\n; Length=6\nAddress=7\n");
    EXPECT_EQ(ReadProfileInt(path, "Default", "Length", 99), 99u);
}

TEST_F(IniFixture, FieldsOutOfRangeFallBackOneByOne)
{
    struct Case { const char* ini; int type, id, start, length; };
    const Case cases[] = {
        {"Modbus Command=4\nDevice Number=17\nAddress=30001\nLength=10\n", 4, 17, 30001, 10},
        {"Address=0\nLength=1\n", 3, 1, 0, 1},              // a start held as 0 is 65536
        // A block past 65536 keeps its start and ends there; only invalid fields fall back.
        {"Address=0\nLength=2\n", 3, 1, 0, 1},
        {"Address=0\n", 3, 1, 0, 1},
        {"Modbus Command=5\n", 3, 1, 1, 1000},
        {"Modbus Command=259\n", 3, 1, 1, 1000},            // cut to 8 bits: 3
        {"Device Number=256\n", 3, 1, 1, 1000},             // cut to 8 bits: 0, no device
        {"Length=0\n", 3, 1, 1, 1000},
        {"Length=1001\n", 3, 1, 1, 1000},
        {"Length=65537\n", 3, 1, 1, 1},                     // cut to 16 bits: 1
        {"Address=65000\nLength=537\n", 3, 1, 65000, 537},
        {"Address=65000\nLength=538\n", 3, 1, 65000, 537},
        {"Address=65000\n", 3, 1, 65000, 537},
        {"Address=65000\nLength=0\n", 3, 1, 65000, 537},
    };
    for (const auto& c : cases) {
        const BlockDefaults d = ReadBlockDefaults(Write(std::string("[Default]\n") + c.ini));
        EXPECT_EQ(d.pointType, c.type) << c.ini;
        EXPECT_EQ(d.deviceId, c.id) << c.ini;
        EXPECT_EQ(d.startAddress, c.start) << c.ini;
        EXPECT_EQ(d.length, c.length) << c.ini;
    }
}

TEST_F(IniFixture, NewDocumentTakesDefaultsAndZeroMemory)
{
    OpenDocuments open;
    DisplayDefaults look;
    look.foreground = 0x0000FF;
    look.font.height = -20;
    DocumentContext context{&open, Write("[Default]\nAddress=0\nLength=1\n"), &look};
    CKelvaro32Doc doc(context);
    EXPECT_EQ(doc.startAddress, 0);
    EXPECT_EQ(doc.StartAddress(), 65536u);
    EXPECT_EQ(doc.length, 1);
    EXPECT_EQ(doc.foreground, 0x0000FFu);
    EXPECT_EQ(doc.background, 0xC0C0C0u);
    EXPECT_EQ(doc.font.height, -20);
    for (int i = 0; i < kRegisterWords; ++i)
        ASSERT_EQ(doc.Word(i), 0);
    EXPECT_FALSE(doc.IsModified());
}

TEST(Document, EntersAndLeavesOpenDocumentsInCreationOrder)
{
    OpenDocuments open;
    DocumentContext context{&open, "/nonexistent/Kelvaro32.ini", nullptr};
    auto a = std::make_unique<CKelvaro32Doc>(context);
    auto b = std::make_unique<CKelvaro32Doc>(context);
    auto c = std::make_unique<CKelvaro32Doc>(context);
    b.reset();
    EXPECT_EQ(open.All(), (std::vector<CKelvaro32Doc*>{a.get(), c.get()}));
    // Built-in look when there is no main frame yet.
    EXPECT_EQ(a->font, LogFont{});
    EXPECT_STREQ(a->font.faceName, "Courier");
}

TEST(Document, OpenDocumentsFindAFileByItsCurrentName)
{
    OpenDocuments open;
    DocumentContext context{&open, "", nullptr};
    auto a = std::make_unique<CKelvaro32Doc>(context);
    auto b = std::make_unique<CKelvaro32Doc>(context);
    auto c = std::make_unique<CKelvaro32Doc>(context);
    a->SetPathName("/d/x.kvd");
    c->SetPathName("/d/y.kvd");
    EXPECT_EQ(open.FindByPath("/d/x.kvd"), a.get());
    EXPECT_EQ(open.FindByPath("/d/y.kvd"), c.get());
    EXPECT_EQ(open.FindByPath("/d/z.kvd"), nullptr);
    EXPECT_EQ(open.FindByPath(""), nullptr);   // untitled documents are no file

    // Saved under another name: found by the new name only. Two on one file: the first opened.
    a->SetPathName("/d/y.kvd");
    EXPECT_EQ(open.FindByPath("/d/x.kvd"), nullptr);
    EXPECT_EQ(open.FindByPath("/d/y.kvd"), a.get());
    b->SetPathName("/d/y.kvd");
    EXPECT_EQ(open.FindByPath("/d/y.kvd"), a.get());
    a.reset();
    EXPECT_EQ(open.FindByPath("/d/y.kvd"), b.get());
    b.reset();
    c.reset();
    EXPECT_EQ(open.FindByPath("/d/y.kvd"), nullptr);   // closed documents are gone from it
}

TEST(Document, SimulatedPointsMatchByPointIndexFirstFirst)
{
    OpenDocuments open;
    CKelvaro32Doc doc(DocumentContext{&open, "", nullptr});
    for (int index : {4, 7, 4}) {
        auto p = std::make_unique<CAutomatePt>();
        p->pointIndex = index;
        p->interval = static_cast<int>(doc.simulatedPoints.size());
        doc.AddSimulatedPoint(std::move(p));
    }
    ASSERT_NE(doc.FindSimulatedPoint(4), nullptr);
    EXPECT_EQ(doc.FindSimulatedPoint(4)->interval, 0);
    EXPECT_EQ(doc.FindSimulatedPoint(5), nullptr);
    doc.RemoveSimulatedPoint(4);
    ASSERT_NE(doc.FindSimulatedPoint(4), nullptr);
    EXPECT_EQ(doc.FindSimulatedPoint(4)->interval, 2);
    EXPECT_EQ(doc.simulatedPoints.size(), 2u);
}

TEST(Document, WordsBeyondTheLengthKeepTheirValues)
{
    OpenDocuments open;
    CKelvaro32Doc doc(DocumentContext{&open, "", nullptr});
    doc.SetWord(500, 1234);
    doc.SetWord(10, 77);
    // The length typed into the view's header, each change served at once: shorter, then longer.
    FakeWorkspace workspace;
    DataViewModel view(doc, workspace);
    view.RegisterBlock();
    for (const char* length : {"10", "1000"}) {
        ASSERT_EQ(view.EditLength(length), DataViewModel::Edit::kApplied) << length;
        view.RegisterBlock();
    }
    EXPECT_EQ(doc.length, 1000);
    EXPECT_EQ(doc.Word(500), 1234);
    EXPECT_EQ(doc.Word(10), 77);
}

} // namespace

#include "document/AliasTable.h"

namespace {

TEST(AliasTable, FirstEntryOfAKeyWinsAndKeepsItsPlace)
{
    AliasTable t;
    t.SetAlias(3, 40001, "pump");
    t.SetAlias(1, 1, "valve");
    t.AppendAlias(3, 40001, "restored twice");   // a restore does not look for duplicates
    t.SetAlias(3, 40001, "pump A");              // changes the first occurrence only
    ASSERT_EQ(t.Entries().size(), 3u);
    EXPECT_EQ(t.Entries()[0].text, "pump A");
    EXPECT_EQ(t.Entries()[2].text, "restored twice");
    EXPECT_EQ(t.GetAlias(3, 40001), "pump A");
    EXPECT_EQ(t.GetAlias(4, 40001), "");
    EXPECT_EQ(t.LongestAliasLength(), 14);
    t.ClearAliases();
    EXPECT_EQ(t.GetAlias(3, 40001), "");
    t.SetAlias(3, 40001, "");
    EXPECT_EQ(t.Entries().size(), 1u);
    EXPECT_EQ(t.LongestAliasLength(), 0);
}

} // namespace
