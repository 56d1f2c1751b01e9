// norviai.askflow.askflow: the state record of one question and the graph that answers it.
#include "modules/askflow/askflow.hpp"

PYBIND11_MODULE(askflow, m) {
  using namespace norviai::askflow;
  namespace common = norviai::py_common;

  m.add_object("operator", py::module_::import("operator"));
  for (const char* name : {"Annotated", "Dict", "List", "Optional", "TypedDict"}) {
    common::bind_import(m, "typing", name);
  }
  common::bind_import(m, "langchain_core.runnables", "RunnableConfig");
  common::bind_import(m, "langchain_openai", "AzureChatOpenAI");
  common::bind_import(m, "langgraph.graph", "END");
  common::bind_import(m, "langgraph.graph", "StateGraph");
  common::bind_import(m, "langgraph.graph.graph", "CompiledGraph");
  common::bind_import(m, "norviai.function_calling.base", "RelevantTablePicker");
  common::bind_import(m, "norviai.settings", "AzureOpenAIChat4");
  common::bind_import(m, "norviai.settings", "AzureOpenAIChat35");
  common::star_import(m, "norviai.askflow.flowsteps");

  define_state(m);
  define_graph(m);
}
