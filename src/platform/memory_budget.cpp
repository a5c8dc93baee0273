#include "platform/memory_budget.hpp"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

namespace tavoq::platform {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> readFile(const fs::path &path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        return std::nullopt;
    }
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return text.str();
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> parseBytes(std::string_view text) {
    text = trim(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::vector<std::string_view> lines(std::string_view text) { return split(text, '\n'); }

bool contains(const std::vector<std::string_view> &items, std::string_view item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// The value of `key` in a file of "key value" lines (memory.stat) or "key: value kB" lines
// (meminfo); none when the key is missing or its value is not a plain number.
std::optional<std::uint64_t> keyedValue(std::string_view text, std::string_view key) {
    for (const auto line : lines(text)) {
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            (line[key.size()] == ' ' || line[key.size()] == '\t')) {
            return parseBytes(line.substr(key.size()));
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> memAvailable(const fs::path &root) {
    const auto text = readFile(root / "proc/meminfo");
    if (!text) {
        return std::nullopt;
    }
    for (const auto line : lines(*text)) {
        constexpr std::string_view kKey = "MemAvailable:";
        if (line.substr(0, kKey.size()) != kKey) {
            continue;
        }
        auto rest = trim(line.substr(kKey.size()));
        constexpr std::string_view kUnit = " kB";
        if (rest.size() <= kUnit.size() || rest.substr(rest.size() - kUnit.size()) != kUnit) {
            return std::nullopt;
        }
        const auto kib = parseBytes(rest.substr(0, rest.size() - kUnit.size()));
        if (!kib || *kib > std::numeric_limits<std::uint64_t>::max() / 1024) {
            return std::nullopt;
        }
        return *kib * 1024;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> addressRoom(const MemorySources &sources) {
    std::uint64_t limit = 0;
    if (sources.addressLimit) {
        limit = *sources.addressLimit;
    } else {
        rlimit current{};
        if (getrlimit(RLIMIT_AS, &current) != 0 || current.rlim_cur == RLIM_INFINITY) {
            return std::nullopt;
        }
        limit = current.rlim_cur;
    }
    const auto text = readFile(sources.root / "proc/self/status");
    std::optional<std::uint64_t> mappedKiB;
    for (const auto line : text ? lines(*text) : std::vector<std::string_view>{}) {
        constexpr std::string_view kKey = "VmSize:";
        constexpr std::string_view kUnit = "kB";
        auto rest = line.substr(0, kKey.size()) == kKey ? trim(line.substr(kKey.size()))
                                                        : std::string_view{};
        if (rest.size() > kUnit.size() && rest.substr(rest.size() - kUnit.size()) == kUnit) {
            mappedKiB = parseBytes(rest.substr(0, rest.size() - kUnit.size()));
        }
    }
    if (!mappedKiB || *mappedKiB > std::numeric_limits<std::uint64_t>::max() / 1024) {
        return std::nullopt;
    }
    const std::uint64_t mapped = *mappedKiB * 1024;
    return limit > mapped ? limit - mapped : 0;
}

enum class Version { v1, v2 };

struct Mount {
    std::string root; // the cgroup shown at the mount point
    fs::path point;
};

// mountinfo writes spaces, tabs, newlines and backslashes in paths as \ooo.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '\\' && k + 3 < text.size()) {
            const auto digits = text.substr(k + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                                (digits[2] - '0')));
                k += 3;
                continue;
            }
        }
        out.push_back(text[k]);
    }
    return out;
}

// The memory cgroup mounts: "id parent dev root point options [tags...] - type source super".
std::vector<std::pair<Version, Mount>> memoryMounts(const fs::path &root) {
    std::vector<std::pair<Version, Mount>> mounts;
    const auto text = readFile(root / "proc/self/mountinfo");
    if (!text) {
        return mounts;
    }
    for (const auto line : lines(*text)) {
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) {
            continue;
        }
        const std::string_view type = dash[1];
        const auto super = split(dash[3], ',');
        Mount mount{unescape(fields[3]), fs::path(unescape(fields[4]))};
        if (type == "cgroup" && contains(super, "memory")) {
            mounts.emplace_back(Version::v1, std::move(mount));
        } else if (type == "cgroup2") {
            mounts.emplace_back(Version::v2, std::move(mount));
        }
    }
    return mounts;
}

// The process's cgroup in each hierarchy, from "id:controllers:path" lines.
struct OwnCgroups {
    std::optional<std::string> v1; // in the hierarchy with the memory controller
    std::optional<std::string> v2;
};

OwnCgroups ownCgroups(const fs::path &root) {
    OwnCgroups own;
    const auto text = readFile(root / "proc/self/cgroup");
    if (!text) {
        return own;
    }
    for (const auto line : lines(*text)) {
        const auto first = line.find(':');
        const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const auto id = line.substr(0, first);
        const auto controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        if (id == "0" && controllers.empty()) {
            own.v2 = path;
        } else if (contains(split(controllers, ','), "memory")) {
            own.v1 = path;
        }
    }
    return own;
}

// The directories of the cgroup and of its ancestors up to the mount point, innermost first;
// none when the mount does not show that cgroup (the cgroup lies outside the mount's root).
std::vector<fs::path> cgroupChain(const fs::path &root, const Mount &mount,
                                  const std::string &cgroup) {
    std::string_view below(cgroup);
    if (mount.root != "/") {
        if (below.substr(0, mount.root.size()) != mount.root ||
            (below.size() > mount.root.size() && below[mount.root.size()] != '/')) {
            return {};
        }
        below.remove_prefix(mount.root.size());
    }
    std::vector<fs::path> chain{root / mount.point.relative_path()};
    for (const auto part : split(below, '/')) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            return {};
        }
        chain.push_back(chain.back() / part);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// Room left under one cgroup's limit; none when it has no limit or its files cannot be read.
std::optional<std::uint64_t> roomAt(Version version, const fs::path &dir) {
    const char *limitFile = version == Version::v1 ? "memory.limit_in_bytes" : "memory.max";
    const char *usageFile = version == Version::v1 ? "memory.usage_in_bytes" : "memory.current";
    const char *inactiveKey = version == Version::v1 ? "total_inactive_file" : "inactive_file";
    const auto limitText = readFile(dir / limitFile);
    if (!limitText || (version == Version::v2 && trim(*limitText) == "max")) {
        return std::nullopt;
    }
    const auto limit = parseBytes(*limitText);
    const auto usageText = readFile(dir / usageFile);
    const auto usage = usageText ? parseBytes(*usageText) : std::nullopt;
    if (!limit || !usage) {
        return std::nullopt;
    }
    std::uint64_t inUse = *usage;
    if (const auto stat = readFile(dir / "memory.stat")) {
        inUse -= std::min(inUse, keyedValue(*stat, inactiveKey).value_or(0));
    }
    return *limit > inUse ? *limit - inUse : 0;
}

std::optional<std::uint64_t> cgroupRoom(const fs::path &root) {
    const OwnCgroups own = ownCgroups(root);
    std::optional<std::uint64_t> room;
    for (const auto &[version, mount] : memoryMounts(root)) {
        const auto &cgroup = version == Version::v1 ? own.v1 : own.v2;
        if (!cgroup) {
            continue;
        }
        for (const auto &dir : cgroupChain(root, mount, *cgroup)) {
            if (const auto here = roomAt(version, dir)) {
                room = room ? std::min(*room, *here) : *here;
            }
        }
    }
    return room;
}

std::string gib(std::uint64_t bytes, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f GiB", decimals,
                  static_cast<double>(bytes) / (1ull << 30));
    return text;
}

std::string shortageMessage(std::uint64_t needed, const MemoryBudget &budget,
                            std::uint64_t stackMemory) {
    const std::uint64_t remaining = budget.remaining().value_or(0);
    // Enough decimals that the two figures differ on the page, as they do in fact.
    int decimals = 2;
    while (decimals < 9 && gib(needed, decimals) == gib(remaining, decimals)) {
        ++decimals;
    }
    return "Not enough memory: this call needs " + gib(needed, decimals) +
           (stackMemory > 0 ? " (of which " + gib(stackMemory, decimals) +
                                  " for thread stacks of OMP_STACKSIZE)"
                            : "") +
           " and the process can get " + gib(remaining, decimals) +
           (budget.limitedByCgroup() ? " (the room left under its memory cgroup's limit)."
                                     : " (the system's available memory).");
}

std::string addressMessage(std::uint64_t needed, const MemoryBudget &budget,
                           std::uint64_t stackBytes) {
    const std::uint64_t room = budget.addressRoom.value_or(0);
    int decimals = 2;
    while (decimals < 9 && gib(needed, decimals) == gib(room, decimals)) {
        ++decimals;
    }
    return "Not enough address space: this call needs " + gib(needed, decimals) +
           (stackBytes > 0 ? " (of which " + gib(stackBytes, decimals) + " for thread stacks)"
                           : "") +
           " and the process may map " + gib(room, decimals) +
           " more (its address-space limit, ulimit -v).";
}

// OMP_STACKSIZE: a size with an optional B, K, M or G suffix, in K when none.
std::optional<std::uint64_t> stackSetting(std::string_view text) {
    text = trim(text);
    std::uint64_t unit = 1024;
    if (!text.empty()) {
        switch (text.back()) {
        case 'b':
        case 'B':
            unit = 1;
            break;
        case 'k':
        case 'K':
            unit = 1ull << 10;
            break;
        case 'm':
        case 'M':
            unit = 1ull << 20;
            break;
        case 'g':
        case 'G':
            unit = 1ull << 30;
            break;
        default:
            unit = 0;
            break;
        }
        if (unit != 0) {
            text = trim(text.substr(0, text.size() - 1));
        } else {
            unit = 1024;
        }
    }
    const auto value = parseBytes(text);
    if (!value || *value > UINT64_MAX / unit) {
        return std::nullopt;
    }
    return *value * unit;
}

} // namespace

