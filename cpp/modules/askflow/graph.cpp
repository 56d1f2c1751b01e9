// SQLGraph: builds the chat models, the relevant-table picker and one object per step, wires
// them into a langgraph state graph over SQLState, and answers a question per invoke.
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "modules/askflow/askflow.hpp"
#include "modules/common/contract.hpp"
#include "modules/common/model_call.hpp"

namespace norviai::askflow {

namespace {

namespace common = norviai::py_common;

struct ModelSpec {
  const char* attribute;
  bool large;  // the larger deployment (config_4)
  int max_tokens;
};

// In the order they are created.
constexpr ModelSpec kModels[] = {
    {"relevant_tables_model", false, 8192}, {"sql_generation_model", true, 4096},
    {"response_model", false, 4096},        {"pandas_code_model", false, 8192},
    {"pandas_ai_model", false, 4096},
};

common::ProcessRef module_ref;

// A name of this module's namespace, such as a step class or a library name it imported.
py::object global(const char* name) { return common::module_global(module_ref.get(), name); }

py::object dict_type() { return py::reinterpret_borrow<py::object>((PyObject*)&PyDict_Type); }
py::object list_type() { return py::reinterpret_borrow<py::object>((PyObject*)&PyList_Type); }
py::object int_type() { return py::reinterpret_borrow<py::object>((PyObject*)&PyLong_Type); }

py::object make_runnable_config(py::object metadata, py::object tags, py::object max_concurrency,
                                py::object recursion_limit) {
  common::require_exact_type_or_none(metadata, dict_type(), "metadata");
  common::require_exact_type(tags, list_type(), "tags");
  common::require_exact_type_or_none(max_concurrency, int_type(), "max_concurrency");
  common::require_exact_type(recursion_limit, int_type(), "recursion_limit");
  return global("RunnableConfig")(py::arg("metadata") = metadata, py::arg("tags") = tags,
                                  py::arg("max_concurrency") = max_concurrency,
                                  py::arg("recursion_limit") = recursion_limit);
}

namespace node = contract::node;
namespace outcome = contract::outcome;

// How a node's callable is made: a module function, the picker, or a step class built with the
// database and/or the named SQLGraph model.
enum class Make { kFunction, kPicker, kDbStep, kModelStep };

struct NodeSpec {
  const char* name;
  Make make;
  const char* callable;  // function or step class
  const char* model;     // SQLGraph attribute, or nullptr
};

constexpr NodeSpec kNodes[] = {
    {node::kInit, Make::kFunction, "initialisation", nullptr},
    {node::kTableNamesLookup, Make::kDbStep, "TableNamesLookup", nullptr},
    {node::kRelevantTableNames, Make::kPicker, nullptr, nullptr},
    {node::kRelevantSchemas, Make::kDbStep, "RelevantSchemas", nullptr},
    {node::kSqlGeneration, Make::kDbStep, "SQLGeneration", "sql_generation_model"},
    {node::kRewriteQuery, Make::kDbStep, "RewriteQuery", "pandas_ai_model"},
    {node::kSqlSyntaxChecker, Make::kDbStep, "SQLSyntaxChecker", "relevant_tables_model"},
    {node::kSqlExecution, Make::kDbStep, "SQLExecution", nullptr},
    {node::kPandasGenerator, Make::kModelStep, "PandasGenerator", "pandas_code_model"},
    {node::kPandasExecutor, Make::kModelStep, "PandasExecutor", "pandas_ai_model"},
    {node::kFinalResponseGeneration, Make::kModelStep, "GenerateResponse", "response_model"},
    {node::kPandasErrorHandler, Make::kFunction, "handle_pandas_error", nullptr},
    {node::kSqlErrorHandler, Make::kFunction, "handle_sql_error", nullptr},
};

struct Route {
  const char* outcome;
  const char* node;
};

constexpr Route kPandasExecutionRoutes[] = {
    {outcome::kFinalResponse, node::kFinalResponseGeneration},
    {outcome::kPandasExecutionError, node::kPandasErrorHandler},
};
constexpr Route kSqlExecutionRoutes[] = {
    {outcome::kPandasGeneration, node::kPandasGenerator},
    {outcome::kSqlExecutionError, node::kSqlErrorHandler},
};
constexpr Route kSqlErrorRoutes[] = {
    {outcome::kRegenerateSqlQuery, node::kSqlGeneration},
    {outcome::kTerminalFailureResponse, node::kFinalResponseGeneration},
    {outcome::kRewriteQuery, node::kRewriteQuery},
};
constexpr Route kPandasErrorRoutes[] = {
    {outcome::kRegeneratePandasCode, node::kPandasGenerator},
    {outcome::kTerminalFailureResponse, node::kFinalResponseGeneration},
};

// One call on the StateGraph, in the order the graph is built. `to` nullptr is END.
enum class Wire { kNode, kEntry, kEdge, kConditional };

struct Wiring {
  Wire wire;
  const char* from;  // the node added, the entry, or the edge's source
  const char* to = nullptr;
  const char* condition = nullptr;
  std::span<const Route> routes = {};
};

constexpr Wiring kWiring[] = {
    {Wire::kNode, node::kInit},
    {Wire::kEntry, node::kInit},
    {Wire::kNode, node::kTableNamesLookup},
    {Wire::kEdge, node::kInit, node::kTableNamesLookup},
    {Wire::kNode, node::kRelevantTableNames},
    {Wire::kEdge, node::kTableNamesLookup, node::kRelevantTableNames},
    {Wire::kNode, node::kRelevantSchemas},
    {Wire::kEdge, node::kRelevantTableNames, node::kRelevantSchemas},
    {Wire::kNode, node::kSqlGeneration},
    {Wire::kEdge, node::kRelevantSchemas, node::kSqlGeneration},
    {Wire::kNode, node::kRewriteQuery},
    {Wire::kEdge, node::kRewriteQuery, node::kRelevantTableNames},
    {Wire::kNode, node::kSqlSyntaxChecker},
    {Wire::kEdge, node::kSqlGeneration, node::kSqlSyntaxChecker},
    {Wire::kNode, node::kSqlExecution},
    {Wire::kEdge, node::kSqlSyntaxChecker, node::kSqlExecution},
    {Wire::kNode, node::kPandasGenerator},
    {Wire::kNode, node::kPandasExecutor},
    {Wire::kEdge, node::kPandasGenerator, node::kPandasExecutor},
    {Wire::kNode, node::kFinalResponseGeneration},
    {Wire::kEdge, node::kFinalResponseGeneration, nullptr},
    {Wire::kEdge, node::kPandasExecutor, node::kFinalResponseGeneration},
    {Wire::kNode, node::kPandasErrorHandler},
    {Wire::kConditional, node::kPandasExecutor, nullptr, "pandas_execution_condition",
     kPandasExecutionRoutes},
    {Wire::kNode, node::kSqlErrorHandler},
    {Wire::kConditional, node::kSqlExecution, nullptr, "sql_execution_condition",
     kSqlExecutionRoutes},
    {Wire::kConditional, node::kSqlErrorHandler, nullptr, "sql_error_handler_condition",
     kSqlErrorRoutes},
    {Wire::kConditional, node::kPandasErrorHandler, nullptr, "pandas_error_handler_condition",
     kPandasErrorRoutes},
};

const NodeSpec& node_spec(std::string_view name) {
  for (const auto& spec : kNodes) {
    if (name == spec.name) return spec;
  }
  throw std::logic_error("no such node");  // the tables above disagree
}

// The node's callable: a module function, the picker's invoke or a new step's invoke.
py::object node_callable(py::object self, const NodeSpec& spec) {
  switch (spec.make) {
    case Make::kFunction:
      return global(spec.callable);
    case Make::kPicker:
      return self.attr("relevant_table_picker").attr("invoke");
    case Make::kDbStep:
    case Make::kModelStep:
      break;
  }
  py::dict collaborators;
  if (spec.make == Make::kDbStep) collaborators["db"] = self.attr("db");
  if (spec.model != nullptr) collaborators["model"] = self.attr(spec.model);
  return global(spec.callable)(**collaborators).attr("invoke");
}

py::object compile_graph(py::object self) {
  py::object graph = self.attr("graph");
  for (const auto& step : kWiring) {
    switch (step.wire) {
      case Wire::kNode:
        graph.attr("add_node")(step.from, node_callable(self, node_spec(step.from)));
        break;
      case Wire::kEntry:
        graph.attr("set_entry_point")(step.from);
        break;
      case Wire::kEdge:
        graph.attr("add_edge")(step.from, step.to ? py::object(py::str(step.to)) : global("END"));
        break;
      case Wire::kConditional: {
        py::dict routes;
        for (const auto& route : step.routes) routes[route.outcome] = route.node;
        graph.attr("add_conditional_edges")(step.from, global(step.condition), routes);
        break;
      }
    }
  }
  return graph.attr("compile")();
}

// The graph in graphviz's language: solid edges always run, dashed ones are conditional.
std::string dot_text(py::object drawable) {
  auto quoted = [](py::handle text) {
    std::string value = py::str(text);
    std::string out = "\"";
    for (char c : value) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  std::string dot =
      "digraph G {\n  rankdir=TB;\n  node [shape=box, style=\"rounded,filled\", "
      "fillcolor=\"#f2f0ff\", fontname=\"Helvetica\"];\n";
  for (auto item : drawable.attr("nodes").attr("values")()) {
    dot += "  " + quoted(item.attr("id")) + " [label=" + quoted(item.attr("name")) + "];\n";
  }
  for (auto edge : drawable.attr("edges")) {
    dot += "  " + quoted(edge.attr("source")) + " -> " + quoted(edge.attr("target"));
    if (common::truthy(edge.attr("conditional"))) dot += " [style=dashed]";
    dot += ";\n";
  }
  return dot + "}\n";
}

// PNG bytes drawn on this machine by graphviz, so the graph never leaves it.
py::bytes draw_png_locally(py::object drawable) {
  py::module_ subprocess = py::module_::import("subprocess");
  py::list command;
  command.append("dot");
  command.append("-Tpng");
  py::object completed = subprocess.attr("run")(
      command, py::arg("input") = py::bytes(dot_text(drawable)), py::arg("capture_output") = true,
      py::arg("check") = true, py::arg("timeout") = 60);
  return completed.attr("stdout");
}

// Sets the attributes in their documented order; `make_model` builds one chat model and
// `make_picker` the relevant-table picker.
template <typename MakeModel, typename MakePicker>
void initialise(py::object self, py::object custom_sql_db, MakeModel&& make_model,
                MakePicker&& make_picker) {
  self.attr("db") = custom_sql_db;
  self.attr("graph") = global("StateGraph")(global("SQLState"));
  self.attr("runnable_config") = self.attr("_config_graph")();
  for (const auto& spec : kModels) self.attr(spec.attribute) = make_model(spec);
  self.attr("relevant_table_picker") = make_picker();
  self.attr("compiled_graph") = self.attr("_compile_graph")(self.attr("runnable_config"));
}

py::dict sampling_settings(const ModelSpec& spec, double timeout) {
  py::dict model_kwargs;
  model_kwargs["top_p"] = 0.95;
  py::dict settings;
  settings["max_tokens"] = spec.max_tokens;
  settings["temperature"] = 0;
  settings["model_kwargs"] = model_kwargs;
  settings["timeout"] = timeout;
  return settings;
}

// The question graph over any OpenAI-compatible server, for the command line: ChatOpenAI
// models and an openai.OpenAI picker client with the same per-model settings.
py::object openai_graph(py::object graph_class, py::object custom_sql_db, py::object small_model,
                        py::object large_model, py::object base_url, py::object api_key) {
  py::object self = py::module_::import("builtins").attr("object").attr("__new__")(graph_class);
  double timeout = common::model_timeout();
  py::object chat_openai = py::module_::import("langchain_openai").attr("ChatOpenAI");
  // Read once per agent: the server's own figure, else the one the user gives.
  std::optional<long> context = common::server_context(base_url, api_key, small_model);
  if (!context) context = common::context_from_environment();
  py::dict metadata;
  if (context) metadata[common::kContextMetadataKey] = *context;
  initialise(
      self, custom_sql_db,
      [&](const ModelSpec& spec) {
        // ChatOpenAI renames max_tokens to max_completion_tokens, which llama.cpp's server and
        // other OpenAI-compatible servers ignore; the body carries the name they honour.
        py::dict settings = sampling_settings(spec, timeout);
        py::dict extra_body;
        extra_body["max_tokens"] = settings.attr("pop")("max_tokens");
        return chat_openai(**settings, py::arg("extra_body") = extra_body,
                           py::arg("metadata") = metadata.attr("copy")(),
                           py::arg("model") = spec.large ? large_model : small_model,
                           py::arg("base_url") = base_url, py::arg("api_key") = api_key);
      },
      [&] {
        py::object client = py::module_::import("openai").attr("OpenAI")(
            py::arg("base_url") = base_url, py::arg("api_key") = api_key,
            py::arg("timeout") = timeout);
        py::object picker =
            global("RelevantTablePicker").attr("_from_client")(client, small_model, custom_sql_db);
        if (context) picker.attr("context_tokens") = *context;
        return picker;
      });
  return self;
}

// SQLGraph's constructor: Azure chat models from the two settings objects and the picker
// built from the smaller one.
void azure_graph(py::object self, py::object custom_sql_db, py::object config_35,
                 py::object config_4) {
  py::dict small_settings = config_35.attr("__dict__");
  py::dict large_settings = config_4.attr("__dict__");
  double timeout = common::model_timeout();
  initialise(
      self, custom_sql_db,
      [&](const ModelSpec& spec) {
        return global("AzureChatOpenAI")(**(spec.large ? large_settings : small_settings),
                                         **sampling_settings(spec, timeout));
      },
      [&] {
        return global("RelevantTablePicker")(py::arg("config") = config_35,
                                             py::arg("db") = custom_sql_db);
      });
}

// Prints the graph as ASCII art, or saves it as a PNG drawn locally.
void visualize_graph(py::object self, py::object visualization_type, py::object save_graph_path) {
  py::object drawable = self.attr("compiled_graph").attr("get_graph")();
  if (visualization_type.equal(py::str("ascii"))) {
    drawable.attr("print_ascii")();
    return;
  }
  py::object bytes_io = py::module_::import("io").attr("BytesIO");
  py::module_ graph_module = py::module_::import("langchain_core.runnables.graph");
  py::object curve_style = graph_module.attr("CurveStyle");
  py::object mermaid_draw_method = graph_module.attr("MermaidDrawMethod");
  // NodeColors is NodeStyles in the pinned langchain_core. The Mermaid names stay
  // imported for callers that draw with them; this method renders with graphviz.
  py::object node_colors = graph_module.attr("NodeStyles");
  (void)curve_style, (void)mermaid_draw_method, (void)node_colors;
  py::object image = py::module_::import("PIL.Image");
  py::object picture = image.attr("open")(bytes_io(draw_png_locally(drawable)));
  picture.attr("save")(save_graph_path);
}

}  // namespace

void define_graph(py::module_& m) {
  module_ref.set(m);
  // Marks "tags not given", since None must be refused like any other non-list.
  py::object default_tags = py::module_::import("builtins").attr("object")();
  common::ClassBuilder(m, "SQLGraph", py::module_::import("builtins").attr("object"))
      .method("__init__", "custom_sql_db, config_35, config_4", &azure_graph,
              py::arg("custom_sql_db"), py::arg("config_35"), py::arg("config_4"))
      .method(
          "_config_graph",
          "metadata=None, tags=['askflow'], max_concurrency=20, recursion_limit=50",
          [default_tags](py::object /*self*/, py::object metadata, py::object tags,
                         py::object max_concurrency, py::object recursion_limit) mutable {
            if (tags.is(default_tags)) {
              // A fresh list per call, so that no caller can change the default for others.
              py::list askflow_tag;
              askflow_tag.append("askflow");
              tags = askflow_tag;
            }
            return make_runnable_config(metadata, tags, max_concurrency, recursion_limit);
          },
          py::arg("metadata") = py::none(), py::arg("tags") = default_tags,
          py::arg("max_concurrency") = 20, py::arg("recursion_limit") = 50)
      .method(
          "_compile_graph", "runnable_config",
          [](py::object self, py::object /*runnable_config*/) { return compile_graph(self); },
          py::arg("runnable_config"))
      .method(
          "invoke", "inputs",
          [](py::object self, py::object inputs) {
            common::require_exact_type(inputs, dict_type(), "inputs");
            // Every step and route of this question reads its deadline.
            py::object final_state = common::with_question_deadline([&] {
              return self.attr("compiled_graph")
                  .attr("invoke")(inputs, py::arg("config") = self.attr("runnable_config"));
            });
            if (!final_state.is_none() && !py::isinstance<py::dict>(final_state)) {
              common::raise_error(
                  PyExc_TypeError,
                  "The final state must be of type 'dict', got '" +
                      std::string(py::str(py::type::handle_of(final_state).attr("__name__"))) +
                      "'");
            }
            return final_state;
          },
          py::arg("inputs"))
      .method("visualize_graph",
              "visualization_type='ascii', save_graph_path='graph_visualization.png'",
              &visualize_graph, py::arg("visualization_type") = "ascii",
              py::arg("save_graph_path") = "graph_visualization.png")
      .class_method(
          "_from_openai_server",
          {"custom_sql_db, small_model, large_model, base_url, api_key",
           "The question graph over any OpenAI-compatible server, for the command line:\n"
           "ChatOpenAI models and an openai.OpenAI picker client with the same per-model\n"
           "settings as the Azure constructor. Applications use the Azure constructor."},
          &openai_graph, py::arg("custom_sql_db"), py::arg("small_model"), py::arg("large_model"),
          py::arg("base_url"), py::arg("api_key"))
      .finish();
  // The command line's name for the class method.
  common::def_signed(
      m, "_openai_graph", "custom_sql_db, small_model, large_model, base_url, api_key",
      [](py::object db, py::object small, py::object large, py::object base_url,
         py::object api_key) {
        return global("SQLGraph").attr("_from_openai_server")(db, small, large, base_url, api_key);
      },
      py::arg("custom_sql_db"), py::arg("small_model"), py::arg("large_model"), py::arg("base_url"),
      py::arg("api_key"));
}

}  // namespace norviai::askflow
