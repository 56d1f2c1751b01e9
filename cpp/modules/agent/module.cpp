// norviai.agent: what an application calls to create an agent for a database and ask it
// questions.
#include "modules/agent/agent.hpp"

namespace {

namespace py = pybind11;
namespace common = norviai::py_common;

struct ImportedName {
  const char* module;
  const char* name;
};

constexpr ImportedName kImportedNames[] = {
    {"dotenv", "load_dotenv"},
    {"langchain.agents", "AgentExecutor"},
    {"langchain.agents.agent", "RunnableAgent"},
    {"langchain.agents.format_scratchpad.openai_tools", "format_to_openai_tool_messages"},
    {"langchain.agents.output_parsers.openai_tools", "OpenAIToolsAgentOutputParser"},
    {"langchain.prompts", "ChatPromptTemplate"},
    {"langchain.prompts", "MessagesPlaceholder"},
    {"langchain.pydantic_v1", "BaseModel"},
    {"langchain.pydantic_v1", "Field"},
    {"langchain.tools", "StructuredTool"},
    {"langchain_community.callbacks", "get_openai_callback"},
    {"langchain_core.messages", "AIMessage"},
    {"langchain_core.messages", "HumanMessage"},
    {"langchain_core.tools", "ToolException"},
    {"langchain_openai", "AzureChatOpenAI"},
    {"langchain_openai", "AzureOpenAI"},
    {"langchain_openai", "ChatOpenAI"},
    {"norviai.api", "NorviAPIHandler"},
    {"norviai.settings", "AzureOpenAIChat4"},
    {"norviai.settings", "AzureOpenAIChat35"},
    {"norviai.askflow.custom_sql", "CustomSQLDatabase"},
    {"norviai.askflow.askflow", "SQLGraph"},
    {"norviai.api", "send_user_question"},
};

}  // namespace

PYBIND11_MODULE(agent, m) {
  for (const char* name : {"asyncio", "json", "os", "aiohttp", "requests"}) {
    m.add_object(name, py::module_::import(name));
  }
  py::module_ warnings = py::module_::import("warnings");
  // langchain.pydantic_v1 warns about itself on import; the names stay available quietly.
  common::with_block(warnings.attr("catch_warnings")(), [&](py::object) {
    warnings.attr("simplefilter")("ignore");
    for (const auto& imported : kImportedNames) {
      common::bind_import(m, imported.module, imported.name);
    }
    common::star_import(m, "norviai.codeexec");
    return py::none();
  });
  m.attr("load_dotenv")();

  norviai::agent::define_custom_runnable_agent(m);
  norviai::agent::define_front_end(m);
}
