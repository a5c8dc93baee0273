#pragma once

#include <type_traits>

#include <pybind11/pybind11.h>

/// An argument of a registered class whose C++ object really exists. `Normal.__new__(Normal)`
/// makes a Python instance whose C++ object was never constructed, and pybind11 would hand
/// its raw storage to native code; this argument type refuses such an instance (the call
/// fails with TypeError like any other unconvertible argument). None converts to a null
/// pointer, as for a plain pointer argument.
///
/// It also holds a reference to the Python object for as long as it lives, so that a matrix
/// converted into these keeps every distribution alive for the whole runner call, whatever
/// Python code runs meanwhile (a signal handler may empty the caller's lists).
template <typename T> struct Checked {
    T *ptr = nullptr;
    pybind11::object owner;
};

namespace pybind11::detail {

template <typename T> class type_caster<Checked<T>> {
    using Base = type_caster_base<std::remove_const_t<T>>;

public:
    // Shown in signatures exactly as the class itself (tavoq.Distribution, ...).
    static constexpr auto name = Base::name;

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            // As for plain pointers: None is accepted only in the converting pass.
            if (!convert) {
                return false;
            }
            value = Checked<T>{};
            return true;
        }
        // Check before loading: given an instance without its C++ object, the base loader
        // allocates storage sized for T and stores it in the instance, which later frees it
        // with the size of the instance's own class (a subclass may be larger). Only
        // instances of T's Python class are taken, so the cast below is to a real instance.
        const auto *info = get_type_info(typeid(std::remove_const_t<T>));
        if (info == nullptr || !PyType_IsSubtype(Py_TYPE(src.ptr()), info->type)) {
            return false;
        }
        for (auto vh : values_and_holders(reinterpret_cast<instance *>(src.ptr()))) {
            if (!vh.holder_constructed()) {
                return false;
            }
        }
        Base base;
        if (!base.load(src, convert)) {
            return false;
        }
        value.ptr = static_cast<std::remove_const_t<T> *>(base);
        value.owner = reinterpret_borrow<object>(src);
        return true;
    }

    template <typename U> using cast_op_type = Checked<T> &;
    explicit operator Checked<T> &() { return value; }

private:
    Checked<T> value;
};

} // namespace pybind11::detail
