// Internal interface of the norviai.askflow.flowsteps extension module: each area of the
// module (models, routing, steps) registers its names through one function.
// The module object is held for the process; every py::object returned is a new reference
// owned by the caller. Not thread-safe beyond what the GIL gives: all functions expect it held
// (analysis runs release it while they wait). Errors surface as Python exceptions.
#pragma once

#include <optional>
#include <string>

#include "modules/common/pyutil.hpp"

namespace norviai::flowsteps {

namespace py = pybind11;

// The text signature of every step's invoke.
inline constexpr const char* kInvokeSignature = "state, /, **kwargs";

// The module object, set once at import; steps look up prompt templates in its namespace.
py::module_ module_handle();

// A global of the module (a prompt template, a library class); NameError when absent.
py::object module_global(const char* name);

// The state argument as a dict; TypeError naming `state` unless its type is exactly dict.
py::dict checked_state(py::handle state);

// A new step class deriving from langchain_core's Runnable, exported from the module.
py_common::ClassBuilder step_class(py::module_& m, const char* name);

// Seconds since the epoch as Python's time.time() gives them, for the steps' timing logs.
double wall_clock();

// The rewritten question when there is one (a non-empty text), else the user's own.
py::object current_question(py::dict state);

// `model.with_structured_output(<the module's output model>, include_raw=True)`: parsing faults
// come back as data, read by `structured_reply`.
py::object structured(py::handle model, const char* output_model);

// A structured model's answer: the parsed tool arguments, or why the reply cannot be used.
struct StructuredReply {
  py::object parsed;
  std::string fault;
  bool usable() const { return fault.empty(); }
};

// Invokes the step's structured model on `prompt`, bounded by the question's time left and the
// server's context. A reply without the tool call, with arguments that are not JSON or not the
// tool's, cut by the length limit, repeating itself or empty is a fault (logged with loguru),
// not an exception; so is a call the question's time limit did not let start or finish. Other
// transport errors propagate.
StructuredReply structured_reply(py::handle step, py::handle prompt, const char* tool_name);

// Stored in place of a query or program the model's reply did not give, followed by the fault.
// A comment in its language, so that nothing runs should it ever reach a database or Python.
inline constexpr const char* kUnusableSqlReply = "-- unusable reply: ";
inline constexpr const char* kUnusableCodeReply = "# unusable reply: ";

// The fault after `marker` when `value` is a text starting with it.
std::optional<std::string> unusable_reply_fault(py::handle value, const char* marker);

// A ChatPromptTemplate from message templates (or (role, text) pairs), in order.
py::object chat_template(std::initializer_list<py::object> messages);

// `<message_class>.from_template(<the module's template_name>)`, read as jinja2 when asked.
py::object message_template(const char* message_class, const char* template_name,
                            bool jinja = false);

// A builtin such as `list` or `format`.
py::object builtins(const char* name);

// list(zip(*lists)): pairs or triples by position, as many as the shortest list has.
py::list zipped(std::initializer_list<py::object> lists);

// Invokes the step's structured model on `prompt` and returns {key: reply.<field>}, or
// {key: fallback} when the reply cannot be used.
py::dict reply_field(py::handle step, py::handle prompt, const char* tool_name, const char* field,
                     const char* key, py::object fallback);

// Runs model-written analysis code in an isolated child; the step's update, never an exception
// for anything the code does.
py::dict run_analysis(py::object code, py::dict state);
// Starts the isolated child for this state's next run, its libraries imported, so that its start
// overlaps the model call; run_analysis hands it the program. Does nothing where it cannot.
void start_warm_analysis(py::handle state);
// Kills and reaps the warm child started for this state, if one still waits: the program it was
// started for will not come (its generation raised, or the executor refused the reply).
void drop_warm_analysis(py::handle state);
// Keeps room for at least `count` warm children at once, one per question a server runs at once;
// with fewer, each new question's child ends an older question's before it is used.
void reserve_warm_analyses(std::size_t count);
// The update of a failed run with this error text.
py::dict analysis_failure(const std::string& error_text);

void define_models(py::module_& m);
void define_initialisation(py::module_& m);
void define_routing(py::module_& m);
void define_sql_steps(py::module_& m);
void define_pandas_steps(py::module_& m);
void define_response_step(py::module_& m);

}  // namespace norviai::flowsteps
