// Open, Save, Save As and the recent-file list on the whole application with real files.
#include "ModalAnswerer.h"
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "app/DocumentCommands.h"
#include "app/TestConfig.h"
#include "document/CKelvaro32Doc.h"
#include "document/DocumentFile.h"
#include "view/CKelvaro32View.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

class DocumentFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o;
        o.settingsFolder = Path("Orvane");
        o.executablePath = Path("kelvaro64");
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
    }
    void TearDown() override { app.reset(); }

    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    QString QPath(const std::string& name) const { return QString::fromStdString(Path(name)); }
    void Write(const std::string& name, const QByteArray& bytes) const
    {
        QFile f(QPath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray Read(const std::string& name) const
    {
        QFile f(QPath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void CloseAll()
    {
        for (CChildFrame* child : frame->Children())
            delete child;
    }
    static CKelvaro32View* ViewOf(CKelvaro32Doc* doc) { return dynamic_cast<CKelvaro32View*>(doc->Views().front()); }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

TEST_F(DocumentFiles, SaveAsThenOpenBringsBackTheBlockItsFormatAndRegistersIt)
{
    CKelvaro32Doc* doc = app->NewDocument();
    doc->deviceId = 9;
    doc->SetWord(0, 0x4049);
    doc->SetWord(1, 0x0FDB);
    doc->AddSimulatedPoint(std::make_unique<CAutomatePt>());
    ViewOf(doc)->SetDisplayFormat(kFloatSwapped);

    ModalAnswerer answers;
    answers.File(QPath("pi.kvd"));
    ASSERT_TRUE(frame->RunCommand(cmd::FileSaveAs));
    EXPECT_TRUE(answers.Done());
    EXPECT_EQ(Read("pi.kvd").size(), 2088 + 28);
    EXPECT_EQ(doc->title, "pi.kvd");
    EXPECT_EQ(frame->windowTitle(), "Kelvaro64 - pi.kvd");
    CloseAll();

    CKelvaro32Doc* opened = OpenDocumentFile(*frame, Path("pi.kvd"), frame);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->pathName, Path("pi.kvd"));
    EXPECT_EQ(opened->deviceId, 9);
    EXPECT_EQ(opened->Word(1), 0x0FDB);
    EXPECT_EQ(opened->simulatedPoints.size(), 1u);
    EXPECT_EQ(ViewOf(opened)->DisplayFormat(), kFloatSwapped);
    EXPECT_NE(ViewOf(opened)->BlockHandle(), pomrel::kNoHandle);
    // A file already open is not opened twice.
    EXPECT_EQ(OpenDocumentFile(*frame, Path("pi.kvd"), frame), opened);
    EXPECT_EQ(app->Documents().Size(), 1u);

    // Save writes to the same path without asking.
    opened->SetWord(2, 7);
    ASSERT_TRUE(frame->RunCommand(cmd::FileSave));
    EXPECT_EQ(static_cast<std::uint8_t>(Read("pi.kvd")[16 + 4]), 7);
    EXPECT_EQ(answers.unexpected, 0);
}

TEST_F(DocumentFiles, FilesThatCannotBeOpenedOpenNothing)
{
    DocumentContext context;
    CKelvaro32Doc plain(context);
    const Bytes whole = SerializeDocument(plain, 0);
    Write("short.kvd", QByteArray(reinterpret_cast<const char*>(whole.data()), 2000));
    struct Case { std::string name; QString message; };
    const Case cases[] = {
        {"short.kvd", "Unexpected file format."},
        {"missing.kvd", "Failed to open document."},
        {"", "Failed to open document."},
    };
    for (const auto& c : cases) {
        ModalAnswerer answers;
        answers.Message();
        EXPECT_EQ(OpenDocumentFile(*frame, c.name.empty() ? "" : Path(c.name), frame), nullptr);
        EXPECT_EQ(answers.messages, QStringList{c.message}) << c.name;
        EXPECT_TRUE(app->Documents().Empty());
    }
}

TEST_F(DocumentFiles, AnUnknownVersionOpensAsANewRegisteredDocument)
{
    QByteArray file("\0\0\0\x04" "1.07", 8);
    file.append(QByteArray(2080, '\x11'));
    Write("future.kvd", file);
    CKelvaro32Doc* doc = OpenDocumentFile(*frame, Path("future.kvd"), frame);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->pointType, 3);
    EXPECT_EQ(doc->length, 1000);
    EXPECT_EQ(doc->Word(0), 0);
    EXPECT_TRUE(doc->pathName.empty());   // Save asks for a name instead of overwriting the file
    EXPECT_NE(ViewOf(doc)->BlockHandle(), pomrel::kNoHandle);
}

TEST_F(DocumentFiles, AFailedSaveLeavesWhatWasThereAndSaysSo)
{
    CKelvaro32Doc* doc = app->NewDocument();
    ASSERT_TRUE(QDir(dir.path()).mkpath("taken/inside"));
    ModalAnswerer answers;
    // The name of an existing folder, and a file in a folder that does not exist.
    for (const std::string name : {"taken", "nowhere/x.kvd"}) {
        doc->SetPathName(Path(name));
        answers.Message();
        EXPECT_FALSE(SaveDocument(*frame, *doc, frame, false)) << name;
        EXPECT_EQ(answers.messages.back(), "Failed to save document.");
    }
    EXPECT_TRUE(QDir(QPath("taken/inside")).exists());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{});   // no temporary file left

    // Overwriting a file goes through a temporary file too and leaves nothing else behind.
    Write("old.kvd", "old contents");
    doc->SetPathName(Path("old.kvd"));
    EXPECT_TRUE(SaveDocument(*frame, *doc, frame, false));
    EXPECT_EQ(Read("old.kvd").size(), 2088);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"old.kvd"});
}

