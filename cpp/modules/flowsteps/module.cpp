// norviai.askflow.flowsteps: the steps of the question graph, their structured-output
// models, the first step and the routing between steps.
#include "modules/common/contract.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

py_common::ProcessRef module_ref;

struct LibraryName {
  const char* module;
  const char* name;
};

// The names the module makes visible, in import order.
constexpr LibraryName kLibraryNames[] = {
    {"langchain.prompts", "ChatPromptTemplate"},
    {"langchain.prompts", "HumanMessagePromptTemplate"},
    {"langchain.prompts", "PromptTemplate"},
    {"langchain.prompts", "SystemMessagePromptTemplate"},
    {"langchain.schema", "Document"},
    {"langchain_community.tools.sql_database.tool", "InfoSQLDatabaseTool"},
    {"langchain_community.tools.sql_database.tool", "ListSQLDatabaseTool"},
    {"langchain_community.tools.sql_database.tool", "QuerySQLCheckerTool"},
    {"langchain_core.messages", "BaseMessage"},
    {"langchain_core.messages", "HumanMessage"},
    {"langchain_core.messages", "SystemMessage"},
    {"langchain_core.output_parsers", "PydanticOutputParser"},
    {"langchain_core.output_parsers", "XMLOutputParser"},
    {"langchain_core.runnables", "Runnable"},
    {"langchain_core.runnables.config", "RunnableConfig"},
    {"langchain_openai", "AzureChatOpenAI"},
    {"langchain_openai.llms", "AzureOpenAI"},
    {"langgraph.prebuilt", "ToolExecutor"},
    {"loguru", "logger"},
    {"pydantic", "BaseModel"},
    {"pydantic", "Field"},
    {"sqlalchemy.exc", "SQLAlchemyError"},
    {"io", "StringIO"},
    {"typing", "List"},
    {"typing", "Tuple"},
    {"norviai.askflow.custom_sql", "CustomSQLDatabase"},
};

}  // namespace

py::module_ module_handle() { return module_ref.module(); }

py::object module_global(const char* name) {
  return py_common::module_global(module_ref.get(), name);
}

py::dict checked_state(py::handle state) {
  py_common::require_exact_type(state, reinterpret_cast<PyObject*>(&PyDict_Type), "state");
  return py::reinterpret_borrow<py::dict>(state);
}

py_common::ClassBuilder step_class(py::module_& m, const char* name) {
  return py_common::ClassBuilder(m, name, m.attr("Runnable"));
}

double wall_clock() { return module_handle().attr("time").attr("time")().cast<double>(); }

py::object current_question(py::dict state) {
  py::object question = state[contract::key::kUserQuestion];
  py::object rewritten = state[contract::key::kRewrittenQuestion];
  return py_common::truthy(rewritten) ? rewritten : question;
}

py::object structured(py::handle model, const char* output_model) {
  return model.attr("with_structured_output")(module_global(output_model));
}

py::object chat_template(std::initializer_list<py::object> messages) {
  py::list list;
  for (const auto& message : messages) list.append(message);
  return module_global("ChatPromptTemplate").attr("from_messages")(list);
}

py::object message_template(const char* message_class, const char* template_name, bool jinja) {
  py::object from_template = module_global(message_class).attr("from_template");
  if (jinja)
    return from_template(module_global(template_name), py::arg("template_format") = "jinja2");
  return from_template(module_global(template_name));
}

py::object builtins(const char* name) { return py::module_::import("builtins").attr(name); }

py::list zipped(std::initializer_list<py::object> lists) {
  py::tuple arguments(lists.size());
  size_t index = 0;
  for (const auto& list : lists) arguments[index++] = list;
  return builtins("list")(builtins("zip")(*arguments));
}

py::dict reply_field(py::handle step, py::handle prompt, const char* field, const char* key) {
  py::object reply = step.attr("model").attr("invoke")(prompt);
  py::dict update;
  update[key] = reply.attr(field);
  return update;
}

}  // namespace norviai::flowsteps

PYBIND11_MODULE(flowsteps, m) {
  using namespace norviai::flowsteps;
  namespace common = norviai::py_common;
  module_ref.set(m);

  for (const char* name : {"ast", "sys", "time", "typing", "matplotlib"}) {
    m.add_object(name, py::module_::import(name));
  }
  for (const auto& library_name : kLibraryNames) {
    common::bind_import(m, library_name.module, library_name.name);
  }
  // Plots of generated code can only be saved to files.
  m.attr("matplotlib").attr("use")("agg");
  common::star_import(m, "norviai.askflow.askflow_prompts");

  define_models(m);
  define_initialisation(m);
  define_routing(m);
  define_sql_steps(m);
  define_pandas_steps(m);
  define_response_step(m);
}
