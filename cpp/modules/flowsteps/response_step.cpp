// The final response step: lays out what the run produced and asks the model for the answer
// and the path of any plot.
#include <string>

#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;

// format(value, ""), with a key no step has written shown as the empty text: the graph
// reaches this step after give-ups that never ran the analysis steps.
py::str text_of(py::dict state, const char* key) {
  if (!state.contains(key)) return py::str("");
  return builtins("format")(state[key], "");
}

}  // namespace

void define_response_step(py::module_& m) {
  step_class(m, "GenerateResponse")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = structured(model, "GenerationOutput");
          },
          py::arg("model"))
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object state_arg, py::kwargs /*ignored*/) {
                py::dict state = checked_state(state_arg);
                py::object logger = common::loguru_logger();
                logger.attr("info")("Enter generate response");
                double started = wall_clock();

                py::str last_result("");
                if (state.contains("sql_execution_result")) {
                  py::object results = state["sql_execution_result"];
                  last_result = builtins("format")(results.attr("__getitem__")(-1), "");
                }
                py::str prompt = py::str("User question: ") + text_of(state, "user_question") +
                                 py::str("\nSQL query: ") + text_of(state, "generated_sql_query") +
                                 py::str("\nSQL query result: ") + last_result +
                                 py::str("\nPython code: ") + text_of(state, "pandas_code") +
                                 py::str("\nPython executed result: ") +
                                 text_of(state, "python_executed_output") +
                                 py::str("\nUse the above result to address user's question.");

                py::object response = self.attr("model").attr("invoke")(prompt);
                logger.attr("info")(py::str("Finish generating response, took ") +
                                    py::str(py::float_(wall_clock() - started)));
                py::dict update;
                update["final_response"] = response.attr("final_response");
                update["image_path"] = response.attr("image_path");
                return update;
              })
      .finish();
}

}  // namespace norviai::flowsteps