std::optional<std::uint64_t> MemoryBudget::remaining() const {
    if (available && cgroupRoom) {
        return std::min(*available, *cgroupRoom);
    }
    return available ? available : cgroupRoom;
}

bool MemoryBudget::limitedByCgroup() const {
    return cgroupRoom && (!available || *cgroupRoom < *available);
}

MemoryBudget readMemoryBudget(const MemorySources &sources) {
    return MemoryBudget{memAvailable(sources.root), cgroupRoom(sources.root),
                        addressRoom(sources)};
}

MemoryShortage::MemoryShortage(std::uint64_t needed, const MemoryBudget &budget)
    : MemoryShortage(needed, budget, Memory{0}) {}

MemoryShortage::MemoryShortage(std::uint64_t needed, const MemoryBudget &budget, Memory stacks)
    : neededBytes(needed), remainingBytes(budget.remaining().value_or(0)),
      message(std::make_shared<const std::string>(
          shortageMessage(needed, budget, stacks.stackBytes))) {}

MemoryShortage::MemoryShortage(std::uint64_t needed, const MemoryBudget &budget,
                               std::uint64_t stackBytes)
    : neededBytes(needed), remainingBytes(budget.addressRoom.value_or(0)),
      message(std::make_shared<const std::string>(addressMessage(needed, budget, stackBytes))) {}

