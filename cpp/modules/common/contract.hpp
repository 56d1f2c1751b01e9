// The question's contract: the names every part of the question graph agrees on (state keys,
// node names, outcome labels, tool names, prompt-type values and give-up texts), written once.
// Plain constants, no Python: safe to use with or without the GIL; nothing here throws.
#pragma once

namespace norviai::contract {

// State keys of SQLState.
namespace key {
inline constexpr const char* kUserQuestion = "user_question";
inline constexpr const char* kFollowUpQuestion = "follow_up_question";
inline constexpr const char* kSchemasFromRelevantTables = "schemas_from_relevant_tables";
inline constexpr const char* kTableNamesFromDb = "table_names_from_db";
inline constexpr const char* kRelevantTables = "relevant_tables";
inline constexpr const char* kGeneratedSqlQuery = "generated_sql_query";
inline constexpr const char* kSqlGenerationPromptType = "sql_generation_prompt_type";
inline constexpr const char* kExecutionSuccess = "execution_success";
inline constexpr const char* kExecutionError = "execution_error";
inline constexpr const char* kSqlExecutionResult = "sql_execution_result";
inline constexpr const char* kPandasCode = "pandas_code";
inline constexpr const char* kUsePandasAiFlag = "use_pandas_ai_flag";
inline constexpr const char* kImagePath = "image_path";
inline constexpr const char* kPythonExecutedOutput = "python_executed_output";
inline constexpr const char* kSavePath = "save_path";
inline constexpr const char* kFinalResponse = "final_response";
inline constexpr const char* kIterationCount = "iteration_count";
inline constexpr const char* kIterationCountPandas = "iteration_count_pandas";
inline constexpr const char* kRewriteCount = "rewrite_count";
inline constexpr const char* kRewrittenQuestion = "rewritten_question";
inline constexpr const char* kMaxIterations = "max_iterations";
inline constexpr const char* kMaxIterationsPandas = "max_iterations_pandas";
inline constexpr const char* kPythonExecutionSuccess = "python_execution_success";
inline constexpr const char* kPythonErrorMessage = "python_error_message";
inline constexpr const char* kPandasGenerationPromptType = "pandas_generation_prompt_type";
// Not SQLState keys: the input key the analysis executor reads the original question under,
// and the syntax verdict the syntax condition reads.
inline constexpr const char* kOriginalQuestion = "original_question";
inline constexpr const char* kIsValidSyntax = "is_valid_syntax";
}  // namespace key

// Graph node names.
namespace node {
inline constexpr const char* kInit = "init_node";
inline constexpr const char* kTableNamesLookup = "table_names_lookup_node";
inline constexpr const char* kRelevantTableNames = "relevant_table_names_node";
inline constexpr const char* kRelevantSchemas = "relevant_schemas_node";
inline constexpr const char* kSqlGeneration = "sql_generation_node";
inline constexpr const char* kRewriteQuery = "rewrite_query_node";
inline constexpr const char* kSqlSyntaxChecker = "sql_syntax_checker_node";
inline constexpr const char* kSqlExecution = "sql_execution_node";
inline constexpr const char* kPandasGenerator = "pandas_generator_node";
inline constexpr const char* kPandasExecutor = "pandas_executor_node";
inline constexpr const char* kFinalResponseGeneration = "final_response_generation_node";
inline constexpr const char* kPandasErrorHandler = "pandas_error_handler_node";
inline constexpr const char* kSqlErrorHandler = "sql_error_handler_node";
}  // namespace node

// Outcome labels returned by the routing conditions.
namespace outcome {
inline constexpr const char* kSqlExecute = "sql_execute";
inline constexpr const char* kSqlSyntaxError = "sql_syntax_error";
inline constexpr const char* kPandasGeneration = "pandas_generation";
inline constexpr const char* kSqlExecutionError = "sql_execution_error";
inline constexpr const char* kFinalResponse = "final_response";
inline constexpr const char* kPandasExecutionError = "pandas_execution_error";
inline constexpr const char* kUsePandas = "use_pandas";
inline constexpr const char* kGenerateResponse = "generate_response";
inline constexpr const char* kRegenerateSqlQuery = "regenerate_sql_query";
inline constexpr const char* kRewriteQuery = "rewrite_query";
inline constexpr const char* kTerminalFailureResponse = "terminal_failure_response";
inline constexpr const char* kRegeneratePandasCode = "regenerate_pandas_code";
}  // namespace outcome

// Values of the two prompt-type keys.
namespace prompt_type {
inline constexpr const char* kGeneration = "generation";
inline constexpr const char* kCorrection = "correction";
}  // namespace prompt_type

// Tool names the models are forced to call: the structured-output classes and the picker's tool.
namespace tool {
inline constexpr const char* kRelevantTablesOutput = "RelevantTablesOutput";
inline constexpr const char* kRewriteQueryOutput = "RewriteQueryOutput";
inline constexpr const char* kPandasCodeOutput = "PandasCodeOutput";
inline constexpr const char* kPythonCodeInput = "PythonCodeInput";
inline constexpr const char* kSqlQueryInput = "SQLQueryInput";
inline constexpr const char* kGenerationOutput = "GenerationOutput";
inline constexpr const char* kSelectRelevantTables = "select_relevant_tables";
}  // namespace tool

// Fields of the structured-output models that are not also state keys.
namespace field {
inline constexpr const char* kSqlQuery = "sql_query";
inline constexpr const char* kCode = "code";
inline constexpr const char* kPandasAi = "pandas_ai";
inline constexpr const char* kFinalAnswer = "final_answer";
}  // namespace field

// Texts the error handlers write when the repair limits are spent.
namespace give_up {
inline constexpr const char* kSql = "SQL generation failed after max iterations";
inline constexpr const char* kPython = "Python generation failed after max iterations";
}  // namespace give_up

}  // namespace norviai::contract
