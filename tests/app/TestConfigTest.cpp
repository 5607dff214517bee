// Test configurations: the bytes saved, every older form restored, files cut short, and the
// Save / Restore commands on the whole application with real ports (pseudo-terminals), the real
// Modbus/TCP server and real files.
#include "ModalAnswerer.h"
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/TestConfig.h"
#include "connections/PortTable.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::initializer_list<int> bytes)
{
    for (int v : bytes)
        b.push_back(static_cast<std::uint8_t>(v));
}
void Put16(Bytes& b, unsigned v) { Put(b, {int(v & 0xFF), int(v >> 8 & 0xFF)}); }
void Put32(Bytes& b, std::uint32_t v) { Put(b, {int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)}); }
void PutString(Bytes& b, const std::string& s)
{
    Put(b, {int(s.size())});
    b.insert(b.end(), s.begin(), s.end());
}
// One port entry: open flag, protocol byte, then 19200 8N1 with `tag` in the last spare byte.
void PutPort(Bytes& b, std::uint32_t open, int protocol, unsigned tag)
{
    Put32(b, open);
    Put(b, {protocol});
    Put32(b, 19200);
    Put(b, {8, 0, 0, 0});
    Put32(b, 0);
    Put32(b, 0);
    Put(b, {0, 0, 0, int(tag)});
}
int Tag(const pomrel::PortSettings& s) { return s.reserved18[1]; }

// A file of `version` naming `docs`, with `ports` entries (port n tagged n), open where `open`
// says, the server flag and (from version 2) aliases.
Bytes MakeTst(std::vector<std::string> docs, int version, int ports, std::vector<int> open, bool server,
              std::vector<AliasEntry> aliases = {})
{
    Bytes b;
    Put16(b, 0x8000u | static_cast<unsigned>(docs.size()));
    for (const auto& d : docs)
        PutString(b, d);
    Put16(b, static_cast<unsigned>(version));
    for (int p = 1; p <= ports; ++p)
        PutPort(b, std::find(open.begin(), open.end(), p) != open.end() ? 1 : 0, 1, static_cast<unsigned>(p));
    Put32(b, server ? 1 : 0);
    if (version > 1) {
        Put32(b, static_cast<std::uint32_t>(aliases.size()));
        for (const auto& a : aliases) {
            Put32(b, static_cast<std::uint32_t>(a.pointType));
            Put32(b, static_cast<std::uint32_t>(a.address));
            PutString(b, a.text);
        }
    }
    return b;
}

