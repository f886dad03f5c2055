#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include "platform/system.h"
#include "support/temp_folder.h"

using namespace platform;

TEST(System, FileTimeIsCountedFrom1601InHundredNanoseconds)
{
    // 2026-01-01T00:00:00Z is 1767225600 s after 1970.
    const std::uint64_t unixEpoch = 116444736000000000ULL;
    std::uint64_t now = FileTimeNow();
    EXPECT_GT(now, unixEpoch + 1767225600ULL * 10000000ULL);
    std::uint64_t back = 0;
    ASSERT_TRUE(FileTimeFromBytes(FileTimeToBytes(0x0123456789ABCDEFULL), back));
    EXPECT_EQ(back, 0x0123456789ABCDEFULL);
    EXPECT_EQ(FileTimeToBytes(1)[0], 1);   // little-endian, as stored by the program
    EXPECT_FALSE(FileTimeFromBytes({1, 2, 3}, back));
}

TEST(System, AppendEmptiesAFileOverTheLimitFirst)
{
    testsupport::TempFolder folder;
    const std::string path = folder / "log";
    ASSERT_TRUE(AppendToFileWithLimit(path, "abc", 10));
    ASSERT_TRUE(AppendToFileWithLimit(path, "defghij", 10));   // 3 bytes: not over the limit
    EXPECT_EQ(testsupport::ReadWholeFile(path), "abcdefghij");
    ASSERT_TRUE(AppendToFileWithLimit(path, "k", 10));          // 10 bytes: still not over
    ASSERT_TRUE(AppendToFileWithLimit(path, "new", 10));        // 11 bytes: emptied first
    EXPECT_EQ(testsupport::ReadWholeFile(path), "new");
    EXPECT_FALSE(AppendToFileWithLimit(folder / "missing/log", "x", 10));
}

TEST(System, XdgFoldersFollowTheEnvironment)
{
    testsupport::TempFolder folder;
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    std::string saved = oldConfig ? oldConfig : "";
    setenv("XDG_CONFIG_HOME", folder.Path().c_str(), 1);
    EXPECT_EQ(ConfigHome(), folder.Path());
    testsupport::WriteWholeFile(folder / "user-dirs.dirs", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/MyDocs\"\n");
    EXPECT_EQ(DocumentsFolder(), std::string(std::getenv("HOME")) + "/MyDocs");
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(ConfigHome(), std::string(std::getenv("HOME")) + "/.config");
    if (oldConfig)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST(System, StartProcessRunsInTheGivenFolder)
{
    testsupport::TempFolder folder;
    ASSERT_TRUE(StartProcess("/bin/sh", {"-c", "pwd > out.txt"}, folder.Path()));
    const std::string out = folder / "out.txt";
    for (int i = 0; i < 200 && testsupport::ReadWholeFile(out).empty(); ++i)
        usleep(10000);
    EXPECT_EQ(testsupport::ReadWholeFile(out), folder.Path() + "\n");
    EXPECT_FALSE(StartProcess(folder / "no-such-program", {}, folder.Path()));
}
