// The analysis steps: generation and correction of the pandas program, and its execution
// (an isolated run, in analysis_run.cpp).
#include <string>

#include "modules/common/contract.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;
namespace key = contract::key;
namespace prompt_type = contract::prompt_type;

py::object correction_template() {
  return module_global("PromptTemplate")
      .attr("from_template")(module_global("PYTHON_CORRECTION_TEMPLATE"));
}

py::object correction_prompt(py::handle prompt_template, py::dict state) {
  return prompt_template.attr("format")(py::arg(key::kUserQuestion) = current_question(state),
                                        py::arg("python_code") = state[key::kPandasCode],
                                        py::arg("error") = state[key::kPythonErrorMessage]);
}

py::dict code_update(py::handle self, py::object prompt) {
  StructuredReply reply = structured_reply(self, prompt, contract::tool::kPythonCodeInput);
  py::dict update;
  update[key::kPandasCode] = reply.usable() ? py::object(reply.parsed.attr(contract::field::kCode))
                                            : py::object(py::str(kUnusableCodeReply + reply.fault));
  return update;
}

void define_pandas_generator(py::module_& m) {
  step_class(m, "PandasGenerator")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = structured(model, contract::tool::kPythonCodeInput);
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
                py::object type = state[key::kPandasGenerationPromptType];
                if (type.equal(py::str(prompt_type::kGeneration))) {
                  py::list pairs =
                      zipped({state[key::kGeneratedSqlQuery], state[key::kSqlExecutionResult]});
                  return self.attr("template")
                      .attr("format_messages")(py::arg(key::kOriginalQuestion) = question,
                                               py::arg("zipped_queries_results") = pairs,
                                               py::arg(key::kSavePath) = state[key::kSavePath]);
                }
                if (type.equal(py::str(prompt_type::kCorrection))) {
                  return correction_prompt(self.attr("correction_template"), state);
                }
                common::raise_error(PyExc_UnboundLocalError,
                                    "cannot access local variable 'prompt' where it is not "
                                    "associated with a value");
              })
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object state, py::kwargs /*ignored*/) {
                checked_state(state);
                start_warm_analysis(state);
                try {
                  return code_update(self, self.attr("generate_prompt")(state));
                } catch (py::error_already_set&) {
                  drop_warm_analysis(state);
                  throw;
                }
              })
      .finish();
}

void define_pandas_correction(py::module_& m) {
  step_class(m, "PandasCorrection")
      .method(
          "__init__", "model",
          [](py::object self, py::object model) {
            self.attr("model") = structured(model, contract::tool::kPythonCodeInput);
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

std::string exception_text(py::handle value) {
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
      .method("generate_prompt", "state, /",
              [](py::object self, py::object state_arg) {
                py::dict state = checked_state(state_arg);
                py::list triples =
                    zipped({state[key::kFollowUpQuestion], state[key::kGeneratedSqlQuery],
                            state[key::kSqlExecutionResult]});
                return self.attr("template")
                    .attr("format_messages")(
                        py::arg(key::kOriginalQuestion) = state[key::kOriginalQuestion],
                        py::arg("zipped_queries_results") = triples,
                        py::arg(key::kSavePath) = state[key::kSavePath]);
              })
      .method("invoke", kInvokeSignature,
              [](py::object /*self*/, py::object state_arg, py::kwargs /*ignored*/) {
                py::dict state = checked_state(state_arg);
                py::object code;
                py::object failure = common::except_exception(
                    [&]() -> py::object {
                      code = state["pandas_code"];
                      if (auto fault = unusable_reply_fault(code, kUnusableCodeReply)) {
                        return analysis_failure(std::string("Your reply was not a valid ") +
                                                contract::tool::kPythonCodeInput +
                                                " call: " + *fault);
                      }
                      // Parsing here is harmless and gives the program's own syntax error text.
                      module_global("ast").attr("parse")(code, py::arg("mode") = "exec");
                      return py::object();
                    },
                    [](py::object error) -> py::object {
                      return analysis_failure(exception_text(error));
                    });
                if (failure) {
                  // The program the warm child waits for will not come.
                  drop_warm_analysis(state);
                  return py::reinterpret_borrow<py::dict>(failure);
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
