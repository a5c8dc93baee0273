#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "distributions/continuous.hpp"
#include "distributions/scheduled.hpp"

namespace py = pybind11;

using tavoq::Constant;
using tavoq::Distribution;
using tavoq::Exponential;
using tavoq::Gamma;
using tavoq::Inspection;
using tavoq::InstantaneousFailure;
using tavoq::Lognormal;
using tavoq::Maintenance;
using tavoq::Normal;
using tavoq::Uniform;
using tavoq::Weibull;

namespace {

// The Python name of each registered class, the one place it is spelled: the class is
// registered under it, and a method called with None as its instance names it in the error.
// Only declared in general, so that a kind without a name does not build.
template <typename T> constexpr const char *pythonName();
template <> constexpr const char *pythonName<Distribution>() { return "Distribution"; }
template <> constexpr const char *pythonName<Normal>() { return "Normal"; }
template <> constexpr const char *pythonName<Exponential>() { return "Exponential"; }
template <> constexpr const char *pythonName<Uniform>() { return "Uniform"; }
template <> constexpr const char *pythonName<Weibull>() { return "Weibull"; }
template <> constexpr const char *pythonName<Inspection>() { return "Inspection"; }
template <> constexpr const char *pythonName<Maintenance>() { return "Maintenance"; }
template <> constexpr const char *pythonName<InstantaneousFailure>() {
    return "InstantaneousFailure";
}
template <> constexpr const char *pythonName<Lognormal>() { return "Lognormal"; }
template <> constexpr const char *pythonName<Gamma>() { return "Gamma"; }
template <> constexpr const char *pythonName<Constant>() { return "Constant"; }

// The three operations as methods of T's class: each accepts only instances of T and runs
// the object's virtual operation.
template <typename T> auto pdfMethod() {
    return [](const Checked<const T> &self, double x) {
        return instance(self, pythonName<T>()).pdf(x);
    };
}

template <typename T> auto cdfMethod() {
    return [](const Checked<const T> &self, double x) {
        return instance(self, pythonName<T>()).cdf(x);
    };
}

template <typename T> auto quantileMethod() {
    return [](const Checked<const T> &self, double p, int currentTime) {
        return instance(self, pythonName<T>()).quantile(p, currentTime);
    };
}

// One distribution kind: its class, a subclass of Distribution, with the constructor given
// (`init` and its py::arg names), and pdf, cdf and quantile again without docstrings, each
// replacing the inherited method.
template <typename T, typename Init, typename... Args>
void registerKind(py::module_ &m, const Init &init, const Args &...args) {
    py::class_<T, Distribution>(m, pythonName<T>())
        .def(init, args...)
        .def("pdf", pdfMethod<T>())
        .def("cdf", cdfMethod<T>())
        .def("quantile", quantileMethod<T>());
}

// The instance handed to a base class's __init__, before anything is constructed in it.
struct BaseInstance {
    py::handle self;
};

} // namespace

namespace pybind11::detail {

// Accepts an instance that has a slot of its own for a Distribution: a Distribution, or a
// subclass defined in Python. A registered subclass such as Weibull keeps its object in its
// own slot; pybind11, asked to construct the base there, throws from a place where the
// exception ends the process, so such an instance is refused here with a TypeError.
template <> class type_caster<BaseInstance> {
public:
    static constexpr auto name = type_caster_base<Distribution>::name;

    bool load(handle src, bool) {
        if (!src || src.is_none() || !isinstance<Distribution>(src)) {
            return false;
        }
        auto *inst = reinterpret_cast<instance *>(src.ptr());
        if (inst->get_value_and_holder(get_type_info(typeid(Distribution)), false).inst ==
            nullptr) {
            return false;
        }
        value.self = src;
        return true;
    }

    template <typename U> using cast_op_type = BaseInstance &;
    explicit operator BaseInstance &() { return value; }

private:
    BaseInstance value;
};

} // namespace pybind11::detail

void register_distributions(py::module_ &m) {
    py::class_<Distribution> distribution(m, pythonName<Distribution>());
    distribution.def(py::init<>());
    // Distribution.__init__ checks its instance (BaseInstance) before pybind11's own
    // constructor sees it. pybind11 treats any function named __init__ as a constructor and
    // would look for the base's slot before our check runs, so this one is marked as a plain
    // method; the constructor it calls does the rest.
    const py::object construct = distribution.attr("__init__");
    const py::cpp_function checkedInit(
        [construct](const BaseInstance &instance) { construct(instance.self); },
        py::name("__init__"), py::is_method(distribution));
    const py::handle function = py::detail::get_function(checkedInit);
    py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()))
        ->is_constructor = false;
    distribution.attr("__init__") = checkedInit;
    distribution.def("pdf", pdfMethod<Distribution>(), "Probability density function")
        .def("cdf", cdfMethod<Distribution>(), "Cumulative distribution function")
        .def("quantile", quantileMethod<Distribution>(), "Quantile function");

    registerKind<Normal>(m, py::init<double, double>(), py::arg("mean"), py::arg("stddev"));
    registerKind<Exponential>(m, py::init<double>(), py::arg("lambda"));
    registerKind<Uniform>(m, py::init<double, double>(), py::arg("a"), py::arg("b"));
    registerKind<Weibull>(m, py::init<double, double>(), py::arg("lambda"), py::arg("k"));
    registerKind<Inspection>(m, py::init<int>(), py::arg("inspectionTime"));
    registerKind<Maintenance>(m, py::init<std::vector<int>>(), py::arg("maintenanceTimes"));
    registerKind<InstantaneousFailure>(m, py::init<int>(), py::arg("failureTime"));
    registerKind<Lognormal>(m, py::init<double, double>(), py::arg("mu"), py::arg("sigma"));
    registerKind<Gamma>(m, py::init<double, double>(), py::arg("shape"), py::arg("scale"));
    registerKind<Constant>(m, py::init<double>(), py::arg("delay"));
}
