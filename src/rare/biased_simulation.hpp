#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interactions/indexed_queue.hpp"
#include "logic/failure_distance.hpp"
#include "logic/gate_graph.hpp"
#include "logic/gate_state.hpp"
#include "simulation/run_core.hpp"
#include "simulation/transition_model.hpp"

namespace tavoq {

/// The factors on the failure rates of a run with failure biasing: with every component
/// working (to make a first failure likely within the horizon), and while some component is
/// failed (to make a further failure likely before the repair). 1 leaves a rate as it is.
/// A failure on demand of chance p below `demandChance` is drawn with that chance instead
/// (0 leaves every one as it is). Likewise a life that is not rate-biased (Weibull,
/// lognormal, gamma, or an exponential beside them) whose chance p to end within the rest of
/// the run is below `lifeChance` ends within it with that chance instead.
struct FailureBias {
    double whileWorking = 1.0;
    double whileDegraded = 1.0;
    double demandChance = 0.0;
    double lifeChance = 0.0;
};

/// The seed of rare-event run i of a batch seeded `seed`: the low half of SplitMix64's
/// mixing of the pair, so that neighbouring runs' generators start far apart and no run's
/// seed depends on how the batch is split.
inline std::uint32_t rareRunSeed(int seed, int i) {
    std::uint64_t z = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(seed)) << 32 |
                       static_cast<std::uint32_t>(i)) +
                      0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::uint32_t>(z ^ (z >> 31));
}

/// A run's first system failure (the unit, or the horizon when none), the logarithm of the
/// likelihood ratio of its path (the model's probability of the draws made over their
/// probability as drawn), and the component whose transition last turned the system from
/// working to failed before it (-1 when none did: no failure, or logic failed from the start).
struct BiasedOutcome {
    int firstFailure;
    double logWeight;
    int cause = -1;
    /// Run to the horizon (BiasedSimulation::run's toHorizon): the units that ended with the
    /// system failed, its failures (units that ended failed after one that did not, or
    /// first), and the log of the whole path's likelihood ratio; else 0.
    int downtime = 0;
    int failures = 0;
    double endLogWeight = 0.0;
};

/// Runs of the plain model (no interactions) under failure biasing, to the first system
/// failure: the importance sampling of rare-event mode. Each run is seeded alone, and every
/// probability is drawn with 53 bits (RunCore::drawUniform53), so a transition rarer than
/// the 2^-24 step of the crude runners' draws keeps its probability.
///
/// A component is biased when every transition out of its working state (state 0) is
/// exponential: those delays are drawn at their rate times the factor of the system's
/// state, and only for a component whose failure would bring the top nearer (its
/// FailureDistance falls; every failure when the logic is not coherent). When a component
/// fails or is restored, the pending draws of the working biased components whose factor
/// changed are drawn again (the memoryless law makes that exact): from that unit for those
/// after the component that moved, which may still fire in it, and from the next for those
/// before it, which would have fired first. Every other transition is drawn as the model
/// says. Finding the factors costs a look at each working component's failure per crossing.
///
/// As in the crude runs, a run's first draw below 0 (or past the 32-bit range) is no
/// transition. A uniform law reaching below 0 in a working row is thus a failure on demand
/// (the files' `demand`): it happens at the start, with chance p = b / (b - a), or never.
/// With p below demandChance, it happens with chance p' = demandChance instead, weighed
/// p / p', or (1 - p) / (1 - p') when it does not. Each is biased whether or not its failure
/// alone brings the top nearer: the draws at the start are made before any has failed.
///
/// A life is forced the same way, for laws whose rate cannot be scaled: drawn at unit `now`,
/// a working cell of such a law ends within the run (before unit simTime) with chance
/// p = F(simTime - now). With p below lifeChance, one draw u decides: below lifeChance, the
/// delay is F^-1(u / lifeChance * p), the law given that it ends within the run, weighed
/// p / lifeChance; else the life outlives the run, weighed (1 - p) / (1 - lifeChance).
/// Each draw of such a cell is forced alike, the lives after a repair too.
///
/// The weight of a draw is the ratio of its delay's probability under the rate and under
/// the biased rate: for the value that fired, or for "not yet" at the unit where the draw was
/// dropped (it lost its row, was drawn again, or outlived the run). Delays are whole units,
/// floor(E / rate), whose law is geometric: P(D >= d) = e^(-rate d), and
/// P(D = d) = e^(-rate d) (1 - e^-rate).
class BiasedSimulation {
public:
    /// `model` and `graph` must outlive the simulation; the system's verdict is the graph's
    /// top, whatever its gates.
    BiasedSimulation(const TransitionModel &model, const GateGraph &graph, FailureBias bias,
                     RunControl control = {});

