#include "platform/memory_budget.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include <gtest/gtest.h>

using namespace tavoq::platform;

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kMiB = 1ull << 20;

// A machine laid out in a scratch directory: /proc files and cgroup mounts below it.
class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device entropy;
        root = fs::temp_directory_path() /
               ("tavoq-memory-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        fs::create_directories(root / "proc/self");
    }
    void TearDown() override { fs::remove_all(root); }

    void write(const fs::path &relative, const std::string &text) const {
        const fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void meminfo(std::uint64_t availableKiB) const {
        write("proc/meminfo", "MemTotal:       24683772 kB\nMemFree:         1000000 kB\n"
                              "MemAvailable:   " +
                                  std::to_string(availableKiB) +
                                  " kB\n"
                                  "Buffers:          12345 kB\n");
    }
    // This machine's layout: v1 memory controller, an empty v2 hierarchy beside it.
    void hybridMounts(const std::string &v1Root = "/") const {
        write("proc/self/mountinfo",
              "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
              "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
              "35 31 0:32 " +
                  v1Root +
                  " /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
                  "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n");
    }
    void v2Mount() const {
        write("proc/self/mountinfo",
              "25 30 0:23 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n");
    }
    void ownCgroup(const std::string &v1, const std::string &v2 = "/") const {
        write("proc/self/cgroup",
              "8:pids:/\n4:memory:" + v1 + "\n1:cpu,cpuacct:/\n0::" + v2 + "\n");
    }
    void v1Level(const std::string &dir, std::uint64_t limit, std::uint64_t usage,
                 std::uint64_t inactiveFile = 0) const {
        const fs::path base = fs::path("sys/fs/cgroup/memory") / dir;
        write(base / "memory.limit_in_bytes", std::to_string(limit) + "\n");
        write(base / "memory.usage_in_bytes", std::to_string(usage) + "\n");
        write(base / "memory.stat", "cache 1\ninactive_file 7\ntotal_inactive_file " +
                                        std::to_string(inactiveFile) + "\n");
    }
    void v2Level(const std::string &dir, const std::string &max, std::uint64_t current,
                 std::uint64_t inactiveFile = 0) const {
        const fs::path base = fs::path("sys/fs/cgroup") / dir;
        write(base / "memory.max", max + "\n");
        write(base / "memory.current", std::to_string(current) + "\n");
        write(base / "memory.stat",
              "anon 5\ninactive_file " + std::to_string(inactiveFile) + "\nactive_file 3\n");
    }
    MemoryBudget budget() const { return readMemoryBudget(MemorySources{root, {}}); }

    fs::path root;
};

TEST_F(FakeMachine, NothingReadableMeansNoFigureAndNoRefusal) {
    EXPECT_FALSE(budget().remaining());
    EXPECT_NO_THROW(requireMemory(UINT64_MAX, MemorySources{root, {}}));
}

TEST_F(FakeMachine, MemAvailableAloneIsTheBudget) {
    meminfo(3 * 1024 * 1024); // 3 GiB in kB
    EXPECT_EQ(budget().available, 3 * kGiB);
    EXPECT_FALSE(budget().cgroupRoom);
    EXPECT_EQ(budget().remaining(), 3 * kGiB);
}

TEST_F(FakeMachine, V1LimitMinusUsageWhenTighterThanTheMachine) {
    meminfo(8 * 1024 * 1024);
    hybridMounts();
    ownCgroup("/jobs/one");
    v1Level("jobs/one", 2 * kGiB, 512 * kMiB);
    const MemoryBudget b = budget();
    EXPECT_EQ(b.cgroupRoom, 2 * kGiB - 512 * kMiB);
    EXPECT_EQ(b.remaining(), 2 * kGiB - 512 * kMiB);
    EXPECT_TRUE(b.limitedByCgroup());
}

TEST_F(FakeMachine, MachineWinsWhenItHasLessThanTheCgroupRoom) {
    meminfo(1024 * 1024);
    hybridMounts();
    ownCgroup("/jobs/one");
    v1Level("jobs/one", 4 * kGiB, kGiB);
    EXPECT_EQ(budget().remaining(), kGiB);
    EXPECT_FALSE(budget().limitedByCgroup());
}

