// The analysis steps: generation and correction of the pandas program, and its execution
// (an isolated run, in analysis_run.cpp).
#include <string>

#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;

// Correction prompt of the analysis-code steps (Python format: user_question, python_code, error).
constexpr const char* kPythonCorrectionTemplate =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

py::object correction_template() {
  return module_global("PromptTemplate").attr("from_template")(kPythonCorrectionTemplate);
}

py::object correction_prompt(py::handle prompt_template, py::dict state) {
  return prompt_template.attr("format")(py::arg("user_question") = current_question(state),
                                        py::arg("python_code") = state["pandas_code"],
                                        py::arg("error") = state["python_error_message"]);
}

py::dict code_update(py::handle self, py::object prompt) {
  return reply_field(self, prompt, "code", "pandas_code");
}

void define_pandas_generator(py::module_& m) {
  step_class(m, "PandasGenerator")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = structured(model, "PythonCodeInput");
            self.attr("template") = chat_template(
                {message_template("SystemMessagePromptTemplate", "PANDAS_SYSTEM_TEMPLATE", true),
                 message_template("HumanMessagePromptTemplate", "PANDAS_HUMAN_TEMPLATE", true)});
            self.attr("correction_template") = correction_template();
          },
          py::arg("model"))
      .method("generate_prompt", "state, /",
              [](py::object self, py::object state_arg) -> py::object {
                py::dict state = checked_state(state_arg);
                py::object question = current_question(state);
                py::object prompt_type = state["pandas_generation_prompt_type"];
                if (prompt_type.equal(py::str("generation"))) {
                  py::list pairs =
                      zipped({state["generated_sql_query"], state["sql_execution_result"]});
                  return self.attr("template")
                      .attr("format_messages")(py::arg("original_question") = question,
                                               py::arg("zipped_queries_results") = pairs,
                                               py::arg("save_path") = state["save_path"]);
                }
                if (prompt_type.equal(py::str("correction"))) {
                  return correction_prompt(self.attr("correction_template"), state);
                }
                PyErr_SetString(PyExc_UnboundLocalError,
                                "cannot access local variable 'prompt' where it is not "
                                "associated with a value");
                throw py::error_already_set();
              })
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object state, py::kwargs /*ignored*/) {
                checked_state(state);
                start_warm_analysis(state);
                return code_update(self, self.attr("generate_prompt")(state));
              })
      .finish();
}

void define_pandas_correction(py::module_& m) {
  step_class(m, "PandasCorrection")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = structured(model, "PythonCodeInput");
            self.attr("template") = correction_template();
          },
          py::arg("model"))
      .method("generate_prompt", "state, /",
              [](py::object self, py::object state_arg) {
                return correction_prompt(self.attr("template"), checked_state(state_arg));
              })
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object state, py::kwargs /*ignored*/) {
                checked_state(state);
                return code_update(self, self.attr("generate_prompt")(state));
              })
      .finish();
}

std::string exception_text(py::error_already_set& error) {
  py::object value = error.value();
  return py::str("{}: {}")
      .attr("format")(py::type::handle_of(value).attr("__name__"), value)
      .cast<std::string>();
}

void define_pandas_executor(py::module_& m) {
  step_class(m, "PandasExecutor")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = model;
            self.attr("template") = chat_template(
                {message_template("HumanMessagePromptTemplate", "PANDAS_SYSTEM_TEMPLATE", true)});
          },
          py::arg("model"))
      .method(
          "generate_prompt", "state, /",
          [](py::object self, py::object state_arg) {
            py::dict state = checked_state(state_arg);
            py::list triples = zipped({state["follow_up_question"], state["generated_sql_query"],
                                       state["sql_execution_result"]});
            return self.attr("template")
                .attr("format_messages")(py::arg("original_question") = state["original_question"],
                                         py::arg("zipped_queries_results") = triples,
                                         py::arg("save_path") = state["save_path"]);
          })
      .method("invoke", kInvokeSignature,
              [](py::object /*self*/, py::object state_arg, py::kwargs /*ignored*/) {
                py::dict state = checked_state(state_arg);
                py::object code;
                try {
                  code = state["pandas_code"];
                  // Parsing here is harmless and gives the program's own syntax error text.
                  module_global("ast").attr("parse")(code, py::arg("mode") = "exec");
                } catch (py::error_already_set& error) {
                  if (!error.matches(PyExc_Exception)) throw;
                  return analysis_failure(exception_text(error));
                }
                return run_analysis(code, state);
              })
      .finish();
}

}  // namespace

void define_pandas_steps(py::module_& m) {
  define_pandas_generator(m);
  define_pandas_correction(m);
  define_pandas_executor(m);
}

}  // namespace norviai::flowsteps