TEST(TestConfigFile, OlderFormsAndFilesCutShort)
{
    struct Case {
        const char* name;
        Bytes file;
        std::size_t docs;
        std::optional<int> version;
        std::size_t ports;
        bool server;
        bool replacesAliases;
        std::size_t aliases;
        bool endedEarly;
    };
    Bytes namesOnly;
    Put16(namesOnly, 2);
    PutString(namesOnly, "a.kvd");
    PutString(namesOnly, "b.kvd");
    Put(namesOnly, {3, 0, 0xFF, 0xFF});   // anything after the names is not read
    Bytes cutInPorts = MakeTst({"a.kvd"}, 3, 32, {}, false);
    cutInPorts.resize(2 + 6 + 2 + 25 * 4 + 10);
    Bytes hugeAliasCount = MakeTst({}, 3, 32, {}, true);
    hugeAliasCount.resize(hugeAliasCount.size() - 4);
    Put32(hugeAliasCount, 0x7FFFFFFF);
    Put32(hugeAliasCount, 1);
    Put32(hugeAliasCount, 5);
    PutString(hugeAliasCount, "one");
    Bytes negativeAliasCount = MakeTst({}, 2, 9, {}, false);
    negativeAliasCount.resize(negativeAliasCount.size() - 4);
    Put32(negativeAliasCount, 0xFFFFFFFF);
    const Case cases[] = {
        {"names only", namesOnly, 2, std::nullopt, 0, false, false, 0, false},
        {"version 1", MakeTst({"a"}, 1, 9, {2}, true), 1, 1, 9, true, false, 0, false},
        {"version 2", MakeTst({"a"}, 2, 9, {}, false, {{3, 1, "x"}}), 1, 2, 9, false, true, 1, false},
        {"version 3", MakeTst({"a", "b"}, 3, 32, {}, true, {{3, 1, "x"}, {3, 1, "y"}}), 2, 3, 32, true, true, 2, false},
        {"cut in ports", cutInPorts, 1, 3, 4, false, false, 0, true},
        {"huge alias count", hugeAliasCount, 0, 3, 32, true, true, 1, true},
        {"negative alias count", negativeAliasCount, 0, 2, 9, false, true, 0, false},
        {"empty", {}, 0, std::nullopt, 0, false, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TestConfigFile f = ParseTestConfig(c.file);
        EXPECT_EQ(f.documents.size(), c.docs);
        EXPECT_EQ(f.version.has_value(), c.version.has_value());
        EXPECT_EQ(f.version.value_or(0), c.version.value_or(0));
        EXPECT_EQ(f.ports.size(), c.ports);
        EXPECT_EQ(f.serverFlag.value_or(0) != 0, c.server);
        EXPECT_EQ(f.replacesAliases, c.replacesAliases);
        EXPECT_EQ(f.aliases.size(), c.aliases);
        EXPECT_EQ(f.endedEarly, c.endedEarly);
    }
    const TestConfigFile v1 = ParseTestConfig(MakeTst({"a"}, 1, 9, {2}, true));
    EXPECT_EQ(v1.ports[1].open, 1u);
    EXPECT_EQ(Tag(v1.ports[8].settings), 9);
    EXPECT_EQ(v1.ports[8].settings.baudRate, 19200u);
    EXPECT_EQ(v1.ports[8].settings.parity, 0);
}

TEST(TestConfigFile, CutAtEveryOffsetKeepsWhatWasWhole)
{
    const Bytes whole = MakeTst({"first.kvd", "second.kvd"}, 3, 32, {1, 32}, true, {{1, 5, "pump"}, {3, 40001, "level"}});
    std::size_t lastPorts = 0;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        const TestConfigFile f = ParseTestConfig(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        ASSERT_TRUE(f.endedEarly);
        ASSERT_GE(f.ports.size(), lastPorts);
        lastPorts = f.ports.size();
        ASSERT_LE(f.aliases.size(), 2u);
    }
    EXPECT_FALSE(ParseTestConfig(whole).endedEarly);
}

// A pseudo-terminal pair: the engine opens the slave side as a serial port.
struct Pty {
    Pty()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            termios t{};
            ::tcgetattr(slave, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(slave, TCSANOW, &t);
        }
    }
    ~Pty()
    {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    int master = -1, slave = -1;
    std::string path;
};

class TestConfigApp : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o;
        o.settingsFolder = Path("Orvane");
        o.executablePath = Path("kelvaro64");
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
        app->servicePort = 0;   // the system picks a free port for the server
        // 8N1: a pseudo-terminal takes no parity.
        for (int port = 1; port <= PortTable::kPorts; ++port) {
            pomrel::PortSettings s;
            s.parity = 0;
            frame->Connections().Ports().SetPortSettings(port, kProtocolRtu, s);
        }
    }
    void TearDown() override { app.reset(); }

    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    void WriteFile(const std::string& name, const Bytes& bytes) const
    {
        QFile f(QString::fromStdString(Path(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    Bytes ReadFile(const std::string& name) const
    {
        QFile f(QString::fromStdString(Path(name)));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        return Bytes(data.begin(), data.end());
    }
    CKelvaro32Doc* NewDocumentAt(const std::string& name, std::uint16_t firstWord)
    {
        CKelvaro32Doc* doc = app->NewDocument();
        doc->SetWord(0, firstWord);
        doc->SetPathName(Path(name));
        return doc;
    }
    bool OpenPortOn(int port, const Pty& pty)
    {
        frame->Connections().Ports().SetPortPath(port, pty.path);
        return frame->Connections().OpenSerialPort(port) != pomrel::kNoHandle;
    }
    std::vector<std::string> DocumentPaths() const
    {
        std::vector<std::string> paths;
        for (CKelvaro32Doc* d : app->Documents())
            paths.push_back(d->pathName);
        return paths;
    }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

TEST_F(TestConfigApp, SavedWithTwoDocumentsAndRestoredAsItWas)
{
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    NewDocumentAt("one.kvd", 11);
    NewDocumentAt("two.kvd", 22);
    ASSERT_TRUE(OpenPortOn(3, pty));
    ASSERT_NE(frame->Connections().OpenServer(app->servicePort), pomrel::kNoHandle);
    app->Aliases().SetAlias(3, 1, "flow");
    app->Aliases().SetAlias(1, 7, "");

    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("set-up.tst")));
    const Bytes file = ReadFile("set-up.tst");
    const std::size_t names = 2 + (1 + Path("one.kvd").size()) + (1 + Path("two.kvd").size());
    ASSERT_EQ(file.size(), names + 2 + 32 * 25 + 4 + 4 + (8 + 5) + (8 + 1));
    EXPECT_EQ(file[0], 0x02);
    EXPECT_EQ(file[1], 0x80);
    EXPECT_EQ(file[names], 3);
    for (int port = 1; port <= 32; ++port)
        EXPECT_EQ(file[names + 2 + 25 * (port - 1)], port == 3 ? 1 : 0) << port;
    EXPECT_EQ(file[names + 2 + 800], 1);       // server
    EXPECT_EQ(file[names + 2 + 804], 2);       // alias count
    EXPECT_EQ(ReadFile("one.kvd").size(), kDocumentFileSizeWithoutPoints);

    // Everything away, then back from the file.
    for (CChildFrame* child : frame->Children())
        delete child;
    frame->Connections().CloseAllConnections();
    app->Aliases().ClearAliases();
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("set-up.tst")));
    EXPECT_EQ(DocumentPaths(), (std::vector<std::string>{Path("one.kvd"), Path("two.kvd")}));
    EXPECT_EQ(app->Documents().All()[1]->Word(0), 22);
    EXPECT_TRUE(frame->Connections().IsPortOpen(3));
    EXPECT_TRUE(frame->Connections().IsServerOpen());
    ASSERT_EQ(app->Aliases().Entries().size(), 2u);
    EXPECT_EQ(app->Aliases().GetAlias(3, 1), "flow");
}