TEST_F(FakeMachine, V1WithoutLimitReadsAsTheMachine) {
    meminfo(5 * 1024 * 1024);
    hybridMounts();
    ownCgroup("/");
    v1Level("", 9223372036854771712ull, 1578979328ull); // what the kernel shows for "no limit"
    EXPECT_EQ(budget().remaining(), 5 * kGiB);
}

TEST_F(FakeMachine, TightestAncestorLimits) {
    meminfo(64 * 1024 * 1024);
    hybridMounts();
    ownCgroup("/outer/inner");
    v1Level("", 9223372036854771712ull, 20 * kGiB);
    v1Level("outer", 3 * kGiB, 2 * kGiB); // the parent has 1 GiB left for the whole subtree
    v1Level("outer/inner", 8 * kGiB, kGiB);
    EXPECT_EQ(budget().cgroupRoom, kGiB);
}

TEST_F(FakeMachine, InactiveFileCacheCountsAsFree) {
    hybridMounts();
    ownCgroup("/job");
    v1Level("job", 4 * kGiB, 3 * kGiB, 2 * kGiB);
    EXPECT_EQ(budget().cgroupRoom, 3 * kGiB);
}

TEST_F(FakeMachine, UsageAboveTheLimitLeavesNothing) {
    hybridMounts();
    ownCgroup("/job");
    v1Level("job", kGiB, kGiB + 4096);
    EXPECT_EQ(budget().cgroupRoom, 0u);
    EXPECT_THROW(requireMemory(1, MemorySources{root, {}}), MemoryShortage);
}

TEST_F(FakeMachine, V1MountShowingOnlyASubtreeIsFollowed) {
    // A container that sees its own cgroup at the mount point (the mount's root is the
    // container's cgroup; /proc/self/cgroup still gives the full path).
    hybridMounts("/docker/abc");
    ownCgroup("/docker/abc/task");
    v1Level("", 2 * kGiB, kGiB);           // /docker/abc, at the mount point
    v1Level("task", 8 * kGiB, 512 * kMiB); // /docker/abc/task
    EXPECT_EQ(budget().cgroupRoom, kGiB);
}

TEST_F(FakeMachine, CgroupOutsideTheMountGivesNoInformation) {
    hybridMounts("/docker/abc");
    ownCgroup("/docker/abcdef");
    v1Level("", kGiB, kGiB); // would refuse everything if it were taken as ours
    EXPECT_FALSE(budget().cgroupRoom);
}

TEST_F(FakeMachine, V2LimitAndMaxAsNoLimit) {
    meminfo(16 * 1024 * 1024);
    v2Mount();
    write("proc/self/cgroup", "0::/user.slice/job.scope\n");
    v2Level("user.slice", "max", 6 * kGiB);
    v2Level("user.slice/job.scope", std::to_string(3 * kGiB), 2 * kGiB, 256 * kMiB);
    EXPECT_EQ(budget().cgroupRoom, kGiB + 256 * kMiB);

    v2Level("user.slice/job.scope", "max", 2 * kGiB);
    EXPECT_FALSE(budget().cgroupRoom);
    EXPECT_EQ(budget().remaining(), 16 * kGiB);
}

TEST_F(FakeMachine, EscapedMountPointIsFound) {
    write("proc/self/mountinfo", "25 30 0:23 / /cg\\040root rw - cgroup2 cgroup2 rw\n");
    write("proc/self/cgroup", "0::/job\n");
    write("cg root/job/memory.max", std::to_string(kGiB));
    write("cg root/job/memory.current", "0");
    EXPECT_EQ(budget().cgroupRoom, kGiB);
}

// Files that are missing, malformed or not files at all say nothing: no limit is assumed.
class UnusableFile : public FakeMachine, public ::testing::WithParamInterface<const char *> {};

TEST_P(UnusableFile, GivesNoInformation) {
    hybridMounts();
    ownCgroup("/job");
    v1Level("job", kGiB, 0);
    const fs::path file = root / "sys/fs/cgroup/memory/job" / GetParam();
    fs::remove(file);
    write("proc/meminfo", "MemTotal: 100 kB\nMemAvailable: garbage kB\n");
    EXPECT_FALSE(budget().available);
    EXPECT_FALSE(budget().cgroupRoom);
    EXPECT_NO_THROW(requireMemory(UINT64_MAX, MemorySources{root, {}}));
}

