// The settings files when they cannot be read or written: which file, and why, is always said,
// every other file is still written, and the one that failed keeps what it held.
#include "app/SettingsStore.h"
#include "connections/PortTable.h"
#include "document/AliasTable.h"

#include "ScratchDir.h"
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

namespace {

struct State {
    std::uint16_t servicePort = 502;
    PortTable ports;
    DisplayDefaults look;
    AliasTable aliases;
    RememberedState Ref() { return {&servicePort, &ports, &look, &aliases}; }
};

std::string Text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Disk full, a read-only file, a folder under a file's name, a folder that cannot exist: the
// original saved without a word and lost the settings. Each failure names its file and reason.
TEST(SettingsSave, EveryFailureNamesItsFileAndWhyAndTheRestIsWritten)
{
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> arrange;
        std::vector<std::pair<std::string, std::string>> failures;   // file name, part of the reason
    };
    const Case cases[] = {
        {"all writable", [](const std::string&) {}, {}},
        {"read-only settings file",
         [](const std::string& f) {
             std::ofstream(f + "/kv64comm2.cfg") << "old";
             ::chmod((f + "/kv64comm2.cfg").c_str(), 0444);
         },
         {{"kv64comm2.cfg", "read-only"}}},
        {"a folder where the alias file goes",
         [](const std::string& f) { std::filesystem::create_directory(f + "/kelvaro64.ali"); },
         {{"kelvaro64.ali", "folder"}}},
        {"the ports file linked to a device",
         [](const std::string& f) { std::filesystem::create_symlink("/dev/full", f + "/kelvaro64.ports"); },
         {{"kelvaro64.ports", "not a regular file"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string folder = dir.Path() + "/Orvane";
        std::filesystem::create_directories(folder);
        c.arrange(folder);
        State s;
        s.aliases.SetAlias(3, 1, "Pump");
        const auto failures = SettingsStore(folder).Save(s.Ref());
        ASSERT_EQ(failures.size(), c.failures.size());
        for (std::size_t k = 0; k < failures.size(); ++k) {
            EXPECT_EQ(failures[k].path, folder + "/" + c.failures[k].first);
            EXPECT_NE(failures[k].reason.find(c.failures[k].second), std::string::npos) << failures[k].reason;
        }
        for (const char* file : {"kv64comm2.cfg", "kelvaro64.ali", "kelvaro64.ports"}) {
            const bool failed = std::any_of(c.failures.begin(), c.failures.end(),
                                            [&](const auto& f) { return f.first == file; });
            if (!failed) {
                EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/" + file)) << file;
            }
        }
        if (c.failures.size() == 1 && c.failures[0].first == "kv64comm2.cfg") {
            EXPECT_EQ(Text(folder + "/kv64comm2.cfg"), "old");
        }
    }

    // A folder that cannot be made (it would lie inside a plain file): all three, each named.
    ScratchDir dir;
    std::ofstream(dir.Path() + "/plain") << "x";
    State s;
    const auto failures = SettingsStore(dir.Path() + "/plain/Orvane").Save(s.Ref());
    ASSERT_EQ(failures.size(), 3u);
    for (const FileFailure& f : failures)
        EXPECT_NE(f.reason.find("Not a directory"), std::string::npos) << f.path << ": " << f.reason;
}

// A read-only file system: folders already there are found, a new one fails with EROFS.
int ReadOnlyMkdir(const char* path, mode_t mode)
{
    struct stat st {};
    if (::stat(path, &st) == 0)
        return ::mkdir(path, mode);
    errno = EROFS;
    return -1;
}

// On a read-only file system without the settings folder, the save said "No such file or
// directory" (the folder's failure went unheard, the files then missed it). The folder's own
// reason is what each file reports.
TEST(SettingsSave, AFolderThatCannotBeMadeGivesItsOwnReason)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/config/Orvane";
    State s;
    const auto failures = SettingsStore(folder, ReadOnlyMkdir).Save(s.Ref());
    ASSERT_EQ(failures.size(), 3u);
    for (const FileFailure& f : failures) {
        EXPECT_NE(f.reason.find("Read-only file system"), std::string::npos) << f.path << ": " << f.reason;
        EXPECT_NE(f.reason.find(dir.Path() + "/config"), std::string::npos) << f.reason;
    }
    EXPECT_EQ(MakeFolders(folder, ReadOnlyMkdir), "Read-only file system");

    // The real call makes every missing step, and a folder already there is no failure.
    EXPECT_EQ(MakeFolders(folder), "");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(MakeFolders(folder + "/"), "");
    EXPECT_TRUE(SettingsStore(folder, ReadOnlyMkdir).Save(s.Ref()).empty());
}

// A FIFO under a settings file's name held start-up for ever. Such a file is reported and its
// settings keep their defaults; a missing file is no failure at all.
TEST(SettingsSave, LoadReportsWhatIsThereButUnreadableAndNeverWaits)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/Orvane";
    std::filesystem::create_directories(folder);
    State fresh;
    EXPECT_TRUE(SettingsStore(folder).Load(fresh.Ref()).empty());

    ASSERT_EQ(::mkfifo((folder + "/kelvaro64.ali").c_str(), 0600), 0);
    std::filesystem::create_directory(folder + "/kv64comm2.cfg");
    State s;
    const auto failures = SettingsStore(folder).Load(s.Ref());
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].path, folder + "/kv64comm2.cfg");
    EXPECT_NE(failures[0].reason.find("folder"), std::string::npos) << failures[0].reason;
    EXPECT_EQ(failures[1].path, folder + "/kelvaro64.ali");
    EXPECT_NE(failures[1].reason.find("not a regular file"), std::string::npos) << failures[1].reason;
    EXPECT_EQ(s.servicePort, 502);
    EXPECT_TRUE(s.aliases.Entries().empty());
}

// Where no unnamed temporary file can be made, a killed save leaves "<file>.tmpXXXXXX"; the next
// start removes the old ones of ours and nothing else.
TEST(SettingsSave, LoadRemovesStaleTemporariesOfASaveThatWasKilled)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/Orvane";
    std::filesystem::create_directories(folder);
    const std::vector<std::string> names = {"kv64comm2.cfg.tmpQ7x2Lm", "kelvaro64.ali.tmpAAAAAA",
                                            "kelvaro64.ports.tmp123456", "notes.txt.tmpQ7x2Lm"};
    for (const std::string& n : names) {
        std::ofstream(folder + "/" + n) << "half";
        const timeval old[2] = {{::time(nullptr) - 600, 0}, {::time(nullptr) - 600, 0}};
        ::utimes((folder + "/" + n).c_str(), old);
    }
    State s;
    SettingsStore(folder).Load(s.Ref());
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"notes.txt.tmpQ7x2Lm"});
}

} // namespace
