// norviai.function_calling.base: picks the tables a question needs with one forced function
// call of the openai client. The call is reported to langchain's callback handlers as a chat
// model run, so that the question's usage callback counts and prices it like every other call.
// A request over more tables than the token budget allows lists the most related ones.
#include <cstddef>
#include <string>
#include <utility>

#include "modules/common/contract.hpp"
#include "modules/common/model_call.hpp"
#include "modules/common/pyutil.hpp"
#include "modules/common/token_count.hpp"

namespace {

namespace py = pybind11;
namespace common = norviai::py_common;
namespace key = norviai::contract::key;

common::ProcessRef module_ref;

py::module_ module_handle() { return module_ref.module(); }

py::object os_path() { return py::module_::import("os").attr("path"); }

// The folder of this module: its __file__ is set only after import, so fall back on the
// package folder, which is the same place.
py::object module_folder() {
  py::module_ m = module_handle();
  if (py::hasattr(m, "__file__")) return os_path().attr("dirname")(m.attr("__file__"));
  return os_path().attr("dirname")(
      py::module_::import("norviai.function_calling").attr("__file__"));
}

py::object get_relevant_tables_path() {
  py::object path = os_path().attr("join")(module_folder(), "prompt", "relevant_table.yaml");
  return os_path().attr("relpath")(path);
}

py::object load_yaml(py::object file_path) {
  return common::with_block(
      py::module_::import("builtins").attr("open")(file_path, "r"),
      [](py::object file) { return py::module_::import("yaml").attr("safe_load")(file); });
}

// The picker's working parts: the client it calls, the deployment it names and the tool that
// prints table schemas.
void attach(py::object self, py::object client, py::object model_name, py::object db) {
  self.attr("client") = client;
  self.attr("model_name") = model_name;
  self.attr("schema_info_tool") = module_handle().attr("InfoSQLDatabaseTool")(py::arg("db") = db);
}

// The definition file's path as computed at import, relative and absolute: the relative one
// stops pointing at the file once the process changes directory.
common::ProcessRef import_relative_path;
common::ProcessRef import_absolute_path;

py::list get_tool_revant_tables() {
  py::object path = module_handle().attr("RELEVANT_TABLES_PATH");
  // A path the caller set stays theirs; the import-time one is read where it really is.
  if (path.equal(import_relative_path.get())) {
    path = py::reinterpret_borrow<py::object>(import_absolute_path.get());
  }
  py::list tools;
  tools.append(load_yaml(path));
  return tools;
}

py::object relevant_tables_property(py::handle tool) {
  return tool["function"]["parameters"]["properties"][key::kRelevantTables];
}

// Opens a chat-model run on the callback manager of the current context (the graph's
// config when called from a node), so that get_openai_callback sees the call.
py::object start_model_run(py::list messages, py::dict invocation_params) {
  py::object config =
      py::module_::import("langchain_core.runnables.config").attr("ensure_config")();
  py::object manager_class =
      py::module_::import("langchain_core.callbacks.manager").attr("CallbackManager");
  py::object manager = manager_class.attr("configure")(
      py::arg("inheritable_callbacks") = config.attr("get")("callbacks"),
      py::arg("inheritable_tags") = config.attr("get")("tags"),
      py::arg("inheritable_metadata") = config.attr("get")("metadata"));
  py::object human_message = py::module_::import("langchain_core.messages").attr("HumanMessage");
  py::object content = messages[0]["content"];
  py::list prompt;
  prompt.append(human_message(py::arg("content") = content.is_none() ? py::str("") : content));
  py::list batch;
  batch.append(prompt);
  py::dict serialized;
  serialized["name"] = "RelevantTablePicker";
  py::list run_managers = manager.attr("on_chat_model_start")(
      serialized, batch, py::arg("invocation_params") = invocation_params,
      py::arg("name") = "RelevantTablePicker");
  return run_managers[0];
}

// The reply as a chat model reports it: usage on the message and in llm_output.
py::object model_result(py::handle reply, py::handle tool_call) {
  py::module_ messages = py::module_::import("langchain_core.messages");
  py::module_ outputs = py::module_::import("langchain_core.outputs");
  py::dict token_usage;
  py::dict usage_metadata;
  py::object usage = reply.attr("usage");
  if (!usage.is_none()) {
    token_usage["prompt_tokens"] = usage.attr("prompt_tokens");
    token_usage["completion_tokens"] = usage.attr("completion_tokens");
    token_usage["total_tokens"] = usage.attr("total_tokens");
    usage_metadata["input_tokens"] = usage.attr("prompt_tokens");
    usage_metadata["output_tokens"] = usage.attr("completion_tokens");
    usage_metadata["total_tokens"] = usage.attr("total_tokens");
  }
  py::dict response_metadata;
  response_metadata["token_usage"] = token_usage;
  response_metadata["model_name"] = reply.attr("model");
  py::dict additional;
  if (!tool_call.is_none()) {
    py::dict function;
    function["name"] = tool_call.attr("function").attr("name");
    function["arguments"] = tool_call.attr("function").attr("arguments");
    py::dict call;
    call["id"] = tool_call.attr("id");
    call["type"] = "function";
    call["function"] = function;
    py::list calls;
    calls.append(call);
    additional["tool_calls"] = calls;
  }
  py::object message = messages.attr("AIMessage")(
      py::arg("content") = "", py::arg("additional_kwargs") = additional,
      py::arg("response_metadata") = response_metadata,
      py::arg("usage_metadata") =
          usage_metadata.empty() ? py::object(py::none()) : py::object(usage_metadata));
  py::list generation;
  generation.append(outputs.attr("ChatGeneration")(py::arg("message") = message));
  py::list generations;
  generations.append(generation);
  py::dict llm_output;
  llm_output["token_usage"] = token_usage;
  llm_output["model_name"] = reply.attr("model");
  return outputs.attr("LLMResult")(py::arg("generations") = generations,
                                   py::arg("llm_output") = llm_output);
}

// The tool call's arguments when they are a JSON object whose relevant_tables is a list;
// otherwise None with `fault` saying what was wrong with the reply.
py::object picked_tables(py::handle choice, py::handle tool_call, std::string& fault) {
  if (py::str(choice.attr("finish_reason")).equal(py::str("length"))) {
    fault = "cut by the length limit";
    return py::none();
  }
  if (tool_call.is_none()) {
    fault = "no tool call";
    return py::none();
  }
  py::object arguments;
  try {
    arguments =
        py::module_::import("json").attr("loads")(tool_call.attr("function").attr("arguments"));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
    fault = "arguments are not JSON";
    return py::none();
  }
  if (!py::isinstance<py::dict>(arguments) || !arguments.contains(key::kRelevantTables) ||
      !py::isinstance<py::list>(arguments[py::str(key::kRelevantTables)])) {
    fault = "arguments miss the list of relevant_tables";
    return py::none();
  }
  return arguments;
}

py::module_ retrieval() { return py::module_::import("norviai._retrieval"); }

// The picked names that are tables of the database, in the database's spelling and without
// repeats; the rest is logged.
py::list real_tables(py::handle picked, py::handle table_names_from_db) {
  py::tuple matched = retrieval().attr("known_tables")(picked, table_names_from_db);
  py::list dropped = matched[1];
  if (py::len(dropped)) {
    common::loguru_logger().attr("warning")(
        py::str("The picker named what are not tables, dropped: ") + py::repr(dropped));
  }
  return matched[0];
}

// The tools list over these table names; `note`, when given, is a line after the list of names.
py::list tools_for(py::object self, py::object table_names, const std::string& note) {
  py::object string_tables_names_from_db = py::str(", ").attr("join")(table_names);
  py::object schemas_from_all_tables =
      self.attr("schema_info_tool").attr("_run")(string_tables_names_from_db);
  py::list tools = get_tool_revant_tables();
  py::object relevant = relevant_tables_property(tools[0]);
  py::object description = relevant["description"];
  py::str note_line(note.empty() ? std::string() : note + "\n");
  relevant["description"] = description +
                            py::str("Here is the list table name, you can choose from: ") +
                            string_tables_names_from_db + py::str(".\n") + note_line +
                            py::str("And the schema from all tables: ") + schemas_from_all_tables;
  relevant["items"]["properties"]["table_name"]["enum"] = table_names;
  // On the items themselves too, where servers that hold arguments to the schema look.
  relevant["items"]["enum"] = table_names;
  return tools;
}

py::list get_tools(py::object self, py::object table_names_from_db) {
  common::require_exact_type(table_names_from_db, reinterpret_cast<PyObject*>(&PyList_Type),
                             "table_names_from_db");
  return tools_for(self, table_names_from_db, "");
}

// The tools over every table when the request fits the token budget, else over the tables most
// related to the question that fit; and the names listed.
std::pair<py::object, py::list> fitted_tools(py::object self, py::object question,
                                             py::list table_names_from_db) {
  py::object dumps = py::module_::import("json").attr("dumps");
  std::string question_text =
      question.is_none() ? std::string() : py::str(question).cast<std::string>();
  // The chat format frames the one message with about four tokens and opens the reply with three.
  std::size_t question_tokens = 7 + common::count_tokens(question_text);
  py::cpp_function build([self, question_tokens, dumps](py::list names, std::string note) {
    py::object tools =
        note.empty() ? self.attr("get_tools")(names) : py::object(tools_for(self, names, note));
    std::size_t tokens =
        question_tokens + common::count_tokens(py::str(dumps(tools)).cast<std::string>());
    return py::make_tuple(tools, tokens);
  });
  // Each table is named three times besides its schema: in the list and in the two enums.
  py::tuple fitted = retrieval().attr("fit_tables")(self.attr("schema_info_tool").attr("db"),
                                                    question_text, table_names_from_db, build, 3);
  return {fitted[0], fitted[1]};
}

// The picker's node: one forced call of the select_relevant_tables tool, reported to the
// callback handlers as a chat-model run; returns the tool's arguments as parsed JSON.
py::object invoke_picker(py::object self, py::object state) {
  common::require_exact_type(state, reinterpret_cast<PyObject*>(&PyDict_Type), "state");
  py::object question = state.attr("get")(key::kUserQuestion);
  py::list table_names_from_db = state.attr("get")(key::kTableNamesFromDb).attr("split")(", ");
  py::dict message;
  message["role"] = "user";
  message["content"] = question;
  py::list message_text;
  message_text.append(message);
  auto [tools, listed_tables] = fitted_tools(self, question, table_names_from_db);
  py::object logger = common::loguru_logger();
  logger.attr("debug")(py::str("Tools: ") + py::str(tools));

  py::dict function;
  function["name"] = norviai::contract::tool::kSelectRelevantTables;
  py::dict tool_choice;
  tool_choice["type"] = "function";
  tool_choice["function"] = function;
  py::dict request;
  request["model"] = self.attr("model_name");
  request["messages"] = message_text;
  request["tools"] = tools;
  request["tool_choice"] = tool_choice;
  request["temperature"] = 0.0;
  request["max_tokens"] = 800;
  request["top_p"] = 0.95;
  request["frequency_penalty"] = 0;
  request["presence_penalty"] = 0;
  request["stop"] = py::none();

  py::dict invocation_params = request.attr("copy")();
  invocation_params.attr("pop")("messages");
  invocation_params["_type"] = "azure-openai-chat";
  // The question goes on over every table when its time or the server's context leaves no call.
  auto all_tables = [&](const std::string& why) {
    logger.attr("warning")(
        py::str("No select_relevant_tables call (" + why + "); using all tables"));
    py::dict fallback;
    fallback[key::kRelevantTables] = table_names_from_db;
    return fallback;
  };
  auto budget = common::call_budget();
  if (!budget) return all_tables(common::kTimeLimitFault);
  py::object context = py::getattr(self, "context_tokens", py::none());
  const long limit = common::reply_limit(
      800, context.is_none() ? common::context_from_environment() : context.cast<long>(),
      common::prompt_tokens(py::str(message_text) + py::str(tools)));
  if (limit == 0) return all_tables("the prompt leaves no room for a reply in the model's context");
  request["max_tokens"] = limit;
  py::object client = common::bounded_client(self.attr("client"), *budget);

  py::object run = start_model_run(message_text, invocation_params);
  py::object reply;
  py::object tool_call = py::none();
  try {
    reply = client.attr("chat").attr("completions").attr("create")(**request);
    py::object response_message = reply.attr("choices")[py::int_(0)].attr("message");
    py::object tool_calls = response_message.attr("tool_calls");
    if (!tool_calls.is_none() && py::len(tool_calls) > 0) tool_call = tool_calls[py::int_(0)];
  } catch (py::error_already_set& error) {
    run.attr("on_llm_error")(error.value());
    if (common::ended_by_time_limit(error)) return all_tables(common::kTimeLimitFault);
    throw;
  }
  std::string fault;
  py::object function_args = picked_tables(reply.attr("choices")[py::int_(0)], tool_call, fault);
  // langchain's message refuses arguments that are not a JSON object; a bad call is reported
  // without them.
  run.attr("on_llm_end")(model_result(reply, fault.empty() ? tool_call : py::none()));
  if (fault.empty()) {
    py::list tables =
        real_tables(function_args[py::str(key::kRelevantTables)], table_names_from_db);
    if (py::len(tables) == 0) fault = "no table of the database";
    function_args[py::str(key::kRelevantTables)] = tables;
  }
  if (!fault.empty()) {
    // The question goes on over the tables the model was shown rather than failing on its reply.
    logger.attr("warning")(
        py::str("Unusable select_relevant_tables reply (" + fault + "); using all tables"));
    py::dict fallback;
    fallback[key::kRelevantTables] = listed_tables;
    return fallback;
  }
  logger.attr("debug")(py::str("Function_args: ") + py::str(function_args));
  return function_args;
}

py::object picker_with_client(py::object picker_class, py::object client, py::object model_name,
                              py::object db) {
  py::object picker = py::module_::import("builtins").attr("object").attr("__new__")(picker_class);
  attach(picker, client, model_name, db);
  return picker;
}

void initialise(py::object self, py::object config, py::object db) {
  py::dict settings = config.attr("__dict__");
  attach(
      self,
      module_handle().attr("AzureOpenAI")(**settings, py::arg("timeout") = common::model_timeout()),
      config.attr("azure_deployment"), db);
}

void define_picker(py::module_& m) {
  common::ClassBuilder(m, "RelevantTablePicker", py::module_::import("builtins").attr("object"))
      .method("__init__", "config, db", &initialise, py::arg("config"), py::arg("db"))
      .method("get_tools", "table_names_from_db, /", &get_tools)
      .method("invoke", "state, /", &invoke_picker)
      .class_method(
          "_from_client",
          {"client, model_name, db",
           "The picker over any client with the openai client's chat.completions API,\n"
           "for the command line's OpenAI-compatible servers. Applications use the Azure\n"
           "constructor."},
          &picker_with_client, py::arg("client"), py::arg("model_name"), py::arg("db"))
      .finish();
}

}  // namespace

