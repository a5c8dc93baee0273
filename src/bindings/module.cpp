#include <pybind11/pybind11.h>

#include "bindings/register.hpp"

// Multi-phase initialisation, declared unsafe for sub-interpreters (pybind11's default).
PYBIND11_MODULE(tavoq, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Python bindings for the simulator library";
    // The classes come before the functions that take them, so that the functions' signatures
    // name tavoq.Distribution and tavoq.CutsetTree. RunStatistics is registered together with
    // runnerStatistics, which returns it.
    register_distributions(m);
    register_cutset(m);
    register_runners(m);
    register_simd(m);
    register_thread_control(m);
    // The classic entries above keep their order.
    // The fault tree before the statistics, whose runner takes one.
    register_fault_tree(m);
    register_interactions(m);
    register_statistics(m);
    register_readers(m);
}
