#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "logic/gate_graph.hpp"

namespace tavoq {

/// Per run and per watched node of a coherent gate graph: how long the node was critical
/// (turning it over turns the system over) while working and while failed, and when the
/// system would first have failed with the node held failed or held working throughout.
/// With the node held, every component still draws and moves as in the run; only the verdict
/// differs, and it differs exactly where the node is critical. So these are the held runs'
/// figures, from the run itself (see runnerImportance).
class CriticalityRecorder {
public:
    static constexpr bool kTracksComponents = true;
    static constexpr bool kTracksCauses = false;
    static constexpr bool kTracksGates = true;
    static constexpr bool kCountsDelayWarnings = true;

    /// The outputs, per run r and watched node k at [r * nodes.size() + k]: units critical
    /// while working and while failed, and the first unit with the system failed when the
    /// node is held failed and held working (simTime if none); per run, the units down and
    /// the first unit down (simTime if none).
    struct Outputs {
        std::int32_t *criticalWorking;
        std::int32_t *criticalFailed;
        std::int32_t *firstHeldFailed;
        std::int32_t *firstHeldWorking;
        std::int32_t *downtime;
        std::int32_t *firstFailure;
    };

    CriticalityRecorder(const GateGraph &graph, const std::vector<int> &nodes, Outputs outputs);

    void setRun(int i) { run = static_cast<std::size_t>(i); }
    void beginRun();
    void stretch(int from, int to, std::uint32_t state);
    void componentFailed(int c, int) { flip(c, true); }
    void componentRestored(int c, int) { flip(c, false); }
    void gateFailed(int g, int) { flip(graph.nComponents() + g, true); }
    void gateRestored(int g, int) { flip(graph.nComponents() + g, false); }
    void delayOutOfBounds(int, bool) {}
    void rise(int, const std::int32_t *, std::size_t) {}
    void endRun(int simTime, const std::vector<int> &);

private:
    /// A node turned: its parents' failed-input counts follow.
    void flip(int node, bool nowFailed);
    /// Whether turning `node` over turns the top over: the change climbs the gates it turns,
    /// in gate order (inputs come before the gates they feed), and is undone after.
    bool critical(int node);
    /// Every node's sensitivity from the top down: a node with one path to the top is
    /// critical exactly when each gate on it is, and it decides that gate (turning it over
    /// moves the gate's count across its threshold).
    void sensitivities();

    const GateGraph &graph;
    std::vector<int> nodes;
    Outputs out;
    std::size_t run = 0;
    std::vector<std::uint8_t> failed;  // per node
    std::vector<std::int32_t> counts;  // per gate: failed inputs, as listed
    std::vector<std::int32_t> delta;   // per gate: scratch change of its failed inputs
    std::vector<std::uint8_t> queued;  // per gate: in `pending`
    std::vector<std::int32_t> pending; // a min-heap of gates to look at
    std::vector<std::int32_t> touched; // gates whose delta to clear
    std::vector<std::int32_t> up;      // per watched node, this run's sums
    std::vector<std::int32_t> down;
    std::vector<std::int32_t> heldFailed;
    std::vector<std::int32_t> heldWorking;
    std::vector<std::uint8_t> isCriticalNow; // per watched node, since the last change
    std::vector<std::uint8_t> paths;         // per node: its paths to the top, 0, 1 or 2 (more)
    std::vector<std::int32_t> inputOffsets;  // per gate: [begin, end) of its inputs
    std::vector<std::int32_t> inputs;
    std::vector<std::uint8_t> sensitive; // per node, from sensitivities()
    bool changed = true;                 // a node turned since the last look
    std::int32_t downUnits = 0;
    std::int32_t firstDown = 0;
};

} // namespace tavoq
