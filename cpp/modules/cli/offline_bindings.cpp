// norviai.cli._OfflineModel: the offline stand-in model as a Python object and context manager.
#include <memory>
#include <string>
#include <system_error>

#include "modules/cli/cli.hpp"
#include "offline/offline_model.hpp"

namespace norviai::cli {

namespace {

using offline::OfflineModel;
using offline::OfflineScript;
using offline::PromptTemplate;
using offline::TemplateSyntax;

constexpr const char* kClassDoc =
    "The offline stand-in model: a chat-completions server on a free loopback port that replays\n"
    "scripted answers to the demo's questions, for runs with no model service.\n"
    "\n"
    "_OfflineModel(script_path=None) starts it (None: the script bundled with the package).\n"
    "base_url serves as azure_endpoint, and with \"/v1\" appended as an OpenAI base URL;\n"
    "any key is accepted. stop() (or leaving the with block) closes the port.";

[[noreturn]] void raise_os_error(const std::system_error& error, py::object filename) {
  const int code = error.code().value();
  // OSError(errno, text, filename) gives the matching subclass, e.g. FileNotFoundError.
  py::object instance =
      filename.is_none()
          ? py::module_::import("builtins").attr("OSError")(code, std::string(error.what()))
          : py::module_::import("builtins").attr("OSError")(code, error.code().message(), filename);
  py_common::raise_error(instance);
}

PromptTemplate prompt_text(const char* module, const char* label, const char* name,
                           TemplateSyntax syntax) {
  py::object text = py::module_::import(module).attr(name);
  const std::string where = std::string(label) + "." + name;
  if (!py::isinstance<py::str>(text))
    py_common::raise_error(PyExc_TypeError, where + " must be a str");
  return {where, text.cast<std::string>(), syntax};
}

// The landmarks come from the prompts as the steps send them now, read at every start.
offline::PromptMarkers prompt_markers() {
  constexpr const char* kPrompts = "norviai.askflow.askflow_prompts";
  const auto ours = [&](const char* name, TemplateSyntax syntax = TemplateSyntax::kFormat) {
    return prompt_text(kPrompts, "askflow_prompts", name, syntax);
  };
  offline::PromptTexts texts;
  texts.sql_prefix = ours("SQL_PREFIX");
  texts.sql_generation_system = ours("SQL_GENERATION_SYSTEM_TEMPLATE");
  texts.sql_generation_human = ours("SQL_GENERATION_HUMAN_TEMPLATE");
  texts.rewrite_question = ours("REWRITE_QUESTION_TEMPLATE");
  texts.pandas_system = ours("PANDAS_SYSTEM_TEMPLATE", TemplateSyntax::kJinja);
  texts.pandas_human = ours("PANDAS_HUMAN_TEMPLATE", TemplateSyntax::kJinja);
  texts.final_response = ours("FINAL_RESPONSE_TEMPLATE");
  // The syntax checker's prompt, from the module its tool reads it from.
  constexpr const char* kCheckerTool = "langchain_community.tools.sql_database.tool";
  texts.query_checker =
      prompt_text(kCheckerTool, kCheckerTool, "QUERY_CHECKER", TemplateSyntax::kFormat);
  try {
    return offline::PromptMarkers::from_prompts(texts);
  } catch (const offline::MarkerError& error) {
    py_common::raise_error(PyExc_RuntimeError, error.what());
  }
}

std::unique_ptr<OfflineModel> start(py::object script_path) {
  const std::string path =
      script_path.is_none()
          ? py_common::package_path("data/offline_model.json")
          : py::str(py::module_::import("os").attr("fspath")(script_path)).cast<std::string>();
  OfflineScript script;
  try {
    script = OfflineScript::load(path);
  } catch (const offline::ScriptError& error) {
    py_common::raise_error(PyExc_ValueError, error.what());
  } catch (const std::system_error& error) {
    raise_os_error(error, py::str(path));
  }
  try {
    return std::make_unique<OfflineModel>(std::move(script), prompt_markers());
  } catch (const std::system_error& error) {
    raise_os_error(error, py::none());
  }
}

}  // namespace

void define_offline_model(py::module_& m) {
  py::class_<OfflineModel>(m, "_OfflineModel", kClassDoc)
      .def(py::init(&start), py::arg("script_path") = py::none())
      .def_property_readonly("base_url", &OfflineModel::base_url)
      .def_property_readonly("port", &OfflineModel::port)
      .def_property_readonly("requests_served", &OfflineModel::requests_served)
      .def_property_readonly("running", &OfflineModel::running)
      .def_property_readonly("questions",
                             [](const OfflineModel& model) {
                               py::list questions;
                               for (const auto& demo : model.script().questions) {
                                 questions.append(demo.question);
                               }
                               return questions;
                             })
      .def("stop", &OfflineModel::stop, py::call_guard<py::gil_scoped_release>())
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](OfflineModel& model, py::args) {
             {
               py::gil_scoped_release release;
               model.stop();
             }
             return false;
           })
      .def("__repr__", [](const OfflineModel& model) {
        return "<_OfflineModel " + model.base_url() + (model.running() ? "" : " stopped") + ">";
      });
}

}  // namespace norviai::cli
