#include "platform/console.hpp"

#include <iostream>
#include <ostream>
#include <sstream>
#include <string>

namespace tavoq::platform {

namespace {

// The whole line in a single insertion, then the flush.
void writeLine(std::ostream &stream, const std::string &line) {
    stream << (line + '\n') << std::flush;
}

} // namespace

void printSimulationDone(long long i) {
    writeLine(std::cout, "Simulation " + std::to_string(i) + " done.");
}

void printAllSimulationsDone() { writeLine(std::cout, "All Simulations Done."); }

void printThreadsAvailable(int slots) {
    writeLine(std::cout, "Numero de threads disponiveis: " + std::to_string(slots));
}

void printLocalStatesAllocationError() {
    writeLine(std::cerr, "Erro ao alocar memória para os estados locais.");
}

// The lines below go out insertion by insertion, ended by std::endl (which flushes).

void printCutsetSizeWrong() { std::cerr << "cutset size wrong." << std::endl; }

void printDelayOutOfBounds(double delay, float p) {
    // Threads of a parallel batch print these at once: the line is formatted first (with
    // the stream's default format, as before) and written whole, so lines never interleave.
    std::ostringstream line;
    line << "Warning: nextTimeDouble is out of bounds: " << delay << "  " << p;
    writeLine(std::cout, line.str());
}

void printSimdSupport(SimdLevel level) {
    switch (level) {
    case SimdLevel::avx512:
        std::cout << "AVX512 support is available." << std::endl;
        break;
    case SimdLevel::avx2:
        std::cout << "AVX2 support is available." << std::endl;
        break;
    case SimdLevel::none:
        std::cout << "No AVX2 or AVX512 support detected. Using fallback." << std::endl;
        break;
    }
}

} // namespace tavoq::platform
