// The first step of the graph and the routing between steps: conditions return an outcome
// label, error handlers count attempts and switch the next generation to repair or give up.
#include "modules/common/contract.hpp"
#include "modules/common/model_call.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;
namespace key = contract::key;
namespace outcome = contract::outcome;
namespace prompt_type = contract::prompt_type;
namespace give_up = contract::give_up;

constexpr const char* kStateSignature = "state, /";

// Python's `a < b` and `a == b`, so that any stored values compare as the graph stored them.
bool less(py::handle a, py::handle b) { return a < b; }
bool equal(py::handle a, py::handle b) { return a.equal(b); }

py::int_ zero() { return py::int_(0); }

py::str label_if(py::dict state, const char* key, const char* when_true, const char* otherwise) {
  return py::str(common::truthy(state[key]) ? when_true : otherwise);
}

// What the SQL error handler does next and where its condition routes: repair the query while
// attempts remain, then rewrite the question once, then give up. One decision for both, read
// from whichever state each is given.
enum class SqlRetry { kRegenerate, kRewrite, kGiveUp };

SqlRetry sql_retry(py::dict state) {
  // Once the question's time is over no further model call starts: straight to the answer.
  if (py_common::question_time_over()) return SqlRetry::kGiveUp;
  py::object iteration_count = state[key::kIterationCount];
  // rewrite_count is read only once a row's first comparison holds.
  if (less(iteration_count, state[key::kMaxIterations]) &&
      equal(state[key::kRewriteCount], zero())) {
    return SqlRetry::kRegenerate;
  }
  if (equal(iteration_count, state[key::kMaxIterations]) &&
      equal(state[key::kRewriteCount], zero())) {
    return SqlRetry::kRewrite;
  }
  return SqlRetry::kGiveUp;
}

// Whether the analysis program gets another repair attempt.
bool pandas_retry(py::dict state) {
  if (py_common::question_time_over()) return false;
  return less(state[key::kIterationCountPandas], state[key::kMaxIterationsPandas]);
}

}  // namespace

void define_initialisation(py::module_& m) {
  common::def_signed(m, "initialisation", "inputs, /", [](py::object inputs) {
    common::require_exact_type(inputs, reinterpret_cast<PyObject*>(&PyDict_Type), "inputs");
    auto state = py::reinterpret_borrow<py::dict>(inputs);
    state[key::kIterationCount] = 0;
    state[key::kMaxIterations] = 5;
    state[key::kRewriteCount] = 0;
    state[key::kRewrittenQuestion] = "";
    state[key::kGeneratedSqlQuery] = py::list();
    state[key::kExecutionError] = py::list();
    state[key::kSqlExecutionResult] = py::list();
    state[key::kPandasGenerationPromptType] = prompt_type::kGeneration;
    // Nothing else seeds the analysis repair limit, and the pandas error handler reads it.
    if (!state.contains(key::kMaxIterationsPandas)) state[key::kMaxIterationsPandas] = 3;
    return inputs;
  });
}

void define_routing(py::module_& m) {
  common::def_signed(m, "sql_syntax_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), key::kIsValidSyntax, outcome::kSqlExecute,
                    outcome::kSqlSyntaxError);
  });
  common::def_signed(m, "sql_execution_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), key::kExecutionSuccess, outcome::kPandasGeneration,
                    outcome::kSqlExecutionError);
  });
  common::def_signed(m, "pandas_execution_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), key::kPythonExecutionSuccess, outcome::kFinalResponse,
                    outcome::kPandasExecutionError);
  });
  common::def_signed(m, "pandas_code_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), key::kUsePandasAiFlag, outcome::kUsePandas,
                    outcome::kGenerateResponse);
  });

  common::def_signed(m, "handle_sql_error", kStateSignature, [](py::object state_arg) {
    py::dict state = checked_state(state_arg);
    // Both counters are required here (KeyError), even where the decision would not read them.
    for (const char* name : {key::kIterationCount, key::kRewriteCount}) {
      static_cast<void>(py::object(state[name]));
    }
    py::dict update;
    switch (sql_retry(state)) {
      case SqlRetry::kRegenerate:
        update[key::kIterationCount] = 1;
        update[key::kSqlGenerationPromptType] = prompt_type::kCorrection;
        break;
      case SqlRetry::kRewrite:
        state[key::kIterationCount] = 0;
        update[key::kRewriteCount] = 1;
        break;
      case SqlRetry::kGiveUp: {
        py::list results;
        results.append(give_up::kSql);
        update[key::kSqlExecutionResult] = results;
        update[key::kIterationCount] = 0;
        break;
      }
    }
    return update;
  });

  common::def_signed(m, "sql_error_handler_condition", kStateSignature, [](py::object state) {
    switch (sql_retry(checked_state(state))) {
      case SqlRetry::kRegenerate:
        return py::str(outcome::kRegenerateSqlQuery);
      case SqlRetry::kRewrite:
        return py::str(outcome::kRewriteQuery);
      case SqlRetry::kGiveUp:
        break;
    }
    return py::str(outcome::kTerminalFailureResponse);
  });

  common::def_signed(m, "handle_pandas_error", kStateSignature, [](py::object state) {
    py::dict update;
    if (pandas_retry(checked_state(state))) {
      update[key::kIterationCountPandas] = 1;
      update[key::kPandasGenerationPromptType] = prompt_type::kCorrection;
    } else {
      update[key::kPythonExecutedOutput] = give_up::kPython;
      update[key::kIterationCountPandas] = 0;
    }
    return update;
  });

  common::def_signed(m, "pandas_error_handler_condition", kStateSignature, [](py::object state) {
    return py::str(pandas_retry(checked_state(state)) ? outcome::kRegeneratePandasCode
                                                      : outcome::kTerminalFailureResponse);
  });
}

}  // namespace norviai::flowsteps
