// The first step of the graph and the routing between steps: conditions return an outcome
// label, error handlers count attempts and switch the next generation to repair or give up.
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;

constexpr const char* kStateSignature = "state, /";

// Python's `a < b` and `a == b`, so that any stored values compare as the graph stored them.
bool less(py::handle a, py::handle b) { return a < b; }
bool equal(py::handle a, py::handle b) { return a.equal(b); }

py::int_ zero() { return py::int_(0); }

py::str label_if(py::dict state, const char* key, const char* when_true, const char* otherwise) {
  return py::str(common::truthy(state[key]) ? when_true : otherwise);
}

}  // namespace

void define_initialisation(py::module_& m) {
  common::def_signed(m, "initialisation", "inputs, /", [](py::object inputs) {
    common::require_exact_type(inputs, reinterpret_cast<PyObject*>(&PyDict_Type), "inputs");
    auto state = py::reinterpret_borrow<py::dict>(inputs);
    state["iteration_count"] = 0;
    state["max_iterations"] = 5;
    state["rewrite_count"] = 0;
    state["rewritten_question"] = "";
    state["generated_sql_query"] = py::list();
    state["execution_error"] = py::list();
    state["sql_execution_result"] = py::list();
    state["pandas_generation_prompt_type"] = "generation";
    // Nothing else seeds the analysis repair limit, and the pandas error handler reads it.
    if (!state.contains("max_iterations_pandas")) state["max_iterations_pandas"] = 3;
    return inputs;
  });
}

void define_routing(py::module_& m) {
  common::def_signed(m, "sql_syntax_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), "is_valid_syntax", "sql_execute", "sql_syntax_error");
  });
  common::def_signed(m, "sql_execution_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), "execution_success", "pandas_generation",
                    "sql_execution_error");
  });
  common::def_signed(m, "pandas_execution_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), "python_execution_success", "final_response",
                    "pandas_execution_error");
  });
  common::def_signed(m, "pandas_code_condition", kStateSignature, [](py::object state) {
    return label_if(checked_state(state), "use_pandas_ai_flag", "use_pandas", "generate_response");
  });

  common::def_signed(m, "handle_sql_error", kStateSignature, [](py::object state_arg) {
    py::dict state = checked_state(state_arg);
    py::object iteration_count = state["iteration_count"];
    py::object rewrite_count = state["rewrite_count"];
    if (less(iteration_count, state["max_iterations"]) && equal(rewrite_count, zero())) {
      py::dict update;
      update["iteration_count"] = 1;
      update["sql_generation_prompt_type"] = "correction";
      return update;
    }
    if (equal(iteration_count, state["max_iterations"]) && equal(rewrite_count, zero())) {
      state["iteration_count"] = 0;
      py::dict update;
      update["rewrite_count"] = 1;
      return update;
    }
    py::dict terminal_sql_query_dict;
    py::list results;
    results.append("SQL generation failed after max iterations");
    terminal_sql_query_dict["sql_execution_result"] = results;
    terminal_sql_query_dict["iteration_count"] = 0;
    return terminal_sql_query_dict;
  });

  common::def_signed(m, "sql_error_handler_condition", kStateSignature, [](py::object state_arg) {
    py::dict state = checked_state(state_arg);
    py::object iteration_count = state["iteration_count"];
    // rewrite_count is read only once a row's first comparison holds.
    if (less(iteration_count, state["max_iterations"]) && equal(state["rewrite_count"], zero())) {
      return py::str("regenerate_sql_query");
    }
    if (equal(iteration_count, state["max_iterations"]) && equal(state["rewrite_count"], zero())) {
      return py::str("rewrite_query");
    }
    return py::str("terminal_failure_response");
  });

  common::def_signed(m, "handle_pandas_error", kStateSignature, [](py::object state_arg) {
    py::dict state = checked_state(state_arg);
    if (less(state["iteration_count_pandas"], state["max_iterations_pandas"])) {
      py::dict update;
      update["iteration_count_pandas"] = 1;
      update["pandas_generation_prompt_type"] = "correction";
      return update;
    }
    py::dict terminal_pandas_query_dict;
    terminal_pandas_query_dict["python_executed_output"] =
        "Python generation failed after max iterations";
    terminal_pandas_query_dict["iteration_count_pandas"] = 0;
    return terminal_pandas_query_dict;
  });

  common::def_signed(m, "pandas_error_handler_condition", kStateSignature,
                     [](py::object state_arg) {
                       py::dict state = checked_state(state_arg);
                       if (less(state["iteration_count_pandas"], state["max_iterations_pandas"])) {
                         return py::str("regenerate_pandas_code");
                       }
                       return py::str("terminal_failure_response");
                     });
}

}  // namespace norviai::flowsteps