TEST_F(DocumentFiles, TheRecentFileListKeepsFourAndOpensThem)
{
    for (int i = 1; i <= 5; ++i) {
        CKelvaro32Doc* doc = app->NewDocument();
        doc->SetWord(0, static_cast<std::uint16_t>(i));
        doc->SetPathName(Path("r" + std::to_string(i) + ".kvd"));
        ASSERT_TRUE(SaveDocument(*frame, *doc, frame, false));
    }
    QSettings profile(QPath("Orvane/Kelvaro64.conf"), QSettings::IniFormat);
    profile.beginGroup("Recent File List");
    EXPECT_EQ(profile.value("File1").toString(), QPath("r5.kvd"));
    EXPECT_EQ(profile.value("File4").toString(), QPath("r2.kvd"));
    EXPECT_FALSE(profile.contains("File5"));
    CloseAll();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();

    // The File menu shows them; the second entry (id 57617) opens r4.
    QAction* first = frame->Action(cmd::RecentFile1);
    ASSERT_NE(first, nullptr);
    auto* menu = qobject_cast<QMenu*>(first->parent());
    ASSERT_NE(menu, nullptr);
    emit menu->aboutToShow();
    EXPECT_EQ(first->text(), "&1 " + QDir::toNativeSeparators(QPath("r5.kvd")));
    EXPECT_TRUE(first->isEnabled());
    ASSERT_TRUE(frame->RunCommand(cmd::RecentFile1 + 1));
    ASSERT_EQ(app->Documents().Size(), 1u);
    EXPECT_EQ(app->Documents().All()[0]->Word(0), 4);

    // An entry whose file is gone is dropped after the message.
    QFile::remove(QPath("r3.kvd"));
    ModalAnswerer answers;
    answers.Message();
    ASSERT_TRUE(frame->RunCommand(cmd::RecentFile1 + 2));
    EXPECT_EQ(answers.messages, QStringList{"Failed to open document."});
    profile.sync();
    EXPECT_EQ(profile.value("File3").toString(), QPath("r2.kvd"));
}

// Only New takes an untitled number: opening a file (also one of an unknown version, which stays
// without a path) takes none, and neither does an open that fails.
TEST_F(DocumentFiles, OnlyNewTakesAnUntitledNumber)
{
    DocumentContext context;
    CKelvaro32Doc plain(context);
    const Bytes whole = SerializeDocument(plain, 0);
    Write("plain.kvd", QByteArray(reinterpret_cast<const char*>(whole.data()), static_cast<int>(whole.size())));
    QByteArray future("\0\0\0\x04" "1.07", 8);
    future.append(QByteArray(2080, '\x11'));
    Write("future.kvd", future);

    struct Case {
        std::vector<std::string> steps;    // "new", or a file to open
        std::vector<std::string> titles;   // of the windows, in creation order
    };
    const Case cases[] = {
        {{"plain.kvd", "new"}, {"plain.kvd", "Kelvaro1"}},
        {{"new", "plain.kvd", "new"}, {"Kelvaro1", "plain.kvd", "Kelvaro2"}},
        {{"future.kvd", "new"}, {"future.kvd", "Kelvaro1"}},
        {{"missing.kvd", "new", "new"}, {"Kelvaro1", "Kelvaro2"}},
    };
    for (const Case& c : cases) {
        app.reset();
        SetUp();
        for (const std::string& step : c.steps) {
            if (step == "new")
                ASSERT_TRUE(frame->RunCommand(cmd::FileNew));
            else
                OpenDocumentFile(*frame, Path(step), frame, true);
        }
        std::vector<std::string> titles;
        for (CChildFrame* child : frame->Children()) {
            titles.push_back(child->Document()->title);
            EXPECT_EQ(child->windowTitle().toStdString(), child->Document()->title);
        }
        EXPECT_EQ(titles, c.titles) << c.steps.front();
        EXPECT_EQ(frame->windowTitle().toStdString(), "Kelvaro64 - " + c.titles.back()) << c.steps.front();
    }
}