TEST_F(TestConfigApp, OlderFilesChangeOnlyWhatTheyHold)
{
    Pty pty9, pty12;
    WriteFile("a.kvd", SerializeDocument(*app->NewDocument(), 0));
    for (CChildFrame* child : frame->Children())
        delete child;

    struct Case {
        const char* name;
        Bytes file;
        bool port9Open, port12Open, serverOpen;
        std::vector<std::string> aliases;   // texts afterwards
        int port9Tag;
    };
    Bytes header2;
    Put16(header2, 1);
    PutString(header2, Path("a.kvd"));
    const Case cases[] = {
        {"header 2", header2, false, true, true, {"before"}, 0},
        {"version 1", MakeTst({Path("a.kvd")}, 1, 9, {}, false), false, false, false, {"before"}, 9},
        {"version 2", MakeTst({Path("a.kvd")}, 2, 9, {9}, true, {{4, 2, "new"}, {4, 2, "again"}}), true, false, true,
         {"new", "again"}, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (CChildFrame* child : frame->Children())
            delete child;
        frame->Connections().CloseAllConnections();
        pomrel::PortSettings s;
        s.parity = 0;
        frame->Connections().Ports().SetPortSettings(9, kProtocolRtu, s);
        frame->Connections().Ports().SetPortPath(9, pty9.path);
        ASSERT_TRUE(OpenPortOn(12, pty12));
        ASSERT_NE(frame->Connections().OpenServer(app->servicePort), pomrel::kNoHandle);
        app->Aliases().ClearAliases();
        app->Aliases().SetAlias(3, 3, "before");

        WriteFile("old.tst", c.file);
        ASSERT_TRUE(RestoreTestConfig(*frame, Path("old.tst")));
        EXPECT_EQ(DocumentPaths(), std::vector<std::string>{Path("a.kvd")});
        EXPECT_EQ(frame->Connections().IsPortOpen(9), c.port9Open);
        EXPECT_EQ(frame->Connections().IsPortOpen(12), c.port12Open);
        EXPECT_EQ(frame->Connections().IsServerOpen(), c.serverOpen);
        std::vector<std::string> texts;
        for (const auto& a : app->Aliases().Entries())
            texts.push_back(a.text);
        EXPECT_EQ(texts, c.aliases);
        std::uint8_t protocol = 0;
        pomrel::PortSettings settings;
        frame->Connections().Ports().GetPortSettings(9, protocol, settings);
        EXPECT_EQ(Tag(settings), c.port9Tag);
    }
}

TEST_F(TestConfigApp, AFileCutShortKeepsWhatWasRestoredAndSaysSo)
{
    WriteFile("a.kvd", SerializeDocument(*app->NewDocument(), 0));
    for (CChildFrame* child : frame->Children())
        delete child;
    Bytes file = MakeTst({Path("a.kvd")}, 3, 32, {}, true);
    const std::size_t ports = 2 + 1 + Path("a.kvd").size() + 2;
    file.resize(ports + 25 * 5 + 7);   // five whole port entries
    WriteFile("cut.tst", file);

    ModalAnswerer answers;
    answers.Message();
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("cut.tst")));
    EXPECT_EQ(answers.messages, QStringList{QString("Attempted to access %1 past its end.").arg(dir.path() + "/cut.tst")});
    EXPECT_EQ(app->Documents().Size(), 1u);
    std::uint8_t protocol = 0;
    pomrel::PortSettings settings;
    frame->Connections().Ports().GetPortSettings(5, protocol, settings);
    EXPECT_EQ(Tag(settings), 5);
    frame->Connections().Ports().GetPortSettings(6, protocol, settings);
    EXPECT_EQ(Tag(settings), 0);
    EXPECT_FALSE(frame->Connections().IsServerOpen());

    answers.Message();
    EXPECT_FALSE(RestoreTestConfig(*frame, Path("missing.tst")));
    EXPECT_EQ(answers.messages.back(), "File Open Error");
}

