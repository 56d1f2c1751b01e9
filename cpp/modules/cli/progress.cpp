// norviai.cli._ProgressHandler: a langchain callback handler printing one line on standard error
// as each graph step starts and as it ends, with its time; given a `report` callable it calls
// report(kind, step, seconds) instead, kind "start", "end" or "error" (the server's events).
#include <optional>
#include <string>
#include <utility>

#include "modules/cli/cli.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;

PYBIND11_CONSTINIT common::ProcessRef handler_class;
PYBIND11_CONSTINIT common::ProcessRef monotonic;

// The step a callback is about, or None for the runnables inside a step and langgraph's own.
py::object step_name(const py::kwargs& kwargs) {
  py::object metadata = kwargs.attr("get")("metadata");
  py::object name = kwargs.attr("get")("name");
  if (metadata.is_none() || name.is_none()) return py::none();
  // The runnables inside a node share its metadata; only the node's own run counts.
  if (!name.equal(metadata.attr("get")("langgraph_node"))) return py::none();
  // langgraph's entry and exit are no steps of ours.
  if (common::truthy(name.attr("startswith")("__"))) return py::none();
  return name;
}

double now() { return monotonic.get()().cast<double>(); }

void on_start(py::object self, py::object, py::object, py::kwargs kwargs) {
  py::object name = step_name(kwargs);
  if (name.is_none()) return;
  py::object run_id = kwargs["run_id"];
  self.attr("started")[run_id] = now();
  self.attr("nodes")[run_id] = name;
  if (!self.attr("report").is_none()) {
    self.attr("report")("start", name, py::none());
    return;
  }
  err("  > " + std::string(py::str(name)));
}

// The step's name and its start time, forgotten; nullopt for a run that is no step.
std::optional<std::pair<std::string, double>> finished_step(py::object self,
                                                            const py::kwargs& kwargs) {
  py::object run_id = kwargs["run_id"];
  py::dict started = self.attr("started");
  if (!started.contains(run_id)) return std::nullopt;
  double start = started.attr("pop")(run_id).cast<double>();
  return std::make_pair(std::string(py::str(self.attr("nodes")[run_id])), start);
}

void on_end(py::object self, py::object, py::kwargs kwargs) {
  auto step = finished_step(self, kwargs);
  if (!step) return;
  double seconds = now() - step->second;
  if (!self.attr("report").is_none()) {
    self.attr("report")("end", step->first, seconds);
    return;
  }
  err("  < " + step->first + " " + std::string(py::str("{:.2f}").format(seconds)) + " s");
}

void on_error(py::object self, py::object, py::kwargs kwargs) {
  auto step = finished_step(self, kwargs);
  if (!step) return;
  if (!self.attr("report").is_none()) {
    self.attr("report")("error", step->first, py::none());
    return;
  }
  err("  x " + step->first + " failed");
}

}  // namespace

void define_progress_handler(py::module_& m) {
  monotonic.set(py::module_::import("time").attr("monotonic"));
  py::object base = py::module_::import("langchain_core.callbacks").attr("BaseCallbackHandler");
  handler_class.set(common::ClassBuilder(m, "_ProgressHandler", base)
                        .method(
                            "__init__", "report=None",
                            [](py::object self, py::object report) {
                              self.attr("started") = py::dict();
                              self.attr("nodes") = py::dict();
                              self.attr("report") = report;
                            },
                            py::arg("report") = py::none())
                        .method("on_chain_start", "serialized, inputs, **kwargs", &on_start)
                        .method("on_chain_end", "outputs, **kwargs", &on_end)
                        .method("on_chain_error", "error, **kwargs", &on_error)
                        .finish());
}

py::object progress_handler(py::object report) { return handler_class.get()(report); }

}  // namespace norviai::cli