namespace {

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

} // namespace

namespace {

// Reading the machine's figures costs a few hundred microseconds (the cgroup's files are
// formatted by the kernel on each read), as much as a batch of a hundred runs. A caller
// making many small batches, as the uncertainty analysis does, would spend most of its time
// here. So the last reading of this machine is kept, and a request that is a small share of
// what was free a moment ago passes on it; a large request, or an old reading, reads again.
class RecentBudget {
public:
    std::optional<MemoryBudget> fitting(std::uint64_t memoryNeeded) {
        const std::lock_guard<std::mutex> hold(lock);
        const auto now = std::chrono::steady_clock::now();
        if (!last || now - readAt > kFreshFor) {
            return std::nullopt;
        }
        const auto remaining = last->remaining();
        if (!remaining || memoryNeeded > *remaining / kShare) {
            return std::nullopt;
        }
        return last;
    }
    void keep(const MemoryBudget &budget) {
        const std::lock_guard<std::mutex> hold(lock);
        last = budget;
        readAt = std::chrono::steady_clock::now();
    }

private:
    static constexpr auto kFreshFor = std::chrono::milliseconds(500);
    static constexpr std::uint64_t kShare = 16;
    std::mutex lock;
    std::optional<MemoryBudget> last;
    std::chrono::steady_clock::time_point readAt;
};

RecentBudget &recentBudget() {
    static RecentBudget recent;
    return recent;
}

// The budget a request is checked against: this machine's recent reading when the request is
// small beside it (the address room is always read afresh: it is cheap and the process's own
// mappings move it), else a fresh reading. Fake machines (tests) are always read.
MemoryBudget budgetFor(std::uint64_t memoryNeeded, const MemorySources &sources) {
    const bool thisMachine = sources.root == "/" && !sources.addressLimit;
    if (!thisMachine) {
        return readMemoryBudget(sources);
    }
    if (auto recent = recentBudget().fitting(memoryNeeded)) {
        recent->addressRoom = addressRoom(sources);
        return *recent;
    }
    MemoryBudget budget = readMemoryBudget(sources);
    recentBudget().keep(budget);
    return budget;
}

} // namespace