INSTANTIATE_TEST_SUITE_P(MemoryBudget, UnusableFile,
                         ::testing::Values("memory.limit_in_bytes", "memory.usage_in_bytes"));

TEST_F(FakeMachine, MalformedValuesGiveNoInformation) {
    hybridMounts();
    ownCgroup("/job");
    for (const char *bad : {"", "12abc", "-1", "99999999999999999999999", "max"}) {
        v1Level("job", 0, 0);
        write("sys/fs/cgroup/memory/job/memory.limit_in_bytes", bad);
        EXPECT_FALSE(budget().cgroupRoom) << '"' << bad << '"';
    }
    // A directory where a file should be.
    fs::remove(root / "proc/meminfo");
    fs::create_directories(root / "proc/meminfo");
    EXPECT_FALSE(budget().available);
    // MemAvailable in a unit other than kB is not guessed at.
    fs::remove(root / "proc/meminfo");
    write("proc/meminfo", "MemAvailable: 1024 MB\n");
    EXPECT_FALSE(budget().available);
}

TEST_F(FakeMachine, RefusalIsABadAllocGivingBothFiguresInGiB) {
    meminfo(2 * 1024 * 1024 + 512 * 1024); // 2.5 GiB
    const MemorySources sources{root, {}};
    EXPECT_NO_THROW(requireMemory(2 * kGiB + 512 * kMiB, sources)); // exactly what is left
    try {
        requireMemory(40 * kGiB, sources);
        FAIL() << "40 GiB was granted out of 2.5 GiB";
    } catch (const std::bad_alloc &error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("40.00 GiB"), std::string::npos) << message;
        EXPECT_NE(message.find("2.50 GiB"), std::string::npos) << message;
        EXPECT_NE(message.find("available memory"), std::string::npos) << message;
    }
}

TEST_F(FakeMachine, CloseFiguresAreWrittenSoThatTheyDiffer) {
    meminfo(1024 * 1024); // 1 GiB
    try {
        requireMemory(kGiB + 1024 * 1024, MemorySources{root, {}}); // 1 MiB too many
        FAIL() << "no refusal";
    } catch (const MemoryShortage &error) {
        EXPECT_EQ(error.needed(), kGiB + kMiB);
        EXPECT_EQ(error.remaining(), kGiB);
        const std::string message = error.what();
        EXPECT_NE(message.find("1.001 GiB"), std::string::npos) << message;
        EXPECT_NE(message.find("1.000 GiB"), std::string::npos) << message;
    }
}

TEST_F(FakeMachine, CgroupRefusalSaysSo) {
    meminfo(8 * 1024 * 1024);
    hybridMounts();
    ownCgroup("/job");
    v1Level("job", kGiB, 0);
    try {
        requireMemory(2 * kGiB, MemorySources{root, {}});
        FAIL() << "no refusal";
    } catch (const MemoryShortage &error) {
        EXPECT_NE(std::string(error.what()).find("cgroup"), std::string::npos) << error.what();
    }
}

TEST_F(FakeMachine, StacksOfARequestedSizeCountAsMemory) {
    meminfo(2 * 1024 * 1024); // 2 GiB
    const MemorySources sources{root, {}};
    EXPECT_NO_THROW(requireMemory(kGiB, sources, 0, kGiB)); // exactly what is left
    try {
        requireMemory(kGiB, sources, 0, kGiB + 512 * kMiB);
        FAIL() << "2.5 GiB was granted out of 2 GiB";
    } catch (const MemoryShortage &error) {
        EXPECT_EQ(error.needed(), 2 * kGiB + 512 * kMiB);
        const std::string text = error.what();
        EXPECT_NE(text.find("this call needs 2.50 GiB (of which 1.50 GiB for thread stacks of "
                            "OMP_STACKSIZE) and the process can get 2.00 GiB"),
                  std::string::npos)
            << text;
    }
    EXPECT_THROW(requireMemory(UINT64_MAX, sources, 0, UINT64_MAX), MemoryShortage); // no wrap
}

TEST(MemoryBudget, ThisMachineHasAFigure) {
    // Linux always has /proc/meminfo with MemAvailable (since 3.14).
    const MemoryBudget b = readMemoryBudget();
    ASSERT_TRUE(b.available);
    EXPECT_GT(*b.available, 0u);
    EXPECT_NO_THROW(requireMemory(0));
    EXPECT_THROW(requireMemory(UINT64_MAX), MemoryShortage);
}

} // namespace

