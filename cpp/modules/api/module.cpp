// norviai.api: client of the vendor service that hands out model deployment records and
// receives the usage report of each answered question. Every call has a time-out so a stalled
// service cannot hang the caller, and keys never reach the console.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/text_util.hpp"
#include "modules/common/pyutil.hpp"

namespace {

namespace py = pybind11;
namespace common = norviai::py_common;

constexpr const char* kDefaultServiceUrl = "http://127.0.0.1:8731";
constexpr double kDefaultServiceTimeout = 30.0;

// The service base URL without a trailing slash; NORVIAI_SERVICE_URL overrides the
// self-hosted default.
std::string service_url() {
  const char* text = std::getenv("NORVIAI_SERVICE_URL");
  std::string url = (text != nullptr && *text != '\0') ? text : kDefaultServiceUrl;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

double service_timeout() {
  return common::seconds_from_environment("NORVIAI_SERVICE_TIMEOUT", kDefaultServiceTimeout);
}

// {"Authorization": "Bearer <NORVIAI_SERVICE_TOKEN>"}, or no header when the variable is unset or
// blank. A token a header cannot carry is refused here: the HTTP library's error would quote it.
py::dict service_headers() {
  py::dict headers;
  const char* text = std::getenv("NORVIAI_SERVICE_TOKEN");
  const std::string token = norviai::core::trim(text != nullptr ? text : "");
  if (token.empty()) return headers;
  if (!std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; })) {
    common::raise_error(PyExc_ValueError,
                        "NORVIAI_SERVICE_TOKEN must be printable ASCII without blanks");
  }
  headers["Authorization"] = "Bearer " + token;
  return headers;
}

// The record as it may be shown: its key replaced by a mask.
py::object masked(py::handle record) {
  if (!py::isinstance<py::dict>(record)) return py::reinterpret_borrow<py::object>(record);
  py::dict copy = record.attr("copy")();
  for (const char* key : {"api_key", "norvi_api_key"}) {
    if (copy.contains(key) && !copy[key].is_none()) copy[key] = "***";
  }
  return copy;
}

// GET <main_url><path>, raise for an error status, parse the JSON body.
py::object fetch(py::handle self, const char* path, double timeout, const py::dict& headers) {
  py::object response =
      py::module_::import("requests")
          .attr("get")(py::str(self.attr("main_url")) + py::str(path), py::arg("timeout") = timeout,
                       py::arg("headers") = headers);
  response.attr("raise_for_status")();
  return response.attr("json")();
}

// Runs a getter's body; what fails in it is logged and the getter answers None. Bad time-out and
// token settings are read first, so that they reach the caller as the ValueError they are.
template <typename Body>
py::object logged_or_none(Body&& body) {
  const double timeout = service_timeout();
  const py::dict headers = service_headers();
  return common::except_exception([&] { return body(timeout, headers); },
                                  [](py::object error) -> py::object {
                                    py::module_::import("logging").attr("error")(
                                        py::str("Error in get_openai_data: {}").format(error));
                                    return py::none();
                                  });
}

py::object first_or_none(py::object records) {
  if (!common::truthy(records)) return py::none();
  return records[py::int_(0)];
}

void define_handler(py::module_& m) {
  common::ClassBuilder(m, "NorviAPIHandler", py::module_::import("builtins").attr("object"))
      .method(
          "__init__", "norvi_api_key",
          [](py::object self, py::object norvi_api_key) {
            self.attr("norvi_api_key") = norvi_api_key;
            self.attr("main_url") = service_url();
          },
          py::arg("norvi_api_key"))
      .method("__str__", "", [](py::object) { return py::str("NorviAPIHandler Instance"); })
      .method("__repr__", "", [](py::object) { return py::str("NorviAPIHandler Instance"); })
      .method("get_openai_data", "",
              [](py::object self) {
                return logged_or_none([&](double timeout, const py::dict& headers) {
                  return first_or_none(fetch(self, "/norvi/openais/", timeout, headers));
                });
              })
      .method("get_azure_openai_data", "",
              [](py::object self) {
                return logged_or_none([&](double timeout, const py::dict& headers) {
                  py::object records = fetch(self, "/norvi/azure-openais/", timeout, headers);
                  // Printed before the emptiness test, as the record is looked at first.
                  py::print(py::str("azureopenai_data: ") +
                            py::str(masked(records.attr("__getitem__")(0))));
                  return first_or_none(records);
                });
              })
      .finish();
}

py::object send_user_question(py::object norvi_api_key, py::object query, py::object tokens,
                              py::object total_cost) {
  py::module_ httpx = py::module_::import("httpx");
  py::dict body;
  body["norvi_api_key"] = norvi_api_key;
  body["query"] = query;
  body["tokens"] = tokens;
  body["total_cost"] = total_cost;
  py::dict headers = service_headers();
  headers["Content-Type"] = "application/json";
  std::string endpoint = service_url() + "/norvi/user_questions/";
  try {
    py::object response = common::with_block(
        httpx.attr("Client")(py::arg("timeout") = service_timeout()), [&](py::object client) {
          return client.attr("post")(endpoint, py::arg("json") = body,
                                     py::arg("headers") = headers);
        });
    py::object status = response.attr("status_code");
    if (status.equal(py::int_(201))) {
      py::print(py::str("Success at:Norvi1!."));
      return response.attr("json")();
    }
    py::print(py::str("Failed at:Norvi0! : "));
    return py::none();
  } catch (py::error_already_set& error) {
    if (!error.matches(httpx.attr("HTTPError"))) throw;
    py::print(py::str("An error occurred during the API request: {}").format(error.value()));
    return py::none();
  }
}

}  // namespace

PYBIND11_MODULE(api, m) {
  py::module_ logging = py::module_::import("logging");
  for (const char* name : {"logging", "requests", "httpx"}) {
    m.add_object(name, py::module_::import(name));
  }
  logging.attr("basicConfig")(py::arg("level") = logging.attr("INFO"));
  logging.attr("getLogger")("httpx").attr("setLevel")(logging.attr("WARNING"));

  std::string url = service_url();
  m.add_object("base_url", py::str(url + "/"));
  m.add_object("default_model_url", py::str(url + "/norvi/get_default_model/"));

  define_handler(m);
  // The time-out and headers of every service call, for the agent's own request to the service.
  common::def_signed(m, "_service_timeout", "", &service_timeout);
  common::def_signed(m, "_service_headers", "", &service_headers);
  common::def_signed(m, "send_user_question", "norvi_api_key, query, tokens, total_cost",
                     &send_user_question, py::arg("norvi_api_key"), py::arg("query"),
                     py::arg("tokens"), py::arg("total_cost"));
}
