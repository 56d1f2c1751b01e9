// The analysis steps: generation and correction of the pandas program, and its execution in
// a sandboxed child interpreter (own process group, resource limits, scrubbed environment),
// so that model-written code can neither hang, damage nor read the host process.
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/sandbox.hpp"
#include "modules/common/contract.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;
namespace key = contract::key;
namespace prompt_type = contract::prompt_type;

constexpr double kDefaultCodeTimeLimit = 60.0;

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
  return reply_field(self, prompt, contract::field::kCode, key::kPandasCode);
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
                return code_update(self, self.attr("generate_prompt")(state));
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

// The wall-time limit of one analysis run, read at each run so that users can change it.
double code_time_limit() {
  return common::seconds_from_environment("NORVIAI_CODE_TIME_LIMIT", kDefaultCodeTimeLimit);
}

std::string format_seconds(double seconds) { return py::str(builtins("format")(seconds, "g")); }

// matplotlib builds a font cache on first use, which takes longer than most analysis runs; one
// folder per user keeps it across runs (it holds no data of any run). matplotlib also reads its
// settings from there, so a folder someone else made or can write to is not used.
std::string matplotlib_cache_folder(const std::string& fallback) {
  py::module_ os = py::module_::import("os");
  py::object folder =
      os.attr("path").attr("join")(py::module_::import("tempfile").attr("gettempdir")(),
                                   py::str("norviai-matplotlib-{}").format(os.attr("getuid")()));
  os.attr("makedirs")(folder, py::arg("mode") = 0700, py::arg("exist_ok") = true);
  py::object status = os.attr("lstat")(folder);
  const long mode = status.attr("st_mode").cast<long>();
  const bool own = py::object(status.attr("st_uid")).equal(os.attr("getuid")()) && S_ISDIR(mode) &&
                   (mode & 0022) == 0;
  return own ? folder.cast<std::string>() : fallback;
}

// Only what an interpreter needs: no keys or credentials of the host reach the program.
std::vector<std::string> sandbox_environment(const std::string& scratch_folder,
                                             const std::string& matplotlib_cache) {
  std::vector<std::string> environment = {
      "PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + scratch_folder, "TMPDIR=" + scratch_folder,
      "MPLCONFIGDIR=" + matplotlib_cache,  "LANG=C.UTF-8",
  };
  // Some processors need these for OpenBLAS to compute correctly; they hold no secret.
  for (const char* name : {"OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(std::string(name) + "=" + value);
  }
  return environment;
}

const char* signal_name(int signal) {
  const char* name = sigabbrev_np(signal);
  return name != nullptr ? name : "unknown";
}

py::dict failure(py::object error_text) {
  py::dict update;
  update["python_execution_success"] = false;
  update["python_error_message"] = error_text;
  return update;
}

py::dict failure(const std::string& error_text) { return failure(py::str(error_text)); }

// The child's answer: one JSON line from the runner, or why there is none.
py::dict interpret(const core::SandboxResult& result, double limit) {
  switch (result.outcome) {
    case core::SandboxOutcome::kTimedOut:
      return failure("TimeoutError: the analysis code did not finish within " +
                     format_seconds(limit) + " seconds and was stopped");
    case core::SandboxOutcome::kSignaled:
      if (result.signal == SIGXCPU) {
        return failure("TimeoutError: the analysis code used more than " + format_seconds(limit) +
                       " seconds of processor time and was stopped");
      }
      return failure("RuntimeError: the analysis process crashed (signal SIG" +
                     std::string(signal_name(result.signal)) + ")");
    case core::SandboxOutcome::kFailedToStart:
      return failure("RuntimeError: the analysis process could not be started: " + result.failure);
    case core::SandboxOutcome::kExited:
      break;
  }
  // The runner answers with one JSON line; the program's own writes to fd 1 go elsewhere.
  std::string answer_line = result.standard_output;
  while (!answer_line.empty() && answer_line.back() == '\n') answer_line.pop_back();
  if (auto newline = answer_line.rfind('\n'); newline != std::string::npos) {
    answer_line = answer_line.substr(newline + 1);
  }
  py::object parsed = py::none();
  try {
    parsed = py::module_::import("json").attr("loads")(py::bytes(answer_line));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;  // not JSON: no answer
  }
  if (!py::isinstance<py::dict>(parsed)) {
    std::string detail = result.standard_error.empty() ? "" : ": " + result.standard_error;
    if (detail.size() > 2000) detail = ": ..." + detail.substr(detail.size() - 2000);
    if (result.exit_code == 0) {
      return failure("RuntimeError: the analysis process ended without an answer" + detail);
    }
    return failure("SystemExit: the analysis code ended its process with exit code " +
                   std::to_string(result.exit_code) + detail);
  }
  py::dict answer = parsed;
  if (common::truthy(answer["ok"])) {
    py::dict update;
    update["python_executed_output"] = answer["output"];
    update["python_execution_success"] = true;
    return update;
  }
  if (answer.contains("exit_requested") && common::truthy(answer["exit_requested"])) {
    return failure(py::str("SystemExit: the analysis code asked to end its process ({})")
                       .attr("format")(answer["error"]));
  }
  return failure(answer["error"]);
}

py::dict run_program(py::object code, py::dict state) {
  double limit = code_time_limit();
  py::module_ os = py::module_::import("os");
  py::object scratch = py::module_::import("tempfile")
                           .attr("TemporaryDirectory")(py::arg("prefix") = "norviai-run-");
  return common::with_block(scratch, [&](py::object scratch_name) -> py::object {
    std::string scratch_folder = scratch_name.cast<std::string>();
    std::string working_directory = scratch_folder;
    py::object save_path = state.attr("get")("save_path");
    if (py::isinstance<py::str>(save_path) && common::truthy(save_path)) {
      os.attr("makedirs")(save_path, py::arg("exist_ok") = true);
      // The prompt gives the program the save path as the caller wrote it: a relative one means
      // what it means to the host, so the program then runs where the host does.
      py::object absolute = os.attr("path").attr("isabs")(save_path);
      working_directory = common::truthy(absolute) ? save_path.cast<std::string>()
                                                   : os.attr("getcwd")().cast<std::string>();
    }
    std::string runner = common::package_path("_sandbox_runner.py");

    core::SandboxRequest request;
    // -I leaves out the user's site folder and PYTHON* variables; -B writes no bytecode files.
    request.argv = {py::module_::import("sys").attr("executable").cast<std::string>(), "-I", "-B",
                    runner};
    request.environment =
        sandbox_environment(scratch_folder, matplotlib_cache_folder(scratch_folder));
    request.working_directory = working_directory;
    request.standard_input = code.cast<std::string>();
    request.limits.wall_time =
        std::chrono::milliseconds(static_cast<long long>(std::ceil(limit * 1000.0)));

    core::SandboxResult result;
    {
      py::gil_scoped_release release;
      result = core::run_sandboxed(request);
    }
    // The program runs in its own session, so Ctrl-C during the run only reached the host.
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    return interpret(result, limit);
  });
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
                try {
                  code = state["pandas_code"];
                  // Parsing here is harmless and gives the program's own syntax error text.
                  module_global("ast").attr("parse")(code, py::arg("mode") = "exec");
                } catch (py::error_already_set& error) {
                  if (!error.matches(PyExc_Exception)) throw;
                  return failure(exception_text(error));
                }
                return run_program(code, state);
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