PYBIND11_MODULE(base, m) {
  module_ref.set(m);
  for (const char* name : {"json", "os", "yaml"}) m.add_object(name, py::module_::import(name));
  common::bind_import(m, "typing", "List");
  common::bind_import(m, "openai", "AzureOpenAI");
  common::bind_import(m, "langchain_community.tools.sql_database.tool", "InfoSQLDatabaseTool");
  common::bind_import(m, "loguru", "logger");
  common::bind_import(m, "norviai.settings", "AzureOpenAIChat35");
  common::bind_import(m, "norviai.askflow.custom_sql", "CustomSQLDatabase");

  common::def_signed(m, "get_relevant_tables_path", "", [] { return get_relevant_tables_path(); });
  common::def_signed(
      m, "load_yaml", "file_path", [](py::object file_path) { return load_yaml(file_path); },
      py::arg("file_path"));
  common::def_signed(m, "get_tool_revant_tables", "", [] { return get_tool_revant_tables(); });

  py::object path = get_relevant_tables_path();
  m.add_object("RELEVANT_TABLES_PATH", path);
  import_relative_path.set(path);
  import_absolute_path.set(os_path().attr("abspath")(path));
  py::module_::import("builtins").attr("print")(py::str("using yaml in : ") + py::str(path));

  define_picker(m);
  // The command line's name for the class method.
  common::def_signed(
      m, "_picker_with_client", "client, model_name, db",
      [](py::object client, py::object model_name, py::object db) {
        return module_handle()
            .attr("RelevantTablePicker")
            .attr("_from_client")(client, model_name, db);
      },
      py::arg("client"), py::arg("model_name"), py::arg("db"));
}
