#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "distributions/continuous.hpp"
#include "distributions/scheduled.hpp"

namespace py = pybind11;

using tavoq::Distribution;
using tavoq::Exponential;
using tavoq::Inspection;
using tavoq::InstantaneousFailure;
using tavoq::Maintenance;
using tavoq::Normal;
using tavoq::Uniform;
using tavoq::Weibull;

namespace {

// pdf, cdf and quantile again on a subclass, without docstrings: each replaces the inherited
// method, accepts only instances of that subclass, and runs the object's virtual operation.
template <typename T, typename... Extra>
void defineOperations(py::class_<T, Extra...> &cls, const char *name) {
    cls.def("pdf",
            [name](const Checked<const T> &self, double x) { return instance(self, name).pdf(x); })
        .def("cdf", [name](const Checked<const T> &self,
                           double x) { return instance(self, name).cdf(x); })
        .def("quantile", [name](const Checked<const T> &self, double p, int currentTime) {
            return instance(self, name).quantile(p, currentTime);
        });
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
    py::class_<Distribution> distribution(m, "Distribution");
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
    distribution
        .def(
            "pdf",
            [](const Checked<const Distribution> &self, double x) {
                return instance(self, "Distribution").pdf(x);
            },
            "Probability density function")
        .def(
            "cdf",
            [](const Checked<const Distribution> &self, double x) {
                return instance(self, "Distribution").cdf(x);
            },
            "Cumulative distribution function")
        .def(
            "quantile",
            [](const Checked<const Distribution> &self, double p, int currentTime) {
                return instance(self, "Distribution").quantile(p, currentTime);
            },
            "Quantile function");

    py::class_<Normal, Distribution> normal(m, "Normal");
    normal.def(py::init<double, double>(), py::arg("mean"), py::arg("stddev"));
    defineOperations(normal, "Normal");

    py::class_<Exponential, Distribution> exponential(m, "Exponential");
    exponential.def(py::init<double>(), py::arg("lambda"));
    defineOperations(exponential, "Exponential");

    py::class_<Uniform, Distribution> uniform(m, "Uniform");
    uniform.def(py::init<double, double>(), py::arg("a"), py::arg("b"));
    defineOperations(uniform, "Uniform");

    py::class_<Weibull, Distribution> weibull(m, "Weibull");
    weibull.def(py::init<double, double>(), py::arg("lambda"), py::arg("k"));
    defineOperations(weibull, "Weibull");

    py::class_<Inspection, Distribution> inspection(m, "Inspection");
    inspection.def(py::init<int>(), py::arg("inspectionTime"));
    defineOperations(inspection, "Inspection");

    py::class_<Maintenance, Distribution> maintenance(m, "Maintenance");
    maintenance.def(py::init<std::vector<int>>(), py::arg("maintenanceTimes"));
    defineOperations(maintenance, "Maintenance");

    py::class_<InstantaneousFailure, Distribution> failure(m, "InstantaneousFailure");
    failure.def(py::init<int>(), py::arg("failureTime"));
    defineOperations(failure, "InstantaneousFailure");
}
