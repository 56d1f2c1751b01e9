// The application-facing functions: create an agent for a database, answer one question with
// it and report the usage, and build a plain chat model from the vendor's settings.
#include <string>
#include <string_view>

#include "modules/agent/agent.hpp"
#include "modules/common/contract.hpp"

namespace norviai::agent {

namespace {

namespace common = norviai::py_common;
namespace key = contract::key;

struct EngineScheme {
  const char* engine;
  const char* scheme;
};

constexpr EngineScheme kEngines[] = {
    {"PostgreSQL", "postgresql+psycopg2"},
    {"MsSQL", "mssql+pyodbc"},
    {"MySQL", "mysql+mysqlconnector"},
};  // and "SQLite", whose URL is a file path

// Result keys of run_agent, in order, with the state key each is read from.
constexpr std::pair<const char*, const char*> kResultKeys[] = {
    {"output", key::kFinalResponse},
    {"python_code", key::kPandasCode},
    {"image_path", key::kImagePath},
    {"generated_query", key::kGeneratedSqlQuery},
    {"sql_execution_result", key::kSqlExecutionResult},
};

// The caller's view of a final state. A key the run never wrote (the SQL path gave up) is
// None, so that the answer the graph did produce is not lost.
py::dict result_mapping(py::handle state) {
  py::dict mapping;
  for (const auto& [result_key, state_key] : kResultKeys) {
    mapping[result_key] = state.attr("get")(state_key);
  }
  return mapping;
}

// norviai.agent itself: its globals are read at call time, so that callers may replace them.
common::ProcessRef agent_ref;

py::module_ agent_module() { return agent_ref.module(); }

// Percent-escapes what would change the URL's meaning; plain values come out unchanged.
py::str url_part(py::handle value) {
  return py::module_::import("urllib.parse").attr("quote")(py::str(value), py::arg("safe") = "");
}

py::str connection_url(py::object engine, py::object db_name, py::object db_user,
                       py::object db_password, py::object db_host, py::object db_port) {
  if (engine.equal(py::str("SQLite"))) return py::str("sqlite:///") + py::str(db_name);
  py::object scheme = py::none();
  for (const auto& entry : kEngines) {
    if (engine.equal(py::str(entry.engine))) {
      scheme = py::str(entry.scheme);
      break;
    }
  }
  return py::str(scheme) + py::str("://") + url_part(db_user) + py::str(":") +
         url_part(db_password) + py::str("@") + py::str(db_host) + py::str(":") + py::str(db_port) +
         py::str("/") + py::str(db_name);
}

// An SQLite path that does not exist would be created empty by the driver: refuse it.
void require_existing_sqlite_file(py::object engine, py::object db_name) {
  if (!engine.equal(py::str("SQLite"))) return;
  std::string path = py::str(db_name);
  if (path == ":memory:" || path.empty()) return;
  if (!common::truthy(py::module_::import("os").attr("path").attr("isfile")(db_name))) {
    common::raise_error(PyExc_FileNotFoundError,
                        py::str("SQLite database file not found: {}").format(db_name));
  }
}

py::object settings_from(py::object settings_class, py::dict record) {
  return settings_class(py::arg("azure_deployment") = record.attr("get")("deployment_name"),
                        py::arg("azure_endpoint") = record.attr("get")("azure_endpoint"),
                        py::arg("api_key") = record.attr("get")("api_key"),
                        py::arg("api_version") = record.attr("get")("api_version"));
}

py::object create_agent(py::object /*norvi_api_key*/, py::object engine, py::object db_name,
                        py::object db_user, py::object db_password, py::object db_host,
                        py::object db_port, py::object /*instructions*/) {
  py::module_ m = agent_module();
  require_existing_sqlite_file(engine, db_name);
  py::str url = connection_url(engine, db_name, db_user, db_password, db_host, db_port);
  py::object database = m.attr("CustomSQLDatabase").attr("from_uri")(url);

  py::object handler = m.attr("NorviAPIHandler")(py::arg("norvi_api_key") = py::none());
  py::module_ api = py::module_::import("norviai.api");
  py::object response =
      m.attr("requests")
          .attr("get")(py::str(handler.attr("main_url")) + py::str("/norvi/azure-openais/"),
                       py::arg("timeout") = api.attr("_service_timeout")(),
                       py::arg("headers") = api.attr("_service_headers")());
  // A refusal (a wrong token, say) has a JSON body too; its status is the clear error.
  response.attr("raise_for_status")();
  py::object records = response.attr("json")();

  py::object small_class = m.attr("AzureOpenAIChat35");
  py::object large_class = m.attr("AzureOpenAIChat4");
  py::object config_35 = small_class(py::arg("azure_endpoint") = py::none());
  py::object config_4 = large_class(py::arg("azure_endpoint") = py::none());
  for (auto record : records) {
    py::object model = record["model"];
    if (model.equal(py::str("GPT-3.5"))) {
      config_35 = settings_from(small_class, py::reinterpret_borrow<py::dict>(record));
    } else if (common::truthy(model.attr("startswith")("GPT-4"))) {
      config_4 = settings_from(large_class, py::reinterpret_borrow<py::dict>(record));
    }
  }
  if (!common::truthy(config_35.attr("azure_endpoint")) ||
      !common::truthy(config_4.attr("azure_endpoint"))) {
    py::print(py::str("Internal Server Error!"));
    return py::none();
  }
  py::print(py::str("Agent is Ready!"));
  return m.attr("SQLGraph")(py::arg("custom_sql_db") = database, py::arg("config_35") = config_35,
                            py::arg("config_4") = config_4);
}

// The final state of one question and the usage its model calls reported.
struct CountedAnswer {
  py::object state;
  py::dict usage;
};

// Invokes the agent inside the usage counter; the media folder must exist. A failure leaves
// the counter first, so that it stops counting, and then propagates with what was spent before
// it as the exception's `norviai_usage` attribute (the same mapping an answer's usage is).
CountedAnswer ask_counted(py::object agent, py::object question, py::object media_path) {
  py::dict inputs;
  inputs[contract::key::kUserQuestion] = question;
  inputs[contract::key::kSavePath] = media_path;
  CountedAnswer answer;
  py::object failure;
  common::with_block(agent_module().attr("get_openai_callback")(), [&](py::object counter) {
    common::except_exception(
        [&] {
          answer.state = agent.attr("invoke")(inputs);
          return py::none();
        },
        [&](py::object error) {
          failure = error;
          return py::none();
        });
    answer.usage["total_tokens"] = counter.attr("total_tokens");
    answer.usage["total_cost"] = counter.attr("total_cost");
    return py::none();
  });
  if (failure) {
    // An exception without a __dict__ simply carries no usage.
    if (PyObject_SetAttrString(failure.ptr(), "norviai_usage", answer.usage.ptr()) != 0) {
      PyErr_Clear();
    }
    common::raise_error(failure);
  }
  return answer;
}

// The engine name create_agent takes for a SQLAlchemy backend name such as "postgresql".
py::object engine_for_backend(const std::string& backend) {
  if (backend == "sqlite") return py::str("SQLite");
  for (const auto& entry : kEngines) {
    const std::string_view scheme = entry.scheme;
    if (scheme.substr(0, scheme.find('+')) == backend) return py::str(entry.engine);
  }
  return py::none();
}

py::object run_agent(py::object agent, py::object norvi_api_key, py::object query,
                     py::object media_path) {
  py::module_ m = agent_module();
  py::object tokens = py::none();
  py::object total_cost = py::none();
  py::object result = py::none();
  py::module_::import("os").attr("makedirs")(media_path, py::arg("exist_ok") = true);

  common::except_exception(
      [&] {
        CountedAnswer answer = ask_counted(agent, query, media_path);
        result = result_mapping(answer.state);
        tokens = answer.usage["total_tokens"];
        total_cost = answer.usage["total_cost"];
        return py::none();
      },
      [&](py::object error) {
        py::module_::import("traceback").attr("print_exception")(error);
        py::print(py::str("An error occurred when running the agent: ") + py::str(error));
        py::dict failure;
        failure["output"] = "An error occurred";
        result = failure;
        return py::none();
      });

  if (!tokens.is_none() && !total_cost.is_none()) {
    // The answer is already there; a failed report must not lose it.
    common::except_exception(
        [&] { return m.attr("send_user_question")(norvi_api_key, query, tokens, total_cost); },
        [](py::object error) {
          py::print(py::str("The usage report could not be sent: {}: {}")
                        .format(py::type::handle_of(error).attr("__name__"), error));
          return py::none();
        });
  }
  if (py::isinstance<py::dict>(result) && common::truthy(result) &&
      result.contains(py::str("output"))) {
    return result;
  }
  return py::str("Error: No output generated from the agent.");
}

py::object create_chat_openai_instance(py::object norvi_api_key) {
  py::module_ m = agent_module();
  py::object handler = m.attr("NorviAPIHandler")(py::arg("norvi_api_key") = norvi_api_key);
  py::object record = handler.attr("get_openai_data")();
  py::object model_name = record["model_name"];
  py::object temperature = record.attr("get")("temperature", 1);
  py::object api_key = record["api_key"];
  py::object model =
      m.attr("ChatOpenAI")(py::arg("openai_api_key") = api_key, py::arg("model") = model_name,
                           py::arg("temperature") = temperature);
  py::print(py::str("LLM is Ready!"));
  return model;
}

}  // namespace

void define_front_end(py::module_& m) {
  agent_ref.set(m);
  common::def_signed(
      m, "create_agent",
      "norvi_api_key, engine, db_name, db_user, db_password, db_host, db_port, instructions=None",
      &create_agent, py::arg("norvi_api_key"), py::arg("engine"), py::arg("db_name"),
      py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"),
      py::arg("instructions") = py::none());
  common::def_signed(m, "run_agent", "agent, norvi_api_key, query, media_path", &run_agent,
                     py::arg("agent"), py::arg("norvi_api_key"), py::arg("query"),
                     py::arg("media_path"));
  // For the command line, which asks with its own progress handler and reads --db itself.
  common::def_signed(m, "_result_mapping", "state", &result_mapping, py::arg("state"));
  common::def_signed(
      m, "_ask_counted", "agent, question, media_path",
      [](py::object agent, py::object question, py::object media_path) {
        py::module_::import("os").attr("makedirs")(media_path, py::arg("exist_ok") = true);
        CountedAnswer answer = ask_counted(agent, question, media_path);
        return py::make_tuple(answer.state, answer.usage);
      },
      py::arg("agent"), py::arg("question"), py::arg("media_path"));
  common::def_signed(m, "_engine_for_backend", "backend", &engine_for_backend, py::arg("backend"));
  common::def_signed(
      m, "_require_sqlite_file", "path",
      [](py::object path) { require_existing_sqlite_file(py::str("SQLite"), path); },
      py::arg("path"));
  common::def_signed(m, "create_chat_openai_instance", "norvi_api_key",
                     &create_chat_openai_instance, py::arg("norvi_api_key"));
}

}  // namespace norviai::agent
