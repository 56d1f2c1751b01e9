// Where the command line's models come from, first match wins: --offline, the vendor service,
// Azure OpenAI, any OpenAI-compatible server; and the agent each source builds.
#include <cstdlib>
#include <optional>
#include <string>

#include "modules/cli/cli.hpp"

namespace norviai::cli {

namespace {

constexpr const char* kPlaceholderVersion = "2024-02-01";

py::object import(const char* name) { return py::module_::import(name); }

std::string required_env(const char* name) {
  std::string value = env(name);
  if (value.empty()) throw UserError(std::string(name) + " is not set");
  return value;
}

py::object azure_settings(const char* class_name, py::object deployment, py::object endpoint,
                          py::object key, py::object version) {
  return import("norviai.settings")
      .attr(class_name)(py::arg("azure_deployment") = deployment,
                        py::arg("azure_endpoint") = endpoint, py::arg("api_key") = key,
                        py::arg("api_version") = version);
}

// SQLGraph on Azure-style settings: a small and a large deployment behind one endpoint.
py::object sql_graph(py::object database, py::object small_deployment, py::object large_deployment,
                     py::object endpoint, py::object key, py::object version) {
  return import("norviai.askflow.askflow")
      .attr("SQLGraph")(py::arg("custom_sql_db") = database,
                        py::arg("config_35") = azure_settings("AzureOpenAIChat35", small_deployment,
                                                              endpoint, key, version),
                        py::arg("config_4") = azure_settings("AzureOpenAIChat4", large_deployment,
                                                             endpoint, key, version));
}

// Engine name of the agent front end for a SQLAlchemy URL.
py::object engine_name(py::object url) {
  std::string backend = py::str(url.attr("get_backend_name")());
  // MariaDB speaks MySQL's protocol: the front end's MySQL engine serves it.
  py::object engine =
      import("norviai.agent").attr("_engine_for_backend")(backend == "mariadb" ? "mysql" : backend);
  if (engine.is_none()) {
    throw UserError(
        "the vendor service path supports PostgreSQL, MySQL, SQL Server and SQLite, not " +
        backend);
  }
  return engine;
}

}  // namespace

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

std::optional<ModelSource> configured_source() {
  if (!env("NORVIAI_SERVICE_URL").empty()) return ModelSource::kService;
  if (!env("AZURE_OPENAI_ENDPOINT").empty()) return ModelSource::kAzure;
  if (!env("OPENAI_BASE_URL").empty() || !env("OPENAI_API_KEY").empty()) {
    return ModelSource::kOpenAi;
  }
  return std::nullopt;
}

ModelSource model_source(bool offline) {
  if (offline) return ModelSource::kOffline;
  if (const auto source = configured_source()) return *source;
  throw UserError(
      "no model is configured: set AZURE_OPENAI_ENDPOINT (with AZURE_OPENAI_API_KEY, "
      "OPENAI_API_VERSION, NORVIAI_DEPLOYMENT_SMALL and NORVIAI_DEPLOYMENT_LARGE), "
      "OPENAI_BASE_URL or OPENAI_API_KEY (with NORVIAI_MODEL_SMALL and NORVIAI_MODEL_LARGE), "
      "or NORVIAI_SERVICE_URL; or pass --offline for the bundled stand-in model");
}

std::string describe(ModelSource source) {
  switch (source) {
    case ModelSource::kOffline:
      return "the bundled offline stand-in model (scripted answers for the demo questions)";
    case ModelSource::kService:
      return "the deployments of the vendor service at " + env("NORVIAI_SERVICE_URL");
    case ModelSource::kAzure:
      return "Azure OpenAI at " + env("AZURE_OPENAI_ENDPOINT");
    case ModelSource::kOpenAi:
      return "the OpenAI-compatible server at " + (env("OPENAI_BASE_URL").empty()
                                                       ? std::string("the OpenAI default")
                                                       : env("OPENAI_BASE_URL"));
  }
  return "";
}

Session::~Session() {
  if (offline_model.is_none()) return;
  try {
    offline_model.attr("stop")();
  } catch (py::error_already_set&) {
  }
}

void build_agent(Session& session, py::object url) {
  switch (session.source) {
    case ModelSource::kOffline: {
      session.offline_model = import("norviai.cli").attr("_OfflineModel")();
      session.agent =
          sql_graph(open_database(url, session.concurrent_questions), py::str("offline-small"),
                    py::str("offline-large"), session.offline_model.attr("base_url"),
                    py::str("offline"), py::str(kPlaceholderVersion));
      return;
    }
    case ModelSource::kService: {
      session.agent =
          import("norviai.agent")
              .attr("create_agent")(py::str(env("NORVIAI_API_KEY")), engine_name(url),
                                    url.attr("database"), url.attr("username"),
                                    url.attr("password"), url.attr("host"), url.attr("port"));
      if (session.agent.is_none()) {
        throw UserError("the vendor service at " + env("NORVIAI_SERVICE_URL") +
                        " has no usable GPT-3.5 and GPT-4 deployments");
      }
      return;
    }
    case ModelSource::kAzure: {
      py::str endpoint(required_env("AZURE_OPENAI_ENDPOINT"));
      py::str key(required_env("AZURE_OPENAI_API_KEY"));
      py::str version(required_env("OPENAI_API_VERSION"));
      session.agent =
          sql_graph(open_database(url, session.concurrent_questions),
                    py::str(required_env("NORVIAI_DEPLOYMENT_SMALL")),
                    py::str(required_env("NORVIAI_DEPLOYMENT_LARGE")), endpoint, key, version);
      return;
    }
    case ModelSource::kOpenAi: {
      std::string base_url = env("OPENAI_BASE_URL");
      std::string key = env("OPENAI_API_KEY");
      // A local server often takes any key, but the client insists on one.
      if (key.empty()) key = "not-needed";
      session.agent =
          import("norviai.askflow.askflow")
              .attr("_openai_graph")(open_database(url, session.concurrent_questions),
                                     py::str(required_env("NORVIAI_MODEL_SMALL")),
                                     py::str(required_env("NORVIAI_MODEL_LARGE")),
                                     base_url.empty() ? py::object(py::none()) : py::str(base_url),
                                     py::str(key));
      return;
    }
  }
}

py::object drawing_agent() {
  return sql_graph(open_database(database_url(py::none())), py::str("placeholder-small"),
                   py::str("placeholder-large"), py::str("http://127.0.0.1:9"),
                   py::str("placeholder"), py::str(kPlaceholderVersion));
}

}  // namespace norviai::cli
