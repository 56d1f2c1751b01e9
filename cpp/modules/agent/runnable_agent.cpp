// CustomRunnableAgent: a tool-calling agent for langchain's AgentExecutor that plans each
// step with one plain, non-streaming invoke of its runnable.
#include "modules/agent/agent.hpp"

namespace norviai::agent {

namespace common = norviai::py_common;

void define_custom_runnable_agent(py::module_& m) {
  py::object base = py::module_::import("langchain.agents.agent").attr("RunnableAgent");
  common::ClassBuilder(m, "CustomRunnableAgent", base)
      .method(
          "plan", "intermediate_steps, callbacks, **kwargs",
          [](py::object self, py::object intermediate_steps, py::object callbacks,
             py::kwargs kwargs) {
            py::dict inputs(kwargs);
            inputs["intermediate_steps"] = intermediate_steps;
            py::dict config;
            config["callbacks"] = callbacks;
            return self.attr("runnable").attr("invoke")(inputs, py::arg("config") = config);
          },
          py::arg("intermediate_steps"), py::arg("callbacks"))
      .finish();
}

}  // namespace norviai::agent
