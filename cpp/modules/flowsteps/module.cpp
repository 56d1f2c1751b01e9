// norviai.askflow.flowsteps: the steps of the question graph, their structured-output
// models, the first step and the routing between steps.
#include <string>
#include <string_view>

#include "core/repetition.hpp"
#include "modules/common/contract.hpp"
#include "modules/common/model_call.hpp"
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
  return model.attr("with_structured_output")(module_global(output_model),
                                              py::arg("include_raw") = true);
}

namespace {

// Fault texts go back to the model in the next prompt; a cut reply can be thousands of tokens.
constexpr size_t kFaultLength = 600;

// Whether the text repeats one short unit until it says nothing: a failed attempt, whatever
// the parser makes of it.
std::string repetition_fault(py::handle text) {
  if (!py::isinstance<py::str>(text)) return "";
  auto repetition = core::degenerate_repetition(text.cast<std::string>());
  if (!repetition) return "";
  return "the reply repeats " + py::repr(py::str(repetition->unit)).cast<std::string>() + " " +
         std::to_string(repetition->repeats) + " times";
}

std::string reply_fault(py::dict result) {
  py::object raw = result["raw"];
  py::object metadata = py::getattr(raw, "response_metadata", py::none());
  if (py::isinstance<py::dict>(metadata) &&
      metadata.attr("get")("finish_reason").equal(py::str("length"))) {
    return "the reply was cut by the length limit";
  }
  py::object content = py::getattr(raw, "content", py::none());
  std::string repeated = repetition_fault(content);
  if (repeated.empty()) {
    py::object tool_calls =
        py::getattr(raw, "additional_kwargs", py::dict()).attr("get")("tool_calls", py::list());
    if (py::isinstance<py::list>(tool_calls)) {
      for (py::handle call : tool_calls) {
        if (!py::isinstance<py::dict>(call)) continue;
        py::object function = call.attr("get")("function");
        if (!py::isinstance<py::dict>(function)) continue;
        repeated = repetition_fault(function.attr("get")("arguments"));
        if (!repeated.empty()) break;
      }
    }
  }
  if (!repeated.empty()) return repeated;
  py::object error = result["parsing_error"];
  if (!error.is_none()) return py::str(error).cast<std::string>();
  if (!result["parsed"].is_none()) return "";
  if (!py_common::truthy(content)) return "the reply was empty";
  return "the reply was a plain message, not a tool call: " + py::str(content).cast<std::string>();
}

// The chat model inside a structured model as `structured` builds it, or None for other models.
py::object chat_model_of(py::handle structured_model) {
  return py_common::except_exception(
      [&]() -> py::object {
        return structured_model.attr("first").attr("steps__")["raw"].attr("bound");
      },
      [](py::object) -> py::object { return py::none(); });
}

StructuredReply unusable(const std::string& fault, const char* tool_name) {
  py_common::loguru_logger().attr("warning")(
      py::str(std::string("Unusable ") + tool_name + " reply: " + fault));
  StructuredReply reply;
  reply.fault = fault;
  return reply;
}

}  // namespace

StructuredReply structured_reply(py::handle step, py::handle prompt, const char* tool_name) {
  auto budget = py_common::call_budget();
  if (!budget) return unusable(py_common::kTimeLimitFault, tool_name);
  py::object model = step.attr("model");
  py::object chat_model = chat_model_of(model);
  if (!chat_model.is_none()) {
    py_common::BoundedModel bounded = py_common::bounded_chat_model(chat_model, *budget, prompt);
    if (bounded.model.is_none()) return unusable(bounded.fault, tool_name);
    model = structured(bounded.model, tool_name);
  }
  py::object result;
  try {
    result = model.attr("invoke")(prompt);
  } catch (py::error_already_set& error) {
    if (!py_common::ended_by_time_limit(error)) throw;
    return unusable(py_common::kTimeLimitFault, tool_name);
  }
  StructuredReply reply;
  if (!py::isinstance<py::dict>(result)) {
    // A model that does not report the raw reply: its parsed answer as it is.
    reply.parsed = result;
    return reply;
  }
  py::dict fields = py::reinterpret_borrow<py::dict>(result);
  std::string fault = reply_fault(fields);
  if (fault.size() > kFaultLength) fault = fault.substr(0, kFaultLength) + "...";
  if (!fault.empty()) return unusable(fault, tool_name);
  reply.parsed = fields["parsed"];
  return reply;
}

std::optional<std::string> unusable_reply_fault(py::handle value, const char* marker) {
  if (!py::isinstance<py::str>(value)) return std::nullopt;
  std::string text = value.cast<std::string>();
  std::string_view prefix(marker);
  if (text.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return text.substr(prefix.size());
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

py::dict reply_field(py::handle step, py::handle prompt, const char* tool_name, const char* field,
                     const char* key, py::object fallback) {
  StructuredReply reply = structured_reply(step, prompt, tool_name);
  py::dict update;
  update[key] = reply.usable() ? py::object(reply.parsed.attr(field)) : fallback;
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
  // For `norviai serve`, which runs up to its pool's number of questions at once.
  common::def_signed(
      m, "_reserve_warm_analyses", "count", [](std::size_t count) { reserve_warm_analyses(count); },
      py::arg("count"));
}
