#include "simulation/simulation.hpp"

#include <algorithm>

#include "platform/console.hpp"
#include "simulation/recorders.hpp"
#include "simulation/run_statistics.hpp"

namespace tavoq {

Simulation::Simulation(const TransitionModel &model, const GateGraph &graph, RunControl control)
    : model(model), graph(graph), nComponents(model.nComponents()), core(nComponents, control),
      componentStates(static_cast<std::size_t>(nComponents), 0),
      toState(static_cast<std::size_t>(nComponents), 0), gates(graph), queue(nComponents) {
    completed.resize(static_cast<std::size_t>(graph.nGates()));
}

Simulation::Simulation(const TransitionModel &model, const CutsetIndex &cutsets,
                       RunControl control)
    : Simulation(model, std::make_unique<const GateGraph>(cutsets), control) {}

Simulation::Simulation(const TransitionModel &model, std::unique_ptr<const GateGraph> owned,
                       RunControl control)
    : model(model), ownedGraph(std::move(owned)), graph(*ownedGraph),
      nComponents(model.nComponents()), core(nComponents, control),
      componentStates(static_cast<std::size_t>(nComponents), 0),
      toState(static_cast<std::size_t>(nComponents), 0), gates(graph), queue(nComponents) {
    completed.resize(static_cast<std::size_t>(graph.nGates()));
}

template <bool kInitial, typename Recorder>
[[gnu::always_inline]] inline int Simulation::sample(int c, int from, int now, int &delay, int &to,
                                                     Recorder &recorder) {
    const TransitionModel::Row row = model.row(c, from);
    delay = core.sample<kInitial>(row, now, to, [&](double v, float p) {
        if constexpr (Recorder::kCountsDelayWarnings) {
            recorder.delayOutOfBounds(c, v < 0);
        } else {
            platform::printDelayOutOfBounds(v, p);
        }
    });
    return row.size;
}

template <typename Recorder>
void Simulation::run(int simTime, std::uint32_t runSeed, Recorder &recorder) {
    core.seed(runSeed);
    core.beginRun();
    std::fill(componentStates.begin(), componentStates.end(), 0);
    gates.reset();
    currentTime = 0;
    recorder.beginRun();
    if constexpr (Recorder::kTracksGates) {
        // Gates failed from the start (a not over working inputs) fail at unit 0.
        if (graph.reportsGates() && simTime > 0) {
            for (const std::int32_t g : graph.initiallyFailed()) {
                recorder.gateFailed(g, 0);
            }
        }
    }

    for (int c = 0; c < nComponents; ++c) {
        int delay = 0;
        sample<true>(c, 0, 0, delay, toState[static_cast<std::size_t>(c)], recorder);
        queue.place(c, EventQueue::key(delay, c));
    }
    queue.build();

    // The cut sets' graph has a shorter crossing of its own, and a general graph a longer
    // one, so each walk gets its loop.
    const std::uint32_t systemFailed =
        !graph.reportsGates() ? transitions<Walk::Cutsets>(simTime, recorder)
        : graph.general()     ? transitions<Walk::General>(simTime, recorder)
                              : transitions<Walk::Threshold>(simTime, recorder);
    if (currentTime < simTime) {
        recorder.stretch(currentTime, simTime, systemFailed);
    }
    currentTime = simTime;
    recorder.endRun(simTime, componentStates);
}

template <Simulation::Walk kWalk, typename Recorder>
std::uint32_t Simulation::transitions(int simTime, Recorder &recorder) {
    constexpr bool kCutsets = kWalk == Walk::Cutsets;
    // Only a user's graph has statistics per gate; the cut sets' gates report causes only.
    constexpr bool trackGates = Recorder::kTracksGates && !kCutsets;
    std::uint32_t systemFailed = 0; // working until the first check
    bool firstCheck = true;
    if constexpr (kWalk == Walk::General) {
        // Logic that is not coherent can be failed with every component working: failed from
        // unit 0 then, by no component's transition.
        if (gates.topFailed()) {
            if constexpr (Recorder::kTracksCauses) {
                const auto &start = graph.initiallyFailed();
                recorder.rise(-1, start.data(), start.size());
            }
            systemFailed = 1;
        }
        firstCheck = false;
    }
    int now = currentTime; // a local in the loop, the member again at its end

    while (true) {
        const std::uint64_t next = queue.top();
        const std::int64_t due = EventQueue::dueOf(next);
        if (due >= simTime) {
            break; // includes "no transition pending"
        }
        const int c = EventQueue::componentOf(next);
        // An overdue transition fires now; it is the earliest key, so it wins over all.
        const int T = due < now ? now : static_cast<int>(due);
        core.countTransition(T == now, now);
        if (T != now) {
            recorder.stretch(now, T, systemFailed);
            now = T;
        }
        core.checkIfDue();

        const auto index = static_cast<std::size_t>(c);
        const int from = componentStates[index];
        const int to = toState[index];
        componentStates[index] = to;
        // The transition's work: itself, the input counts its crossing moves, its next draws
        // (counted below, once they are made).
        std::int64_t work = 1;
        if constexpr (kWalk == Walk::General) {
            if ((from == 0) != (to == 0)) {
                // Either crossing may fail or restore gates.
                work += gates.crossGeneral(c, to != 0, T, [&](int g, bool nowFailed) {
                    if (nowFailed) {
                        if constexpr (Recorder::kTracksCauses) {
                            completed[nCompleted++] = g; // each gate once: within the size
                        }
                        if constexpr (trackGates) {
                            recorder.gateFailed(g, T);
                        }
                    } else if constexpr (trackGates) {
                        recorder.gateRestored(g, T);
                    }
                });
                if constexpr (Recorder::kTracksComponents) {
                    if (to != 0) {
                        recorder.componentFailed(c, T);
                    } else {
                        recorder.componentRestored(c, T);
                    }
                }
            }
        } else if ((from == 0) != (to == 0)) {
            if (to != 0) {
                const auto turned = [&](int g) {
                    if constexpr (Recorder::kTracksCauses) {
                        completed[nCompleted++] = g; // each gate once: within the size
                    }
                    if constexpr (Recorder::kTracksGates) {
                        if constexpr (trackGates) {
                            recorder.gateFailed(g, T);
                        }
                    }
                };
                if constexpr (kCutsets) {
                    work += gates.crossCutsets<true>(c, turned);
                } else {
                    work += gates.cross<true>(c, turned);
                }
                if constexpr (Recorder::kTracksComponents) {
                    recorder.componentFailed(c, T);
                }
            } else {
                const auto restored = [&](int g) {
                    if constexpr (Recorder::kTracksGates) {
                        if constexpr (trackGates) {
                            recorder.gateRestored(g, T);
                        }
                    }
                };
                if constexpr (kCutsets) {
                    work += gates.crossCutsets<false>(c, restored);
                } else {
                    work += gates.cross<false>(c, restored);
                }
                if constexpr (Recorder::kTracksComponents) {
                    recorder.componentRestored(c, T);
                }
            }
        }
        const std::uint32_t failed = gates.topFailed() ? 1u : 0u;
        if constexpr (Recorder::kTracksCauses) {
            if (failed != 0 && systemFailed == 0) {
                if (firstCheck) {
                    // Gates failed from the start (memberless cut sets) join the first cause;
                    // they are distinct from the ones this transition turned.
                    const auto &start = graph.initiallyFailed();
                    std::copy(start.begin(), start.end(), completed.begin() + nCompleted);
                    nCompleted += start.size();
                }
                recorder.rise(c, completed.data(), nCompleted);
            }
            nCompleted = 0;
        }
        systemFailed = failed;
        firstCheck = false;
        int delay = 0;
        work += sample<false>(c, to, T, delay, toState[index], recorder);
        core.spend(work);
        queue.replaceTop(EventQueue::key(static_cast<std::int64_t>(T) + delay, c));
    }
    currentTime = now;
    return systemFailed;
}

template void Simulation::run<StateRecorder>(int, std::uint32_t, StateRecorder &);
template void Simulation::run<FailureCounts>(int, std::uint32_t, FailureCounts &);
template void Simulation::run<StatisticsRecorder>(int, std::uint32_t, StatisticsRecorder &);
template void Simulation::run<CriticalityRecorder>(int, std::uint32_t, CriticalityRecorder &);

} // namespace tavoq