TEST_F(TestConfigApp, RelativeNamesAreFoundBesideTheFile)
{
    WriteFile("rel.kvd", SerializeDocument(*app->NewDocument(), 0));
    for (CChildFrame* child : frame->Children())
        delete child;
    Bytes file;
    Put16(file, 1);
    PutString(file, "rel.kvd");
    WriteFile("rel.tst", file);
    ASSERT_TRUE(RestoreTestConfig(*frame, Path("rel.tst")));
    EXPECT_EQ(DocumentPaths(), std::vector<std::string>{Path("rel.kvd")});
}

TEST_F(TestConfigApp, TheCommandsThroughTheirDialogs)
{
    // Save Test Config gives an untitled document its name through Save As first.
    CKelvaro32Doc* doc = app->NewDocument();
    doc->SetWord(5, 55);
    ModalAnswerer answers;
    answers.File(QString::fromStdString(Path("cmd")));   // no extension is added
    answers.File(QString::fromStdString(Path("untitled.kvd")));
    ASSERT_TRUE(frame->RunCommand(cmd::SaveTestConfig));
    EXPECT_TRUE(answers.Done());
    EXPECT_EQ(ReadFile("cmd").size(), 2u + 1 + Path("untitled.kvd").size() + 2 + 800 + 8);

    // Restore: a modified document asks; Cancel keeps it and restores nothing.
    doc->SetModified(true);
    answers.File(QString::fromStdString(Path("cmd")));
    answers.Message(QMessageBox::Cancel);
    ASSERT_TRUE(frame->RunCommand(cmd::RestoreTestConfig));
    EXPECT_TRUE(answers.Done());
    ASSERT_EQ(app->Documents().Size(), 1u);
    EXPECT_EQ(app->Documents().All()[0], doc);

    // No: the document closes unsaved and the file's document comes back from disk.
    doc->SetWord(5, 99);
    answers.File(QString::fromStdString(Path("cmd")));
    answers.Message(QMessageBox::No);
    ASSERT_TRUE(frame->RunCommand(cmd::RestoreTestConfig));
    EXPECT_TRUE(answers.Done());
    ASSERT_EQ(app->Documents().Size(), 1u);
    EXPECT_EQ(app->Documents().All()[0]->Word(5), 55);
    EXPECT_EQ(answers.unexpected, 0);
}

