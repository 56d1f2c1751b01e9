// SQLGraph: builds the chat models, the relevant-table picker and one object per step, wires
// them into a langgraph state graph over SQLState, and answers a question per invoke.
#include <string>

#include "modules/askflow/askflow.hpp"

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

py::object global(py::module_& m, const char* name) { return m.attr(name); }

py::object dict_type() { return py::reinterpret_borrow<py::object>((PyObject*)&PyDict_Type); }
py::object list_type() { return py::reinterpret_borrow<py::object>((PyObject*)&PyList_Type); }
py::object int_type() { return py::reinterpret_borrow<py::object>((PyObject*)&PyLong_Type); }

py::object make_runnable_config(py::module_& m, py::object metadata, py::object tags,
                                py::object max_concurrency, py::object recursion_limit) {
  common::require_exact_type_or_none(metadata, dict_type(), "metadata");
  common::require_exact_type(tags, list_type(), "tags");
  common::require_exact_type_or_none(max_concurrency, int_type(), "max_concurrency");
  common::require_exact_type(recursion_limit, int_type(), "recursion_limit");
  return global(m, "RunnableConfig")(py::arg("metadata") = metadata, py::arg("tags") = tags,
                                     py::arg("max_concurrency") = max_concurrency,
                                     py::arg("recursion_limit") = recursion_limit);
}

py::dict outcome_map(std::initializer_list<std::pair<const char*, const char*>> entries) {
  py::dict map;
  for (const auto& [label, node] : entries) map[label] = node;
  return map;
}

