// The structured-output models: pydantic models whose field descriptions form the schema
// a chat model is asked to fill. Field order and descriptions are part of the prompt.
#include <initializer_list>
#include <utility>

#include "modules/common/contract.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

struct FieldSpec {
  const char* name;
  py::object type;
  const char* description;
};

void define_model(py::module_& m, const char* model_name, std::initializer_list<FieldSpec> fields) {
  py::object pydantic = py::module_::import("pydantic");
  py::kwargs definitions;
  for (const auto& field : fields) {
    py::object info = pydantic.attr("Field")(py::arg("description") = field.description);
    definitions[field.name] = py::make_tuple(field.type, info);
  }
  definitions["__module__"] = m.attr("__name__");
  m.add_object(model_name, pydantic.attr("create_model")(model_name, **definitions));
}

}  // namespace

void define_models(py::module_& m) {
  namespace key = contract::key;
  namespace field = contract::field;
  namespace tool = contract::tool;
  py::object builtins = py::module_::import("builtins");
  py::object str = builtins.attr("str");
  py::object boolean = builtins.attr("bool");
  py::object list_of_str = py::module_::import("typing").attr("List")[str];

  define_model(m, tool::kRelevantTablesOutput,
               {{key::kRelevantTables, list_of_str, "List of relevant table names"}});
  define_model(m, tool::kRewriteQueryOutput,
               {{key::kRewrittenQuestion, str, "Rewritten question"}});
  define_model(m, tool::kPandasCodeOutput,
               {{field::kPandasAi, boolean,
                 "Whether question should answer by using pandas_ai or not. In case, the answer "
                 "can derive directly from sql_execution_result, False. If the answer involves "
                 "analysis/plotting/forecast then True."},
                {field::kFinalAnswer, boolean, "Final answer"},
                {key::kFollowUpQuestion, boolean, "Follow up question"}});
  define_model(m, tool::kPythonCodeInput, {{field::kCode, str, "Python code to be executed"}});
  define_model(m, tool::kSqlQueryInput,
               {{field::kSqlQuery, str, "SQL query string to be executed"}});
  define_model(m, tool::kGenerationOutput,
               {{key::kImagePath, str, "image path generated if exists in context"},
                {key::kFinalResponse, str, "final response"}});
}

}  // namespace norviai::flowsteps