    /// One run over units 0 .. simTime - 1, to the first unit that ends with the system
    /// failed, or with `toHorizon` on to the horizon, biased alike after the failure, for
    /// the downtime and failures: what it finds of the first failure is the same either way.
    /// @throws std::runtime_error  the model makes no progress.
    BiasedOutcome run(int simTime, std::uint32_t seed, bool toHorizon = false);

    /// The components failed at the end of the last run's first failure (those not in their
    /// state 0), in index order, appended to `out`; their number (0 without a failure).
    int failedComponents(std::vector<std::int32_t> &out) const;

private:
    // A cell of a working row that may be drawn more often: a failure on demand (its chance
    // and its law's upper bound), or a life that can be forced (a law whose rate is not
    // scaled: Weibull, lognormal, gamma, or an exponential in a row that is not all
    // exponential).
    struct Demand {
        double chance = 0.0; // 0: the cell is not a failure on demand
        double upper = 0.0;
        bool life = false;
    };

    // Draws component c's row from its state at unit `now`, biased by `factor` when c is
    // biased and working; schedules the earliest. The run's first draw (`first`) reads
    // values below 0 as no transition, and biases c's failures on demand.
    void draw(int c, int now, double factor, bool first = false);
    // A failure on demand's delay, drawn with chance bias.demandChance and weighed.
    double drawDemand(const Demand &demand);
    // The delay of a forced life of `cell`, drawn at unit `now`, ending within the run with
    // chance p below bias.lifeChance; weighed.
    double drawLife(const TransitionModel::Cell &cell, int now, double p);
    // The chance that `cell`, drawn at unit `now`, ends before the run's end.
    double withinRun(const TransitionModel::Cell &cell, int now) const;
    // Whether c's failure would bring the top nearer (always, without a distance).
    bool nearer(int c);
    // The weight of c's pending biased row, settled at unit `now` for "not yet" (each cell's
    // delay at least now - drawnAt), or for cell `fired` firing then.
    void settle(int c, int now, int fired);
    // The factor of c's next row: 1 unless c is biased and working; the regime's factor
    // when its failure would bring the top nearer (or the logic has no distance).
    double factorOf(int c);
    // Draws again the pending rows of the working biased components whose factor changed,
    // but `except`, the component whose transition at `now` changed the system's state.
    void rebias(int now, int except);
    // The run's log weight with every pending biased row settled for "not yet" at `at`, the
    // rows left pending.
    double settledLog(int at) const;
    // Notes the run's first failure, at the end of unit `now`.
    void firstFailureAt(int now, BiasedOutcome &out);

    const TransitionModel &model;
    const GateGraph &graph;
    FailureBias bias;
    int nComponents;
    RunCore core;
    GateState gates;
    std::optional<FailureDistance> distance; // none for logic that is not coherent
    IndexedQueue queue;
    std::vector<std::uint8_t> biased;   // per component: its working row is all exponential
    std::vector<int> states;            // per component
    std::vector<int> toState;           // per component: the state its pending draw leads to
    std::vector<int> drawnAt;           // per component: the unit its pending row was drawn
    std::vector<double> drawnFactor;    // per component: the factor of that row (1: none)
    std::vector<Demand> demands;        // per cell of the working rows, component after component
    std::vector<std::size_t> demandsAt; // per component: its first cell's index in `demands`
    int nFailed = 0;
    int horizon = 0; // the run's simTime
    double logWeight = 0.0;
    int cause = -1; // the component whose transition last turned the top failed
    std::vector<std::int32_t> failedAtFirst; // the components failed at the first failure
};

} // namespace tavoq
