// The final response step: lays out what the run produced and asks the model for the answer
// and the path of any plot.
#include <cstdio>
#include <string>

#include "modules/common/contract.hpp"
#include "modules/common/model_call.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;
namespace key = contract::key;

// format(value, ""), with a key no step has written shown as the empty text: the graph
// reaches this step after give-ups that never ran the analysis steps.
py::str text_of(py::dict state, const char* key) {
  if (!state.contains(key)) return py::str("");
  return builtins("format")(state[key], "");
}

// The prompt lays out what the run produced; the values are text already, so braces in them
// reach the model as written.
py::object final_response_prompt(py::dict state) {
  py::str last_result("");
  if (state.contains(key::kSqlExecutionResult)) {
    py::object results = state[key::kSqlExecutionResult];
    last_result = builtins("format")(results.attr("__getitem__")(-1), "");
  }
  return module_global("FINAL_RESPONSE_TEMPLATE")
      .attr("format")(
          py::arg(key::kUserQuestion) = text_of(state, key::kUserQuestion),
          py::arg(key::kGeneratedSqlQuery) = text_of(state, key::kGeneratedSqlQuery),
          py::arg(key::kSqlExecutionResult) = last_result,
          py::arg(key::kPandasCode) = text_of(state, key::kPandasCode),
          py::arg(key::kPythonExecutedOutput) = text_of(state, key::kPythonExecutedOutput));
}

// The answer when the model's reply cannot be used: the last result the run produced, as it is.
py::str last_result_answer(py::dict state) {
  if (state.contains(key::kPythonExecutionSuccess) &&
      common::truthy(state[key::kPythonExecutionSuccess])) {
    return py::str("The analysis printed:\n") + text_of(state, key::kPythonExecutedOutput);
  }
  if (state.contains(key::kExecutionSuccess) && common::truthy(state[key::kExecutionSuccess])) {
    py::object results = state[key::kSqlExecutionResult];
    return py::str("The query returned: ") +
           builtins("format")(results.attr("__getitem__")(-1), "");
  }
  return py::str("I could not find an answer to this question.");
}

// The plain answer, saying so when the question's time limit is what ended the question.
py::str plain_answer(py::dict state) {
  py::str answer = last_result_answer(state);
  if (!py_common::question_time_over()) return answer;
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", py_common::question_time_limit());
  return py::str(std::string("The question's time limit (") + limit +
                 " s, NORVIAI_QUESTION_TIME_LIMIT) ended the question before the model wrote "
                 "an answer. ") +
         answer;
}

py::dict generate_response(py::object self, py::object state_arg, py::kwargs /*ignored*/) {
  py::dict state = checked_state(state_arg);
  py::object logger = common::loguru_logger();
  logger.attr("info")("Enter generate response");
  double started = wall_clock();
  StructuredReply reply =
      structured_reply(self, final_response_prompt(state), contract::tool::kGenerationOutput);
  logger.attr("info")(py::str("Finish generating response, took ") +
                      py::str(py::float_(wall_clock() - started)));
  py::dict update;
  if (!reply.usable()) {
    update[key::kFinalResponse] = plain_answer(state);
    update[key::kImagePath] = "";
    return update;
  }
  update[key::kFinalResponse] = reply.parsed.attr(key::kFinalResponse);
  update[key::kImagePath] = reply.parsed.attr(key::kImagePath);
  return update;
}

}  // namespace

void define_response_step(py::module_& m) {
  step_class(m, "GenerateResponse")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = structured(model, contract::tool::kGenerationOutput);
          },
          py::arg("model"))
      .method("invoke", kInvokeSignature, &generate_response)
      .finish();
}

}  // namespace norviai::flowsteps