void requireMemory(std::uint64_t bytesNeeded, const MemorySources &sources,
                   std::uint64_t stackBytes, std::uint64_t stackMemory) {
    const MemoryBudget budget = budgetFor(saturatingAdd(bytesNeeded, stackMemory), sources);
    const auto remaining = budget.remaining();
    const std::uint64_t memoryNeeded = saturatingAdd(bytesNeeded, stackMemory);
    if (remaining && memoryNeeded > *remaining) {
        throw MemoryShortage(memoryNeeded, budget, MemoryShortage::Memory{stackMemory});
    }
    const std::uint64_t addressNeeded = saturatingAdd(bytesNeeded, stackBytes);
    if (budget.addressRoom && addressNeeded > *budget.addressRoom) {
        throw MemoryShortage(addressNeeded, budget, stackBytes);
    }
}

std::optional<std::uint64_t> openmpStackSetting() {
    for (const char *name : {"OMP_STACKSIZE", "GOMP_STACKSIZE"}) {
        // libgomp falls back to the second name when the first is unset or malformed.
        if (const char *setting = std::getenv(name); setting != nullptr) {
            if (const auto bytes = stackSetting(setting)) {
                return bytes;
            }
        }
    }
    return std::nullopt;
}

std::uint64_t defaultThreadStackBytes() {
    pthread_attr_t defaults;
    std::size_t size = 0;
    if (pthread_getattr_default_np(&defaults) == 0) {
        pthread_attr_getstacksize(&defaults, &size);
        pthread_attr_destroy(&defaults);
    }
    return size > 0 ? size : 8ull << 20;
}

std::uint64_t threadStackBytes(int threads) {
    if (threads <= 0) {
        return 0;
    }
    std::uint64_t each = openmpStackSetting().value_or(0);
    if (each == 0) {
        each = defaultThreadStackBytes();
    }
    // Beside its stack, a thread maps a guard page and its thread-local storage.
    each = saturatingAdd(each, kThreadExtraBytes);
    const auto n = static_cast<std::uint64_t>(threads);
    return each > UINT64_MAX / n ? UINT64_MAX : each * n;
}

} // namespace tavoq::platform
