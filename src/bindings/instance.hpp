#pragma once

#include <pybind11/pybind11.h>

// Methods take their instance as a pointer and pass it through here. Called through the
// class with None as the instance (`tavoq.Distribution.pdf(None, 1.0)`), pybind11 hands a
// method without named parameters a null pointer: refuse it as Python would.
template <typename T> T &instance(T *self, const char *className) {
    if (self == nullptr) {
        throw pybind11::type_error(std::string("descriptor requires a '") + className +
                                   "' instance, not 'NoneType'");
    }
    return *self;
}
