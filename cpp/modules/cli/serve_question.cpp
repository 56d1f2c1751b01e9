// One question for the server: the graph run with a progress reporter of its own, its usage
// counted apart from every other question's, and the result the HTTP API returns.
#include <chrono>
#include <optional>
#include <string>

#include "modules/cli/serve.hpp"
#include "modules/common/contract.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;
namespace key = norviai::contract::key;

PYBIND11_CONSTINIT common::ProcessRef reporter_var;

py::object import(const char* name) { return py::module_::import(name); }

std::string dumps(py::handle value) {
  return py::str(import("json").attr("dumps")(
      value, py::arg("default") = import("builtins").attr("str"), py::arg("ensure_ascii") = false));
}

// The progress handler of the question running on this thread. Each server thread runs in a
// context of its own, so a handler set here reaches only its own question's runs, and the
// shared agent's configuration is never changed.
py::handle reporter() {
  if (!reporter_var.get()) {
    py::object var =
        import("contextvars")
            .attr("ContextVar")("norviai_serve_reporter", py::arg("default") = py::none());
    import("langchain_core.tracers.context").attr("register_configure_hook")(var, true);
    reporter_var.set(var);
  }
  return reporter_var.get();
}

// The first line of the error, "TypeName: text", with passwords masked.
std::string error_line(py::handle error) {
  std::string text = py::str(error);
  if (auto newline = text.find('\n'); newline != std::string::npos) text.resize(newline);
  return mask_passwords(std::string(py::str(py::type::handle_of(error).attr("__name__"))) + ": " +
                        text);
}

// The last result's rows with their column names. The state keeps that result only as text,
// so the query is run once more through the wrapper's read-only path, which returns a cursor.
void add_rows(py::object db, py::object state, py::dict& result) {
  result["columns"] = py::none();
  result["rows"] = py::none();
  py::object queries = state.attr("get")(key::kGeneratedSqlQuery);
  if (!common::truthy(state.attr("get")(key::kExecutionSuccess)) || !common::truthy(queries)) {
    return;
  }
  common::except_exception(
      [&] {
        py::object cursor =
            db.attr("run")(queries.attr("__getitem__")(-1), py::arg("fetch") = "cursor");
        result["columns"] = py::list(cursor.attr("keys")());
        py::list rows;
        for (py::handle row : cursor) {
          rows.append(py::list(py::reinterpret_borrow<py::object>(row)));
        }
        result["rows"] = rows;
        return py::none();
      },
      [&](py::object error) {
        result["rows_error"] = error_line(error);
        return py::none();
      });
}

// A question that raised: its error line, and the tokens and cost its model calls had reported
// by then (the usage counter hands them over on the exception, or the run had finished).
void add_failure(py::handle error, py::dict& result) {
  result["outcome"] = "failed";
  result["error"] = error_line(error);
  for (const char* name : {"answer", "analysis_code", "plot_url", "columns", "rows"}) {
    result[name] = py::none();
  }
  result["sql"] = py::list();
  if (result.contains("tokens")) return;
  const Usage spent = usage_of_failure(error);
  result["tokens"] = spent.tokens;
  result["cost"] = spent.cost;
}

}  // namespace

QuestionDesk::QuestionDesk(py::object agent, std::string media_root)
    : agent_(std::move(agent)), media_root_(std::move(media_root)) {
  reporter();
}

std::string QuestionDesk::ask(const std::string& question, const EventSink& on_event) {
  py::gil_scoped_acquire gil;
  const auto started = std::chrono::steady_clock::now();
  const std::string folder = media_root_ + "/q" + std::to_string(++next_id_);

  // Without a sink no handler is set: each event would hand the GIL over twice for nothing.
  std::optional<py::object> token;
  if (on_event) {
    py::cpp_function report([&on_event](py::object kind, py::object step, py::object seconds) {
      py::dict event;
      event["step"] = step;
      if (!seconds.is_none()) event["seconds"] = seconds;
      const std::string kind_text = py::str(kind);
      const std::string json = dumps(event);
      py::gil_scoped_release release;  // the client may be slow to read
      on_event(kind_text, json);
    });
    token = reporter().attr("set")(progress_handler(report));
  }

  py::dict result;
  result["question"] = question;
  common::except_exception(
      [&] {
        py::tuple counted = import("norviai.agent").attr("_ask_counted")(agent_, question, folder);
        py::object state = counted[0];
        py::dict usage = counted[1];
        result["tokens"] = usage["total_tokens"];
        result["cost"] = usage["total_cost"];
        result["outcome"] =
            common::truthy(state.attr("get")(key::kExecutionSuccess)) ? "answered" : "gave up";
        result["answer"] = state.attr("get")(key::kFinalResponse);
        py::object queries = state.attr("get")(key::kGeneratedSqlQuery);
        result["sql"] = queries.is_none() ? py::list() : py::list(queries);
        add_rows(agent_.attr("db"), state, result);
        result["analysis_code"] = state.attr("get")(key::kPandasCode);
        const std::string plot = register_plot(folder, state.attr("get")(key::kImagePath));
        result["plot_url"] = plot.empty() ? py::object(py::none()) : py::str("/v1/plots/" + plot);
        return py::none();
      },
      [&](py::object error) {
        add_failure(error, result);
        return py::none();
      });
  if (token) reporter().attr("reset")(*token);
  result["seconds"] =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return dumps(result);
}

std::string QuestionDesk::register_plot(const std::string& folder, py::object image_path) {
  if (!common::truthy(image_path)) return "";
  py::object path = import("os.path");
  const std::string root = py::str(path.attr("realpath")(folder));
  const std::string file = py::str(path.attr("realpath")(path.attr("join")(folder, image_path)));
  // Only what the question's own run wrote: a path the model names elsewhere is not served.
  if (!file.starts_with(root + "/") || !common::truthy(path.attr("isfile")(file))) return "";
  const std::string name =
      folder.substr(folder.rfind('/') + 1) + "-" + file.substr(file.rfind('/') + 1);
  std::lock_guard lock(plots_mutex_);
  plots_[name] = file;
  return name;
}

std::optional<std::string> QuestionDesk::plot_path(const std::string& name) const {
  std::lock_guard lock(plots_mutex_);
  auto found = plots_.find(name);
  if (found == plots_.end()) return std::nullopt;
  return found->second;
}

std::string QuestionDesk::tables() {
  py::gil_scoped_acquire gil;
  py::dict body;
  body["tables"] = py::list(agent_.attr("db").attr("get_usable_table_names")());
  return dumps(body);
}

}  // namespace norviai::cli
