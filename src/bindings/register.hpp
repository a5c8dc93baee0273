#pragma once

#include <pybind11/pybind11.h>

// Each subsystem registers its own classes and functions; module.cpp calls them in the
// module's fixed order.
void register_distributions(pybind11::module_ &m);
void register_cutset(pybind11::module_ &m);
void register_runners(pybind11::module_ &m);
void register_simd(pybind11::module_ &m);
void register_thread_control(pybind11::module_ &m);
void register_statistics(pybind11::module_ &m);
void register_fault_tree(pybind11::module_ &m);
void register_interactions(pybind11::module_ &m);
void register_readers(pybind11::module_ &m);
