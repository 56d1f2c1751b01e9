// SQLState: the typed-dict schema of one question's state. Annotations stay text and are
// evaluated by langgraph in this module's namespace, which is why the module imports
// operator and the typing names.
#include "modules/askflow/askflow.hpp"

namespace norviai::askflow {

namespace {

struct StateKey {
  const char* name;
  const char* annotation;
};

constexpr StateKey kStateKeys[] = {
    {"user_question", "str"},
    {"follow_up_question", "Annotated[List[str], operator.concat]"},
    {"schemas_from_relevant_tables", "str"},
    {"table_names_from_db", "list[Dict[str, str]]"},
    {"relevant_tables", "List[str]"},
    {"generated_sql_query", "Annotated[List[str], operator.concat]"},
    {"sql_generation_prompt_type", "str"},
    {"execution_success", "bool"},
    {"execution_error", "Annotated[List[str], operator.concat]"},
    {"sql_execution_result", "Annotated[List[str], operator.concat]"},
    {"pandas_code", "str"},
    {"use_pandas_ai_flag", "bool"},
    // Python 3.11 evaluates the union text, so the annotation keeps its natural form.
    {"image_path", "str | None"},
    {"python_executed_output", "str"},
    {"save_path", "str"},
    {"final_response", "str"},
    {"iteration_count", "Annotated[int, operator.add]"},
    {"iteration_count_pandas", "Annotated[int, operator.add]"},
    {"rewrite_count", "int"},
    {"rewritten_question", "str"},
    {"max_iterations", "int"},
    {"max_iterations_pandas", "int"},
    {"python_execution_success", "bool"},
    {"python_error_message", "str"},
    {"pandas_generation_prompt_type", "str"},
};

}  // namespace

void define_state(py::module_& m) {
  py::dict annotations;
  for (const auto& key : kStateKeys) annotations[key.name] = key.annotation;
  py::dict body;
  body["__annotations__"] = annotations;
  py_common::ClassBuilder(m, "SQLState", m.attr("TypedDict"), body).finish();
}

}  // namespace norviai::askflow
