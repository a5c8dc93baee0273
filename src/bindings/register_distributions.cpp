#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "distributions/continuous.hpp"
#include "distributions/scheduled.hpp"

namespace py = pybind11;

namespace {

// pdf, cdf and quantile again on a subclass, without docstrings: each replaces the inherited
// method, accepts only instances of that subclass, and runs the object's virtual operation.
template <typename T, typename... Extra>
void defineOperations(py::class_<T, Extra...> &cls, const char *name) {
    cls.def("pdf", [name](const Checked<const T> &self, double x) { return instance(self, name).pdf(x); })
        .def("cdf", [name](const Checked<const T> &self, double x) { return instance(self, name).cdf(x); })
        .def("quantile", [name](const Checked<const T> &self, double p, int currentTime) {
            return instance(self, name).quantile(p, currentTime);
        });
}

} // namespace

void register_distributions(py::module_ &m) {
    py::class_<Distribution>(m, "Distribution")
        .def(py::init<>())
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