py::object compile_graph(py::module_& m, py::object self) {
  py::object graph = self.attr("graph");
  py::object db = self.attr("db");
  // A step's invoke: built with the database and, when named, the SQLGraph model it uses.
  auto db_step = [&](const char* class_name, const char* model = nullptr) -> py::object {
    py::dict collaborators;
    collaborators["db"] = db;
    if (model != nullptr) collaborators["model"] = self.attr(model);
    return global(m, class_name)(**collaborators).attr("invoke");
  };
  auto model_step = [&](const char* class_name, const char* model) -> py::object {
    return global(m, class_name)(py::arg("model") = self.attr(model)).attr("invoke");
  };
  py::object end = global(m, "END");

  graph.attr("add_node")("init_node", global(m, "initialisation"));
  graph.attr("set_entry_point")("init_node");
  graph.attr("add_node")("table_names_lookup_node", db_step("TableNamesLookup"));
  graph.attr("add_edge")("init_node", "table_names_lookup_node");
  graph.attr("add_node")("relevant_table_names_node",
                         self.attr("relevant_table_picker").attr("invoke"));
  graph.attr("add_edge")("table_names_lookup_node", "relevant_table_names_node");
  graph.attr("add_node")("relevant_schemas_node", db_step("RelevantSchemas"));
  graph.attr("add_edge")("relevant_table_names_node", "relevant_schemas_node");
  graph.attr("add_node")("sql_generation_node", db_step("SQLGeneration", "sql_generation_model"));
  graph.attr("add_edge")("relevant_schemas_node", "sql_generation_node");
  graph.attr("add_node")("rewrite_query_node", db_step("RewriteQuery", "pandas_ai_model"));
  graph.attr("add_edge")("rewrite_query_node", "relevant_table_names_node");
  graph.attr("add_node")("sql_syntax_checker_node",
                         db_step("SQLSyntaxChecker", "relevant_tables_model"));
  graph.attr("add_edge")("sql_generation_node", "sql_syntax_checker_node");
  graph.attr("add_node")("sql_execution_node", db_step("SQLExecution"));
  graph.attr("add_edge")("sql_syntax_checker_node", "sql_execution_node");
  graph.attr("add_node")("pandas_generator_node",
                         model_step("PandasGenerator", "pandas_code_model"));
  graph.attr("add_node")("pandas_executor_node", model_step("PandasExecutor", "pandas_ai_model"));
  graph.attr("add_edge")("pandas_generator_node", "pandas_executor_node");
  graph.attr("add_node")("final_response_generation_node",
                         model_step("GenerateResponse", "response_model"));
  graph.attr("add_edge")("final_response_generation_node", end);
  graph.attr("add_edge")("pandas_executor_node", "final_response_generation_node");
  graph.attr("add_node")("pandas_error_handler_node", global(m, "handle_pandas_error"));
  graph.attr("add_conditional_edges")(
      "pandas_executor_node", global(m, "pandas_execution_condition"),
      outcome_map({{"final_response", "final_response_generation_node"},
                   {"pandas_execution_error", "pandas_error_handler_node"}}));
  graph.attr("add_node")("sql_error_handler_node", global(m, "handle_sql_error"));
  graph.attr("add_conditional_edges")(
      "sql_execution_node", global(m, "sql_execution_condition"),
      outcome_map({{"pandas_generation", "pandas_generator_node"},
                   {"sql_execution_error", "sql_error_handler_node"}}));
  graph.attr("add_conditional_edges")(
      "sql_error_handler_node", global(m, "sql_error_handler_condition"),
      outcome_map({{"regenerate_sql_query", "sql_generation_node"},
                   {"terminal_failure_response", "final_response_generation_node"},
                   {"rewrite_query", "rewrite_query_node"}}));
  graph.attr("add_conditional_edges")(
      "pandas_error_handler_node", global(m, "pandas_error_handler_condition"),
      outcome_map({{"regenerate_pandas_code", "pandas_generator_node"},
                   {"terminal_failure_response", "final_response_generation_node"}}));
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
void initialise(py::module_& m, py::object self, py::object custom_sql_db, MakeModel&& make_model,
                MakePicker&& make_picker) {
  self.attr("db") = custom_sql_db;
  self.attr("graph") = global(m, "StateGraph")(global(m, "SQLState"));
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
py::object openai_graph(py::module_& m, py::object custom_sql_db, py::object small_model,
                        py::object large_model, py::object base_url, py::object api_key) {
  py::object graph_class = global(m, "SQLGraph");
  py::object self = py::module_::import("builtins").attr("object").attr("__new__")(graph_class);
  double timeout = common::model_timeout();
  py::object chat_openai = py::module_::import("langchain_openai").attr("ChatOpenAI");
  initialise(
      m, self, custom_sql_db,
      [&](const ModelSpec& spec) {
        return chat_openai(**sampling_settings(spec, timeout),
                           py::arg("model") = spec.large ? large_model : small_model,
                           py::arg("base_url") = base_url, py::arg("api_key") = api_key);
      },
      [&] {
        py::object client = py::module_::import("openai").attr("OpenAI")(
            py::arg("base_url") = base_url, py::arg("api_key") = api_key,
            py::arg("timeout") = timeout);
        return py::module_::import("norviai.function_calling.base")
            .attr("_picker_with_client")(client, small_model, custom_sql_db);
      });
  return self;
}

}  // namespace

void define_graph(py::module_& m) {
  // Marks "tags not given", since None must be refused like any other non-list.
  py::object default_tags = py::module_::import("builtins").attr("object")();
  common::ClassBuilder(m, "SQLGraph", py::module_::import("builtins").attr("object"))
      .method(
          "__init__", "custom_sql_db, config_35, config_4",
          [m](py::object self, py::object custom_sql_db, py::object config_35,
              py::object config_4) mutable {
            py::dict small_settings = config_35.attr("__dict__");
            py::dict large_settings = config_4.attr("__dict__");
            double timeout = common::model_timeout();
            initialise(
                m, self, custom_sql_db,
                [&](const ModelSpec& spec) {
                  return global(m, "AzureChatOpenAI")(
                      **(spec.large ? large_settings : small_settings),
                      **sampling_settings(spec, timeout));
                },
                [&] {
                  return global(m, "RelevantTablePicker")(py::arg("config") = config_35,
                                                          py::arg("db") = custom_sql_db);
                });
          },
          py::arg("custom_sql_db"), py::arg("config_35"), py::arg("config_4"))
      .method(
          "_config_graph",
          "metadata=None, tags=['askflow'], max_concurrency=20, recursion_limit=50",
          [m, default_tags](py::object /*self*/, py::object metadata, py::object tags,
                            py::object max_concurrency, py::object recursion_limit) mutable {
            if (tags.is(default_tags)) {
              // A fresh list per call, so that no caller can change the default for others.
              py::list askflow_tag;
              askflow_tag.append("askflow");
              tags = askflow_tag;
            }
            return make_runnable_config(m, metadata, tags, max_concurrency, recursion_limit);
          },
          py::arg("metadata") = py::none(), py::arg("tags") = default_tags,
          py::arg("max_concurrency") = 20, py::arg("recursion_limit") = 50)
      .method(
          "_compile_graph", "runnable_config",
          [m](py::object self, py::object /*runnable_config*/) mutable {
            return compile_graph(m, self);
          },
          py::arg("runnable_config"))
      .method(
          "invoke", "inputs",
          [](py::object self, py::object inputs) {
            common::require_exact_type(inputs, dict_type(), "inputs");
            py::object final_state =
                self.attr("compiled_graph")
                    .attr("invoke")(inputs, py::arg("config") = self.attr("runnable_config"));
            if (!final_state.is_none() && !py::isinstance<py::dict>(final_state)) {
              throw py::type_error(
                  "The final state must be of type 'dict', got '" +
                  std::string(py::str(py::type::handle_of(final_state).attr("__name__"))) + "'");
            }
            return final_state;
          },
          py::arg("inputs"))
      .method(
          "visualize_graph",
          "visualization_type='ascii', save_graph_path='graph_visualization.png'",
          [](py::object self, py::object visualization_type, py::object save_graph_path) {
            py::object drawable = self.attr("compiled_graph").attr("get_graph")();
            if (visualization_type.equal(py::str("ascii"))) {
              drawable.attr("print_ascii")();
              return py::none();
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
            return py::none();
          },
          py::arg("visualization_type") = "ascii",
          py::arg("save_graph_path") = "graph_visualization.png")
      .finish();
  common::def_signed(
      m, "_openai_graph", "custom_sql_db, small_model, large_model, base_url, api_key",
      [m](py::object db, py::object small, py::object large, py::object base_url,
          py::object api_key) mutable {
        return openai_graph(m, db, small, large, base_url, api_key);
      },
      py::arg("custom_sql_db"), py::arg("small_model"), py::arg("large_model"), py::arg("base_url"),
      py::arg("api_key"));
}

}  // namespace norviai::askflow
