// Reading and writing whole files (document/FileAccess): regular files only, never waiting;
// atomic writes through links, keeping the mode, or not at all.
#include "document/FileAccess.h"
#include "document/IniDefaults.h"

#include "ScratchDir.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(AtomicWrite, ReplacesWholeOrLeavesTheOldFile)
{
    ScratchDir dir;
    const std::string path = dir.Path() + "/file.bin";
    ASSERT_TRUE(WriteFileAtomically(path, {1, 2, 3}));
    EXPECT_EQ(ReadWholeFile(path), (std::vector<std::uint8_t>{1, 2, 3}));
    ASSERT_TRUE(WriteFileAtomically(path, {4}));
    EXPECT_EQ(ReadWholeFile(path), (std::vector<std::uint8_t>{4}));
    // A folder that does not exist: nothing written, nothing lost elsewhere.
    EXPECT_FALSE(WriteFileAtomically(dir.Path() + "/missing/file.bin", {1}));
    EXPECT_EQ(ReadWholeFile(path), (std::vector<std::uint8_t>{4}));
    EXPECT_FALSE(ReadWholeFile(path, 0).has_value());
}

} // namespace

namespace {

std::vector<std::string> Listing(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Bytes(const std::string& path)
{
    const auto b = ReadWholeFile(path);
    return b ? std::string(b->begin(), b->end()) : "<unreadable>";
}

void Put(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

// A FIFO under a file's name used to hold start-up for ever (fopen waits for a writer); a device
// or folder must not be read either. Each is refused at once, with a reason.
TEST(FileReaders, RefuseAnythingButARegularFileWithoutWaiting)
{
    ScratchDir dir;
    const std::string d = dir.Path();
    Put(d + "/plain", "abc");
    ASSERT_EQ(::mkfifo((d + "/fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(d + "/folder");
    std::filesystem::create_symlink(d + "/fifo", d + "/link-to-fifo");
    std::filesystem::create_symlink(d + "/plain", d + "/link-to-plain");
    struct Case { std::string path; bool readable; const char* reason; };
    const Case cases[] = {
        {d + "/plain", true, ""},
        {d + "/link-to-plain", true, ""},
        {d + "/fifo", false, "not a regular file"},
        {d + "/link-to-fifo", false, "not a regular file"},
        {"/dev/zero", false, "not a regular file"},   // would never end
        {d + "/folder", false, "folder"},
        {d + "/missing", false, "No such file"},
    };
    for (const Case& c : cases) {
        std::string why;
        const auto whole = ReadWholeFile(c.path, 1024, &why);
        EXPECT_EQ(whole.has_value(), c.readable) << c.path;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.path << ": " << why;
        why.clear();
        const auto head = ReadFileHead(c.path, 2, &why);
        EXPECT_EQ(head.has_value(), c.readable) << c.path;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.path << ": " << why;
        if (c.readable) {
            EXPECT_EQ(*whole, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
            EXPECT_EQ(*head, (std::vector<std::uint8_t>{'a', 'b'}));
        }
    }
    std::string why;
    EXPECT_FALSE(ReadWholeFile(d + "/plain", 2, &why).has_value());
    EXPECT_NE(why.find("larger than"), std::string::npos) << why;
    // The defaults file goes through the same reader: a FIFO there gives the built-in block.
    EXPECT_EQ(ReadBlockDefaults(d + "/fifo").length, 1000);
}

// kv64comm2.cfg kept in a dotfiles repository and linked into place stayed stale while a plain
// 0644 copy replaced the link. A save writes through links, keeps mode and owner, and refuses
// (changing nothing) what it may not replace.
TEST(AtomicWrite, ThroughLinksKeepingModeOrNotAtAll)
{
    ScratchDir dir;
    const std::string d = dir.Path();
    std::filesystem::create_directories(d + "/config");
    std::filesystem::create_directories(d + "/dotfiles/deep");
    Put(d + "/dotfiles/deep/real.cfg", "old");
    ::chmod((d + "/dotfiles/deep/real.cfg").c_str(), 0640);
    // A relative link to a relative link to the file.
    std::filesystem::create_symlink("deep/real.cfg", d + "/dotfiles/alias.cfg");
    std::filesystem::create_symlink("../dotfiles/alias.cfg", d + "/config/settings.cfg");

    std::string why;
    ASSERT_TRUE(WriteFileAtomically(d + "/config/settings.cfg", {'n', 'e', 'w'}, &why)) << why;
    EXPECT_TRUE(std::filesystem::is_symlink(d + "/config/settings.cfg"));
    EXPECT_TRUE(std::filesystem::is_symlink(d + "/dotfiles/alias.cfg"));
    EXPECT_EQ(Bytes(d + "/dotfiles/deep/real.cfg"), "new");
    struct stat st {};
    ASSERT_EQ(::stat((d + "/dotfiles/deep/real.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // No temporary file left anywhere.
    EXPECT_EQ(Listing(d + "/config"), std::vector<std::string>{"settings.cfg"});
    EXPECT_EQ(Listing(d + "/dotfiles/deep"), std::vector<std::string>{"real.cfg"});

    // A dangling link: the file is created where the link points.
    std::filesystem::create_symlink("fresh.cfg", d + "/config/dangling.cfg");
    ASSERT_TRUE(WriteFileAtomically(d + "/config/dangling.cfg", {'x'}, &why)) << why;
    EXPECT_TRUE(std::filesystem::is_symlink(d + "/config/dangling.cfg"));
    EXPECT_EQ(Bytes(d + "/config/fresh.cfg"), "x");

    // Refused, and nothing changes: a read-only target (even for root), a folder in its place,
    // a folder path through a file.
    Put(d + "/readonly.cfg", "keep");
    ::chmod((d + "/readonly.cfg").c_str(), 0444);
    std::filesystem::create_symlink("readonly.cfg", d + "/link-to-readonly.cfg");
    std::filesystem::create_directory(d + "/a-folder.cfg");
    struct Refusal { std::string path; const char* reason; };
    const Refusal refusals[] = {
        {d + "/readonly.cfg", "read-only"},
        {d + "/link-to-readonly.cfg", "read-only"},
        {d + "/a-folder.cfg", "folder"},
        {d + "/readonly.cfg/inside.cfg", "Not a directory"},
        {d + "/no-such-folder/file.cfg", "No such file"},
    };
    for (const Refusal& r : refusals) {
        why.clear();
        EXPECT_FALSE(WriteFileAtomically(r.path, {'!'}, &why)) << r.path;
        EXPECT_NE(why.find(r.reason), std::string::npos) << r.path << ": " << why;
    }
    EXPECT_EQ(Bytes(d + "/readonly.cfg"), "keep");
    EXPECT_TRUE(std::filesystem::is_symlink(d + "/link-to-readonly.cfg"));
    EXPECT_TRUE(std::filesystem::is_directory(d + "/a-folder.cfg"));
    EXPECT_EQ(Listing(d), (std::vector<std::string>{"a-folder.cfg", "config", "dotfiles", "link-to-readonly.cfg",
                                                    "readonly.cfg"}));
}

// A folder the user may not write to (root may write anywhere, so the check runs as "nobody").
TEST(AtomicWrite, UnwritableFolderIsRefusedAndTheFileKept)
{
    ScratchDir dir;
    const std::string folder = dir.Path() + "/locked";
    std::filesystem::create_directory(folder);
    Put(folder + "/file.cfg", "keep");
    ::chmod((folder + "/file.cfg").c_str(), 0666);
    ::chmod(folder.c_str(), 0555);
    ::chmod(dir.Path().c_str(), 0755);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        std::string why;
        const bool written = WriteFileAtomically(folder + "/file.cfg", {'!'}, &why);
        ::_exit(written ? 1 : why.find("cannot create files in") != std::string::npos ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(folder.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: written, 2: no clear reason, 3: could not drop privileges";
    EXPECT_EQ(Bytes(folder + "/file.cfg"), "keep");
    EXPECT_EQ(Listing(folder), std::vector<std::string>{"file.cfg"});
}

// Where no unnamed temporary file could be made, a killed save leaves "<name>.tmpXXXXXX"; the
// next start removes such files of ours once they are old, and nothing else.
TEST(AtomicWrite, StaleTemporariesOfOurOwnAreRemoved)
{
    ScratchDir dir;
    const std::string d = dir.Path();
    const char* files[] = {"kv64comm2.cfg.tmpAb3xYz", "kelvaro64.ali.tmp000000", "kv64comm2.cfg.tmpyoung1",
                           "kv64comm2.cfg.tmpShort", "kv64comm2.cfg.tmpAb3xYz.bak", "other.cfg.tmpAb3xYz",
                           "kv64comm2.cfg"};
    for (const char* f : files)
        Put(d + "/" + f, "x");
    const timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    for (const char* f : files)
        if (std::string(f) != "kv64comm2.cfg.tmpyoung1")
            ::utimensat(AT_FDCWD, (d + "/" + f).c_str(), old, 0);
    EXPECT_EQ(RemoveStaleTemporaries(d, {"kv64comm2.cfg", "kelvaro64.ali"}, 60), 2);
    EXPECT_EQ(Listing(d), (std::vector<std::string>{"kv64comm2.cfg", "kv64comm2.cfg.tmpAb3xYz.bak",
                                                    "kv64comm2.cfg.tmpShort", "kv64comm2.cfg.tmpyoung1",
                                                    "other.cfg.tmpAb3xYz"}));
}
