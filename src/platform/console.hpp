#pragma once

/// Every line the core writes to the console. Each function writes one whole line and flushes
/// the stream before it returns; any thread may call them. The runners' four lines are
/// inserted whole, in one write each, so that progress lines from different worker threads
/// stay mostly whole; the other lines go out insertion by insertion.
namespace tavoq::platform {

/// "Simulation <i> done." on stdout: a batch runner's progress, every 10000th run and at the
/// end.
void printSimulationDone(long long i);

/// "All Simulations Done." on stdout, after a batch's last progress line.
void printAllSimulationsDone();

/// "Numero de threads disponiveis: <slots>" on stdout, before runnerParallelSim's runs.
void printThreadsAvailable(int slots);

/// "Erro ao alocar memória para os estados locais." on stderr, when runnerParallelSim cannot
/// obtain its buffers (just before it throws).
void printLocalStatesAllocationError();

/// "cutset size wrong." on stderr: a cut set or query too short for its walk of the tree.
void printCutsetSizeWrong();

/// "Warning: nextTimeDouble is out of bounds: <delay>  <p>" on stdout, both numbers in the
/// stream's default notation: a first sampled delay below 0 or above kNoTransition.
void printDelayOutOfBounds(double delay, float p);

/// The vector level reportSIMDSupport found.
enum class SimdLevel { avx512, avx2, none };

/// One line on stdout naming the level: "AVX512 support is available.", "AVX2 support is
/// available." or "No AVX2 or AVX512 support detected. Using fallback."
void printSimdSupport(SimdLevel level);

} // namespace tavoq::platform
