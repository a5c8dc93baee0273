#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace tavoq::platform {

/// How much more memory this process can get before the kernel refuses it or kills the
/// process. Linux grants almost any allocation up front and only fails when the pages are
/// touched, so a batch that cannot fit is killed half-way (OOM) instead of raising; the
/// runners ask here first.
///
/// Two sources, each optional:
/// - `MemAvailable` in /proc/meminfo: what the whole machine can hand out without swapping;
/// - the memory cgroup of the process (v1 and v2 hierarchies, both looked at when mounted):
///   for its cgroup and every ancestor up to the mount's root that has a limit, the limit
///   minus the usage. Usage counts the inactive file cache, which the kernel drops before it
///   kills anything, so that part is counted as free. v1: memory.limit_in_bytes,
///   memory.usage_in_bytes, memory.stat's total_inactive_file; v2: memory.max ("max" is no
///   limit), memory.current, memory.stat's inactive_file.
/// A file that cannot be read or parsed gives no information; it never causes a refusal.
///
/// Apart from memory, the address space of the process may be capped (RLIMIT_AS, `ulimit -v`,
/// common on shared compute clusters). Thread stacks take address space without taking
/// memory, and a thread that cannot get its stack ends the process inside OpenMP, so the
/// runners check that room too.

/// Where the figures are read. Every path (/proc/meminfo, /proc/self/cgroup,
/// /proc/self/mountinfo and the mount points it names) is taken below `root`, so that tests
/// can lay out a fake machine in a directory.
struct MemorySources {
    std::filesystem::path root = "/";
    /// The address-space limit in bytes, instead of the process's own RLIMIT_AS (tests).
    std::optional<std::uint64_t> addressLimit;
};

struct MemoryBudget {
    std::optional<std::uint64_t> available;  ///< MemAvailable, in bytes
    std::optional<std::uint64_t> cgroupRoom; ///< the smallest room under a cgroup limit, bytes
    /// The address-space limit minus what the process has mapped (VmSize in
    /// /proc/self/status), in bytes; none without a limit.
    std::optional<std::uint64_t> addressRoom;

    /// The smaller of the two known figures; none when neither source could be read.
    std::optional<std::uint64_t> remaining() const;
    /// True when the cgroup room is the smaller figure (the one that limits).
    bool limitedByCgroup() const;
};

MemoryBudget readMemoryBudget(const MemorySources &sources = {});

/// A call that was refused because it would not fit. It is a std::bad_alloc, so the Python
/// bindings raise it as MemoryError with what() as the message, which gives both figures in
/// GiB.
class MemoryShortage : public std::bad_alloc {
public:
    MemoryShortage(std::uint64_t needed, const MemoryBudget &budget);
    /// Memory is short, and `stackBytes` of the `needed` are thread stacks sized by
    /// OMP_STACKSIZE (the message says so).
    struct Memory {
        std::uint64_t stackBytes;
    };
    MemoryShortage(std::uint64_t needed, const MemoryBudget &budget, Memory stacks);
    /// The address space is short: `needed` bytes of it against the budget's addressRoom.
    MemoryShortage(std::uint64_t needed, const MemoryBudget &budget, std::uint64_t stackBytes);
    const char *what() const noexcept override { return message->c_str(); }
    std::uint64_t needed() const noexcept { return neededBytes; }
    std::uint64_t remaining() const noexcept { return remainingBytes; }

private:
    std::uint64_t neededBytes;
    std::uint64_t remainingBytes;
    // Shared, so that copying the exception (as throwing does) cannot throw.
    std::shared_ptr<const std::string> message;
};

/// Throws MemoryShortage when `bytesNeeded` plus `stackMemory` (thread stacks that must be
/// usable in full) is more than the process can still get, or when `bytesNeeded` plus
/// `stackBytes` (all the address space thread stacks reserve, `stackMemory` among it) is more
/// than its address space has room for. Returns quietly when it fits or when nothing could be
/// read.
void requireMemory(std::uint64_t bytesNeeded, const MemorySources &sources = {},
                   std::uint64_t stackBytes = 0, std::uint64_t stackMemory = 0);

/// The stack size OpenMP's threads get from the environment, read as libgomp reads it:
/// OMP_STACKSIZE, else GOMP_STACKSIZE, a number with an optional B, K, M or G suffix (K when
/// none), blanks around it allowed; a malformed value, or one past 64 bits, is passed over
/// as libgomp passes it over. None when neither gives a size.
std::optional<std::uint64_t> openmpStackSetting();

/// The stack of a thread started without attributes (std::thread, and OpenMP's threads when
/// the environment sets no size): the C library's default for new threads, fixed when the
/// process started (a stack limit changed since then does not change it).
std::uint64_t defaultThreadStackBytes();

/// The address space `threads` new OpenMP threads reserve: each a stack of
/// openmpStackSetting() when set and not 0, else of defaultThreadStackBytes(), plus
/// kThreadExtraBytes. Saturates at UINT64_MAX.
std::uint64_t threadStackBytes(int threads);

/// What a thread maps beside its stack (a guard page, thread-local storage), generously.
inline constexpr std::uint64_t kThreadExtraBytes = 1ull << 20;

} // namespace tavoq::platform
