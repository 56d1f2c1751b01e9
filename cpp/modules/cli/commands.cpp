// The command line: `norviai ask`, `norviai graph`, `norviai demo` and `norviai eval`. Progress
// goes to standard error, results to standard output, and an error is one clear line and a
// non-zero exit status (a traceback only with --debug).
#include <string>

#include "modules/cli/cli.hpp"

namespace norviai::cli {

namespace {

namespace common = norviai::py_common;

constexpr const char* kDemoQuestion =
    "Which five customers spent the most, and how much did each spend?";

py::object import(const char* name) { return py::module_::import(name); }

// Asks with the progress handler on the agent's callbacks.
Answer ask_question(py::object agent, const std::string& question, py::object media) {
  py::dict config = agent.attr("runnable_config").attr("copy")();
  py::list callbacks;
  callbacks.append(progress_handler());
  config["callbacks"] = callbacks;
  agent.attr("runnable_config") = config;
  py::tuple counted = import("norviai.agent").attr("_ask_counted")(agent, question, media);
  py::dict usage = counted[1];
  return Answer{counted[0], usage["total_tokens"], usage["total_cost"]};
}

int run_ask(py::object args, const std::string& question, bool announce_source) {
  Session session;
  session.source = model_source(common::truthy(args.attr("offline")));
  if (announce_source) out("Using " + describe(session.source) + ".");
  py::object url = database_url(args.attr("db"));
  build_agent(session, url);
  Answer answer = ask_question(session.agent, question,
                               import("os").attr("path").attr("abspath")(args.attr("media")));
  print_answer(answer, common::truthy(args.attr("json")));
  if (session.source == ModelSource::kService) {
    import("norviai.api")
        .attr("send_user_question")(py::str(env("NORVIAI_API_KEY")), py::str(question),
                                    answer.tokens, answer.cost);
  }
  return 0;
}

int run_graph(py::object args) {
  py::object agent = drawing_agent();
  py::object png = args.attr("png");
  if (png.is_none()) {
    agent.attr("visualize_graph")();
  } else {
    agent.attr("visualize_graph")("png", png);
    out("Graph drawn to " + std::string(py::str(png)));
  }
  return 0;
}

void add_serve_parser(py::object commands) {
  py::object serve = commands.attr("add_parser")(
      "serve", py::arg("help") = "answer questions over HTTP, with a web page");
  add_db_option(serve);
  serve.attr("add_argument")("--host", py::arg("default") = "127.0.0.1",
                             py::arg("help") = "address to listen on (default 127.0.0.1)");
  serve.attr("add_argument")("--port",
                             py::arg("type") = py::module_::import("builtins").attr("int"),
                             py::arg("default") = 8740, py::arg("help") = "port (default 8740)");
  serve.attr("add_argument")(
      "--pool", py::arg("type") = py::module_::import("builtins").attr("int"),
      py::arg("default") = 4, py::arg("help") = "questions answered at once (default 4)");
  serve.attr("add_argument")("--token-file", py::arg("metavar") = "FILE",
                             py::arg("help") = "require Authorization: Bearer <the file's token>");
  serve.attr("add_argument")("--allowed-host", py::arg("metavar") = "NAME",
                             py::arg("action") = "append",
                             py::arg("help") = "a further name the Host header may give");
  add_model_options(serve);
}

py::object parser() {
  py::object argparse = import("argparse");
  py::object parser = argparse.attr("ArgumentParser")(
      py::arg("prog") = "norviai",
      py::arg("description") = "Ask questions of a relational database in plain language.");
  py::object commands =
      parser.attr("add_subparsers")(py::arg("dest") = "command", py::arg("required") = true);
  py::object ask = commands.attr("add_parser")("ask", py::arg("help") = "answer one question");
  ask.attr("add_argument")("question", py::arg("help") = "the question, in plain language");
  add_db_option(ask);
  for (py::object sub :
       {ask, commands.attr("add_parser")("demo", py::arg("help") = "ask the demo question on the "
                                                                   "bundled sample database")}) {
    sub.attr("add_argument")("--media", py::arg("metavar") = "DIR",
                             py::arg("default") = "norviai-media",
                             py::arg("help") = "folder for plots (default: norviai-media)");
    sub.attr("add_argument")("--json", py::arg("action") = "store_true",
                             py::arg("help") = "print the result mapping as JSON");
    add_model_options(sub);
  }
  add_serve_parser(commands);
  py::object mcp = commands.attr("add_parser")(
      "mcp", py::arg("help") = "offer the database as MCP tools over standard input and output");
  add_db_option(mcp);
  add_model_options(mcp);
  py::object graph =
      commands.attr("add_parser")("graph", py::arg("help") = "show the question graph");
  graph.attr("add_argument")("--png", py::arg("metavar") = "FILE",
                             py::arg("help") = "draw the graph to a PNG file instead");
  graph.attr("add_argument")("--debug", py::arg("action") = "store_true",
                             py::arg("help") = "show tracebacks");
  add_eval_parser(commands);
  return parser;
}

// Library chatter (deprecation warnings, step timings, the picker's import line) stays off
// standard output, which carries only results, and off the terminal unless --debug.
void quiet_libraries(bool debug) {
  py::object sys = import("sys");
  if (!debug) {
    // langchain turns its deprecation warnings back on when it is imported: import it first.
    import("langchain");
    import("warnings").attr("filterwarnings")("ignore");
    py::object logger = import("loguru").attr("logger");
    logger.attr("remove")();
    logger.attr("add")(sys.attr("stderr"), py::arg("level") = "WARNING");
  }
  py::object sink = debug ? sys.attr("stderr") : import("io").attr("StringIO")();
  common::with_block(import("contextlib").attr("redirect_stdout")(sink), [](py::object) {
    // The agent module also loads a .env file, so its settings count like the environment's.
    return import("norviai.agent");
  });
  // The vendor client logs at INFO, which would put the openai client's retry lines on the
  // terminal; a question's failure says what went wrong once, in its own line.
  if (!debug) {
    py::object logging = import("logging");
    logging.attr("getLogger")("openai").attr("setLevel")(logging.attr("WARNING"));
  }
}

// argparse writes its own errors, which echo arguments back: they are masked like ours.
py::object parse_arguments(py::object argv) {
  py::object captured = import("io").attr("StringIO")();
  auto replay = [&] { err_text(py::str(captured.attr("getvalue")())); };
  py::object args;
  try {
    args = common::with_block(import("contextlib").attr("redirect_stderr")(captured),
                              [&](py::object) { return parser().attr("parse_args")(argv); });
  } catch (py::error_already_set&) {
    replay();
    throw;
  }
  replay();
  return args;
}

// Runs the parsed command and returns its exit status.
int run_command(py::object args, const std::string& command, bool debug) {
  quiet_libraries(debug);
  if (command == "graph") return run_graph(args);
  if (command == "eval") return run_eval(args);
  if (command == "serve") return run_serve(args);
  if (command == "mcp") return run_mcp(args);
  if (command == "demo") {
    const bool configured = configured_source().has_value();
    args.attr("db") = py::none();
    if (!configured) {
      args.attr("offline") = true;
      out("No model settings in the environment: the demo runs on " +
          describe(ModelSource::kOffline) + ".");
    }
    out("Question: " + std::string(kDemoQuestion));
    return run_ask(args, kDemoQuestion, configured);
  }
  return run_ask(args, py::str(args.attr("question")), false);
}

int main_entry(py::object argv) {
  py::object args = parse_arguments(argv);
  std::string command = py::str(args.attr("command"));
  bool debug = common::truthy(args.attr("debug"));
  // eval writes its --json to a file, with every question's outcome in it.
  const bool json_failure =
      (command == "ask" || command == "demo") && common::truthy(args.attr("json"));
  try {
    int status = 1;
    common::except_exception(
        [&] {
          status = run_command(args, command, debug);
          return py::none();
        },
        [&](py::object error) {
          if (debug) {
            py::object lines = import("traceback")
                                   .attr("format_exception")(py::type::handle_of(error), error,
                                                             error.attr("__traceback__"));
            err_text(py::str(py::str("").attr("join")(lines)));
          }
          const std::string cause = explain(error);
          err("norviai: error: " + cause);
          if (json_failure) {
            print_failure_json(is_timeout(error) ? "timed out" : "failed", cause,
                               usage_of_failure(error));
          }
          status = 1;
          return py::none();
        });
    return status;
  } catch (const UserError& error) {
    err(std::string("norviai: error: ") + error.what());
    if (json_failure) print_failure_json("failed", error.what(), {});
    return 1;
  }
}

}  // namespace

void add_db_option(py::object command) {
  command.attr("add_argument")(
      "--db", py::arg("metavar") = "URL",
      py::arg("help") = "SQLAlchemy URL or SQLite file (default: the bundled sample database)");
}

void add_model_options(py::object command) {
  command.attr("add_argument")("--offline", py::arg("action") = "store_true",
                               py::arg("help") = "use the bundled offline stand-in model");
  command.attr("add_argument")("--debug", py::arg("action") = "store_true",
                               py::arg("help") = "show tracebacks");
}

void define_commands(py::module_& m) {
  common::def_signed(m, "main", "argv=None", &main_entry, py::arg("argv") = py::none());
}

}  // namespace norviai::cli