TEST(TestConfigFile, CanCreateFileAsksTheFolderOfALinksFinalTarget)
{
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    ASSERT_EQ(::mkdir((d + "/other").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((d + "/folder").c_str(), 0755), 0);
    // The save writes beside the file a link finally names, not beside the link.
    ASSERT_EQ(::symlink((d + "/other/set.tst").c_str(), (d + "/to-other.tst").c_str()), 0);
    ASSERT_EQ(::symlink("to-other.tst", (d + "/to-link.tst").c_str()), 0);
    ASSERT_EQ(::symlink((d + "/gone/set.tst").c_str(), (d + "/to-gone.tst").c_str()), 0);
    ASSERT_EQ(::symlink("folder", (d + "/to-folder.tst").c_str()), 0);
    ASSERT_EQ(::symlink("loop-b.tst", (d + "/loop-a.tst").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a.tst", (d + "/loop-b.tst").c_str()), 0);
    const struct {
        const char* name;
        bool can;
    } cases[] = {
        {"plain.tst", true},
        {"folder", false},
        {"to-other.tst", true},      // a link into another folder that takes files
        {"to-link.tst", true},       // a link to that link
        {"to-gone.tst", false},      // its target's folder does not exist: nothing can be made there
        {"to-folder.tst", false},
        {"loop-a.tst", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CanCreateFile(d + "/" + c.name), c.can) << c.name;
    // The probe leaves nothing behind, in either folder.
    EXPECT_EQ(QDir(dir.path() + "/other").entryList(QDir::Files | QDir::Hidden), QStringList{});
    EXPECT_FALSE(QFile::exists(dir.path() + "/plain.tst"));
}

TEST_F(TestConfigApp, SaveThatCannotCreateTheFileSaysSoAndSavesNothing)
{
    CKelvaro32Doc* doc = NewDocumentAt("kept.kvd", 1);
    ModalAnswerer answers;
    answers.Message();
    EXPECT_FALSE(SaveTestConfigTo(*frame, Path("no-such-folder/x.tst")));
    EXPECT_EQ(answers.messages, QStringList{"File Creation Error"});
    EXPECT_FALSE(QFile::exists(QString::fromStdString(doc->pathName)));
}

TEST(TestConfigStart, TheCommandLineRestoresTheNamedFile)
{
    QTemporaryDir dir;
    const std::string docPath = dir.path().toStdString() + "/d.kvd";
    const std::string tstPath = dir.path().toStdString() + "/start.tst";
    {
        DocumentContext context;
        CKelvaro32Doc doc(context);
        doc.SetWord(0, 4242);
        const Bytes bytes = SerializeDocument(doc, 0);
        QFile f(QString::fromStdString(docPath));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    {
        Bytes b;
        Put16(b, 1);
        PutString(b, docPath);
        QFile f(QString::fromStdString(tstPath));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<qint64>(b.size()));
    }
    AppOptions o;
    o.settingsFolder = dir.path().toStdString() + "/Orvane";
    o.executablePath = dir.path().toStdString() + "/kelvaro64";
    CKelvaro32App app(o);
    ASSERT_TRUE(app.InitInstance({tstPath}));
    EXPECT_TRUE(app.mainFrame->isVisible());
    ASSERT_EQ(app.Documents().Size(), 1u);
    EXPECT_EQ(app.Documents().All()[0]->Word(0), 4242);
    EXPECT_EQ(app.mainFrame->CurrentMenuId(), 129);
}

} // namespace
