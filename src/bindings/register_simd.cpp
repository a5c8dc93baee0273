#include <pybind11/pybind11.h>

#include "bindings/register.hpp"
#include "simd/simd_support.hpp"

void register_simd(pybind11::module_ &m) {
    m.def("reportSIMDSupport", &tavoq::reportSIMDSupport, "Report SIMD support status");
}
