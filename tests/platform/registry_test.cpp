#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/registry.h"
#include "support/temp_folder.h"

using platform::Registry;

TEST(Registry, TypedValuesRoundTripThroughTheFile)
{
    testsupport::TempFolder folder;
    Registry registry(folder / "sub/registry");
    const std::string awkward = "C:\\a=b [x]\n100% \xC3\xA9";
    ASSERT_TRUE(registry.SetString("Software\\Korvalo", "ExePath", awkward));
    ASSERT_TRUE(registry.SetBinary("Software\\Korvalo\\Last Update", "Data", {0, 1, 0xFF, 0x80}));
    ASSERT_TRUE(registry.SetDword("Software\\Korvalo", "Count=", 4000000000u));

    Registry reopened(folder / "sub/registry");
    EXPECT_EQ(reopened.GetString("software\\KORVALO", "exepath"), awkward);
    EXPECT_EQ(reopened.GetBinary("Software\\Korvalo\\Last Update", "Data"), (std::vector<std::uint8_t>{0, 1, 0xFF, 0x80}));
    EXPECT_EQ(reopened.GetDword("Software\\Korvalo", "Count="), 4000000000u);
    // A value of another type is not handed out as the asked type.
    EXPECT_FALSE(reopened.GetString("Software\\Korvalo", "Count="));
    EXPECT_FALSE(reopened.GetString("Software\\Korvalo", "Missing"));
}

TEST(Registry, KeysExistWithTheirParentsAndDeleteWithTheirChildren)
{
    testsupport::TempFolder folder;
    Registry registry(folder / "registry");
    EXPECT_FALSE(registry.KeyExists("Software"));
    ASSERT_TRUE(registry.CreateKey("Software\\Korvalo\\Last Update"));
    EXPECT_TRUE(registry.KeyExists("Software"));
    EXPECT_TRUE(registry.KeyExists("Software\\Korvalo"));
    EXPECT_FALSE(registry.KeyExists("Software\\Korv"));
    registry.SetString("Software\\Other", "Kept", "yes");

    EXPECT_TRUE(registry.DeleteKey("Software\\Korvalo"));
    EXPECT_FALSE(registry.KeyExists("Software\\Korvalo\\Last Update"));
    EXPECT_EQ(registry.GetString("Software\\Other", "Kept"), "yes");
    EXPECT_FALSE(registry.DeleteKey("Software\\Korvalo"));
}

TEST(Registry, ConcurrentWritersFromThreadsAndProcessesLoseNothing)
{
    testsupport::TempFolder folder;
    const std::string path = folder / "registry";
    constexpr int WRITES = 40;

    pid_t child = fork();
    if (child == 0) {
        Registry registry(path);
        for (int i = 0; i < WRITES; ++i)
            registry.SetDword("Software\\Test", "child" + std::to_string(i), i);
        _exit(0);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            Registry registry(path);
            for (int i = 0; i < WRITES; ++i)
                registry.SetDword("Software\\Test", "t" + std::to_string(t) + "-" + std::to_string(i), i);
        });
    for (auto& t : threads)
        t.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    Registry registry(path);
    for (int i = 0; i < WRITES; ++i) {
        EXPECT_EQ(registry.GetDword("Software\\Test", "child" + std::to_string(i)), static_cast<std::uint32_t>(i));
        EXPECT_EQ(registry.GetDword("Software\\Test", "t0-" + std::to_string(i)), static_cast<std::uint32_t>(i));
        EXPECT_EQ(registry.GetDword("Software\\Test", "t1-" + std::to_string(i)), static_cast<std::uint32_t>(i));
    }
}