namespace {

TEST_F(FakeMachine, AddressSpaceRoomIsTheLimitMinusWhatIsMapped) {
    write("proc/self/status", "Name:\tpython\nVmPeak:\t 2000000 kB\nVmSize:\t 1048576 kB\n");
    const MemorySources sources{root, 3 * kGiB};
    EXPECT_EQ(readMemoryBudget(sources).addressRoom, 2 * kGiB);
    EXPECT_NO_THROW(requireMemory(kGiB, sources, kGiB)); // exactly the room
    try {
        requireMemory(kGiB, sources, kGiB + kMiB); // the stacks do not fit
        FAIL() << "expected MemoryShortage";
    } catch (const MemoryShortage &shortage) {
        const std::string text = shortage.what();
        EXPECT_NE(text.find("Not enough address space: this call needs 2.001 GiB (of which "
                            "1.001 GiB for thread stacks) and the process may map 2.000 GiB more"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("ulimit -v"), std::string::npos) << text;
        EXPECT_EQ(shortage.remaining(), 2 * kGiB);
    }
    // Mapped past the limit: no room at all. No status file: no figure, no refusal.
    EXPECT_EQ(readMemoryBudget(MemorySources{root, kGiB / 2}).addressRoom, 0u);
    write("proc/self/status", "VmSize:\t lots kB\n");
    EXPECT_FALSE(readMemoryBudget(sources).addressRoom);
    EXPECT_NO_THROW(requireMemory(UINT64_MAX / 2, MemorySources{root, {}}, UINT64_MAX / 2));
}

class StackSize : public ::testing::Test {
protected:
    void SetUp() override {
        for (std::size_t k = 0; k < 2; ++k) {
            const char *value = std::getenv(kNames[k]);
            saved[k] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
        }
        unsetenv("GOMP_STACKSIZE");
    }
    void TearDown() override {
        for (std::size_t k = 0; k < 2; ++k) {
            if (saved[k]) {
                setenv(kNames[k], saved[k]->c_str(), 1);
            } else {
                unsetenv(kNames[k]);
            }
        }
    }
    static constexpr const char *kNames[2] = {"OMP_STACKSIZE", "GOMP_STACKSIZE"};
    std::optional<std::string> saved[2];
};

TEST_F(StackSize, GompStacksizeStandsInWhenOmpStacksizeGivesNoSize) {
    unsetenv("OMP_STACKSIZE");
    EXPECT_FALSE(openmpStackSetting());
    setenv("GOMP_STACKSIZE", "32M", 1);
    EXPECT_EQ(openmpStackSetting(), 32 * kMiB);
    setenv("OMP_STACKSIZE", "junk", 1);
    EXPECT_EQ(openmpStackSetting(), 32 * kMiB);
    setenv("OMP_STACKSIZE", "16", 1);
    EXPECT_EQ(openmpStackSetting(), 16 * 1024u);
    EXPECT_EQ(threadStackBytes(1), 16 * 1024u + kThreadExtraBytes);
}

TEST_F(StackSize, FollowsOmpStacksizeAndElseTheThreadDefault) {
    unsetenv("OMP_STACKSIZE");
    const std::uint64_t fallback = threadStackBytes(1);
    EXPECT_GE(fallback, kThreadExtraBytes + 64 * 1024u);
    EXPECT_EQ(threadStackBytes(3), 3 * fallback);
    EXPECT_EQ(threadStackBytes(0), 0u);
    const std::pair<const char *, std::uint64_t> cases[] = {
        {"16M", 16 * kMiB}, {"100", 100 * 1024},
        {" 2g ", 2 * kGiB}, {"512 B", 512},
        {"64k", 64 * 1024}, {"junk", fallback},
        {"", fallback},     {"99999999999999999999G", fallback},
    };
    for (const auto &[setting, each] : cases) {
        setenv("OMP_STACKSIZE", setting, 1);
        const std::uint64_t perThread = each == fallback ? fallback : each + kThreadExtraBytes;
        EXPECT_EQ(threadStackBytes(2), 2 * perThread) << '"' << setting << '"';
    }
    setenv("OMP_STACKSIZE", "8000000000G", 1);
    EXPECT_EQ(threadStackBytes(4), UINT64_MAX); // saturates rather than wraps
}

} // namespace
