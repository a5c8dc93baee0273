#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "bindings/checked.hpp"

// Methods take their instance as a Checked argument and pass it through here. Called through
// the class with None as the instance (`tavoq.Distribution.pdf(None, 1.0)`), pybind11 hands
// a method without named parameters a null instance: refuse it as Python would.
template <typename T> T &instance(const Checked<T> &self, const char *className) {
    if (self.ptr == nullptr) {
        throw pybind11::type_error(std::string("descriptor requires a '") + className +
                                   "' instance, not 'NoneType'");
    }
    return *self.ptr;
}
