// SQLState: the typed-dict schema of one question's state. Annotations stay text and are
// evaluated by langgraph in this module's namespace, which is why the module imports
// operator and the typing names.
#include "modules/askflow/askflow.hpp"
#include "modules/common/contract.hpp"

namespace norviai::askflow {

namespace {

namespace key = contract::key;

struct StateKey {
  const char* name;
  const char* annotation;
};

constexpr StateKey kStateKeys[] = {
    {key::kUserQuestion, "str"},
    {key::kFollowUpQuestion, "Annotated[List[str], operator.concat]"},
    {key::kSchemasFromRelevantTables, "str"},
    {key::kTableNamesFromDb, "list[Dict[str, str]]"},
    {key::kRelevantTables, "List[str]"},
    {key::kGeneratedSqlQuery, "Annotated[List[str], operator.concat]"},
    {key::kSqlGenerationPromptType, "str"},
    {key::kExecutionSuccess, "bool"},
    {key::kExecutionError, "Annotated[List[str], operator.concat]"},
    {key::kSqlExecutionResult, "Annotated[List[str], operator.concat]"},
    {key::kPandasCode, "str"},
    {key::kUsePandasAiFlag, "bool"},
    // Python 3.11 evaluates the union text, so the annotation keeps its natural form.
    {key::kImagePath, "str | None"},
    {key::kPythonExecutedOutput, "str"},
    {key::kSavePath, "str"},
    {key::kFinalResponse, "str"},
    {key::kIterationCount, "Annotated[int, operator.add]"},
    {key::kIterationCountPandas, "Annotated[int, operator.add]"},
    {key::kRewriteCount, "int"},
    {key::kRewrittenQuestion, "str"},
    {key::kMaxIterations, "int"},
    {key::kMaxIterationsPandas, "int"},
    {key::kPythonExecutionSuccess, "bool"},
    {key::kPythonErrorMessage, "str"},
    {key::kPandasGenerationPromptType, "str"},
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
