// `norviai mcp`: the agent's database as MCP tools over standard input and output, on the
// official SDK's MCPServer. The SDK runs each tool call on a worker thread of its own, holding the
// GIL as Python threads do. Standard output carries the protocol, so everything else printed
// while the agent is built goes to standard error.
#include <string>

#include "modules/cli/serve.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;

py::object import(const char* name) { return py::module_::import(name); }

std::string dumps(py::handle value) {
  return py::str(import("json").attr("dumps")(
      value, py::arg("default") = import("builtins").attr("str"), py::arg("ensure_ascii") = false));
}

// A C++ callable with the typed signature the SDK reads its argument schema from: a partial
// object, unlike a builtin function, takes a __signature__.
py::object typed_tool(py::cpp_function function, py::list parameters, py::object returns) {
  py::object inspect = import("inspect");
  py::object tool = import("functools").attr("partial")(function);
  tool.attr("__signature__") =
      inspect.attr("Signature")(parameters, py::arg("return_annotation") = returns);
  return tool;
}

py::object parameter(const char* name, py::object annotation) {
  py::object kind = import("inspect").attr("Parameter").attr("POSITIONAL_OR_KEYWORD");
  return import("inspect").attr("Parameter")(name, kind, py::arg("annotation") = annotation);
}

// The SDK shows the model only the text of a ToolError; other errors it hides entirely. A
// refused query or an unknown table is something the model should read and correct.
template <typename Body>
std::string reported(Body&& body) {
  return py::str(common::except_exception(
      [&] { return py::object(py::str(body())); },
      [](py::object error) -> py::object {
        std::string text = py::str(py::type::handle_of(error).attr("__name__"));
        text += ": " + std::string(py::str(error));
        py::object tool_error = import("mcp.server.mcpserver.exceptions").attr("ToolError");
        common::raise_error(tool_error, mask_passwords(text));
      }));
}

}  // namespace

int run_mcp(py::object args) {
  Session session;
  session.source = model_source(common::truthy(args.attr("offline")));
  py::object sys = import("sys");
  common::with_block(import("contextlib").attr("redirect_stdout")(sys.attr("stderr")),
                     [&](py::object) {
                       build_agent(session, database_url(args.attr("db")));
                       return py::none();
                     });
  const std::string media =
      py::str(import("tempfile").attr("mkdtemp")(py::arg("prefix") = "norviai-mcp-"));
  QuestionDesk desk(session.agent, media);
  py::object db = session.agent.attr("db");
  py::object str = import("builtins").attr("str");
  py::object list_of_str = import("builtins").attr("list").attr("__class_getitem__")(str);

  py::object server = import("mcp.server.mcpserver")
                          .attr("MCPServer")("norviai", py::arg("instructions") =
                                                            "Questions about one relational "
                                                            "database, answered from its data.");
  auto add = [&](const char* name, const char* description, py::object tool) {
    tool.attr("__name__") = name;
    server.attr("add_tool")(tool, py::arg("name") = name, py::arg("description") = description);
  };

  py::list question_parameters;
  question_parameters.append(parameter("question", str));
  add("ask_database",
      "Answer a plain-language question about the database: the answer, the SQL it ran, the "
      "last rows with their column names, the analysis code, the plot file, tokens, cost and "
      "outcome (answered, gave up or failed), as JSON.",
      typed_tool(py::cpp_function(
                     [&desk](const std::string& question) {
                       py::object result = import("json").attr("loads")(desk.ask(question));
                       py::object url = result.attr("pop")("plot_url");
                       py::object file = py::none();
                       if (!url.is_none()) {
                         std::string name = py::str(url);
                         if (auto path = desk.plot_path(name.substr(name.rfind('/') + 1))) {
                           file = py::str(*path);
                         }
                       }
                       result["plot_file"] = file;
                       return dumps(result);
                     },
                     py::arg("question")),
                 question_parameters, str));

  add("list_tables", "The names of the database's tables, as JSON.",
      typed_tool(py::cpp_function([db]() { return dumps(db.attr("get_usable_table_names")()); }),
                 py::list(), str));

  py::list names_parameters;
  names_parameters.append(parameter("names", list_of_str));
  add("describe_tables", "CREATE TABLE text and three sample rows of each named table.",
      typed_tool(py::cpp_function(
                     [db](py::object names) {
                       return reported([&] { return db.attr("get_table_info")(py::list(names)); });
                     },
                     py::arg("names")),
                 names_parameters, str));

  py::list sql_parameters;
  sql_parameters.append(parameter("sql", str));
  add("run_query",
      "Run one read-only SQL query (a read-only transaction that is rolled back, under a time "
      "limit and a row cap) and return its rows as text.",
      typed_tool(py::cpp_function(
                     [db](py::object sql) { return reported([&] { return db.attr("run")(sql); }); },
                     py::arg("sql")),
                 sql_parameters, str));

  try {
    server.attr("run")("stdio");
  } catch (...) {
    import("shutil").attr("rmtree")(media, py::arg("ignore_errors") = true);
    throw;
  }
  import("shutil").attr("rmtree")(media, py::arg("ignore_errors") = true);
  return 0;
}

}  // namespace norviai::cli