// Documents have no fixed extension: "All Files (*.*)" lists every file, also names without a
// dot, in File Open and in Save As.
TEST_F(DocumentFiles, AllFilesListsNamesWithAndWithoutADot)
{
    for (const std::string name : {"gdoc1", "plant.kvd", "two.dots.x"}) {
        CKelvaro32Doc* doc = app->NewDocument();
        doc->SetWord(0, static_cast<std::uint16_t>(name.size()));
        doc->SetPathName(Path(name));
        ASSERT_TRUE(SaveDocument(*frame, *doc, frame, false)) << name;
    }
    CloseAll();
    QDir::setCurrent(dir.path());   // where a first dialog starts
    struct Case {
        int command;
        bool withDocument;
    };
    for (const Case c : {Case{cmd::FileOpen, false}, Case{cmd::FileSaveAs, true}}) {
        if (c.withDocument)
            app->NewDocument();
        ModalAnswerer answers;
        answers.listFiles = true;
        answers.File(QString());   // looked at, then cancelled
        ASSERT_TRUE(frame->RunCommand(c.command)) << c.command;
        EXPECT_EQ(answers.fileFilters, QStringList{"All Files (*.*)"}) << c.command;
        for (const char* name : {"gdoc1", "plant.kvd", "two.dots.x"})
            EXPECT_TRUE(answers.listed.contains(name)) << c.command << " " << name << " in " << answers.listed.join(' ').toStdString();
    }
    CloseAll();
    ModalAnswerer answers;
    answers.File(QPath("gdoc1"));
    ASSERT_TRUE(frame->RunCommand(cmd::FileOpen));
    ASSERT_EQ(app->Documents().Size(), 1u);
    EXPECT_EQ(app->Documents().All()[0]->title, "gdoc1");
}

// Each kind of file has its own folder: the first dialog of a kind starts in the current folder
// (the installation folder for test configurations and CSV files), every later one where a file
// of that kind was last chosen, also after a restart.
TEST_F(DocumentFiles, EachKindOfFileDialogStartsWhereThatKindWasLastChosen)
{
    for (const char* folder : {"docs", "setups", "csv", "other"})
        ASSERT_TRUE(QDir(dir.path()).mkpath(folder));
    Write("csv/values.csv", "40001,5\n");
    CKelvaro32Doc* doc = app->NewDocument();
    doc->SetPathName(Path("docs/a.kvd"));
    ASSERT_TRUE(SaveDocument(*frame, *doc, frame, false));
    ASSERT_TRUE(SaveTestConfigTo(*frame, Path("setups/s.tst")));
    QDir::setCurrent(QPath("other"));

    struct Step {
        int command;
        std::string answer;
        std::string startsIn;   // relative to the test folder; "" is the test folder itself
    };
    const Step steps[] = {
        {cmd::FileOpen, "docs/a.kvd", "other"},
        {cmd::RestoreTestConfig, "setups/s.tst", ""},
        {cmd::ReadFromCsv, "csv/values.csv", ""},
        {cmd::FileOpen, "docs/a.kvd", "docs"},
        {cmd::SaveTestConfig, "setups/s.tst", "setups"},
        {cmd::RestoreTestConfig, "setups/s.tst", "setups"},
        {cmd::ReadFromCsv, "csv/values.csv", "csv"},
    };
    for (const Step& step : steps) {
        ModalAnswerer answers;
        answers.File(QPath(step.answer));
        answers.Message(QMessageBox::Yes);   // "replace?" of Save Test Config, if asked
        ASSERT_TRUE(frame->RunCommand(step.command)) << step.command;
        ASSERT_EQ(answers.fileFolders.size(), 1) << step.command;
        EXPECT_EQ(answers.fileFolders[0], step.startsIn.empty() ? dir.path() : QPath(step.startsIn))
            << step.command << " " << step.answer;
    }
    EXPECT_EQ(app->Documents().All().back()->Word(0), 5);   // the CSV file was read

    app.reset();
    SetUp();
    ModalAnswerer answers;
    answers.File(QString());
    ASSERT_TRUE(frame->RunCommand(cmd::FileOpen));
    EXPECT_EQ(answers.fileFolders, QStringList{QPath("docs")});
}

} // namespace
