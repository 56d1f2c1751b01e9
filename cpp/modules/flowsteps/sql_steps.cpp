// The SQL steps of the question graph: table lookup, relevant tables, question rewrite,
// relevant schemas, SQL generation, syntax check and read-only execution.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/repetition.hpp"
#include "core/sql_dialect.hpp"
#include "core/sql_lexer.hpp"
#include "core/text_util.hpp"
#include "modules/common/contract.hpp"
#include "modules/common/model_call.hpp"
#include "modules/common/token_count.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;
namespace key = contract::key;
namespace tool = contract::tool;
namespace prompt_type = contract::prompt_type;

// A list of names joined with a bare comma; any other value unchanged.
py::object joined_if_list(py::handle names) {
  if (py::isinstance<py::list>(names)) return py::str(",").attr("join")(names);
  return py::reinterpret_borrow<py::object>(names);
}

// The database's table names as a list, from the lookup's text or list.
py::object all_table_names(py::handle names) {
  if (py::isinstance<py::list>(names)) return py::reinterpret_borrow<py::object>(names);
  return py::reinterpret_borrow<py::object>(names).attr("split")(", ");
}

py::list single(py::object value) {
  py::list list;
  list.append(std::move(value));
  return list;
}

void define_table_names_lookup(py::module_& m) {
  step_class(m, "TableNamesLookup")
      .method(
          "__init__", "db",
          [](py::object self, py::object db) {
            self.attr("tool") = module_global("ListSQLDatabaseTool")(py::arg("db") = db);
          },
          py::arg("db"))
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object /*state*/, py::kwargs /*ignored*/) {
                py::dict update;
                update[key::kTableNamesFromDb] = self.attr("tool").attr("_run")();
                return update;
              })
      .finish();
}

// Prompt budgets: the tables a prompt lists are cut to the most related when it would not fit.
py::module_ retrieval() { return py::module_::import("norviai._retrieval"); }

// Tokens of what a structured call sends: the messages' texts with the chat format's framing
// (about four tokens a message and three that open the reply) and the forced tool's definition.
std::size_t prompt_tokens(py::handle messages, const char* output_model) {
  std::size_t tokens = 3;
  for (py::handle message : messages) {
    tokens += 4 + common::count_tokens(py::str(message.attr("content")).cast<std::string>());
  }
  py::object tool = common::import_from("langchain_core.utils.function_calling",
                                        "convert_to_openai_tool")(module_global(output_model));
  py::object dumps = py::module_::import("json").attr("dumps");
  return tokens + common::count_tokens(py::str(dumps(tool)).cast<std::string>());
}

// `text` followed by the note line, when there is one.
py::object with_note(py::object text, const std::string& note) {
  if (note.empty()) return text;
  return py::str(note + "\n") + text;
}

// The names as the prompt shows them: the state's own value when every table is listed, else
// the note line, then the chosen names in the same form.
py::object listed_names(py::handle state_names, py::list shown, const std::string& note) {
  if (note.empty()) return joined_if_list(state_names);
  const char* separator = py::isinstance<py::list>(state_names) ? "," : ", ";
  return with_note(py::str(separator).attr("join")(shown), note);
}

void initialise_relevant_table_names(py::object self, py::object db, py::object model) {
  self.attr("dialect") = db.attr("dialect");
  self.attr("model") = structured(model, tool::kRelevantTablesOutput);
  self.attr("template") = chat_template(
      {message_template("SystemMessagePromptTemplate", "SQL_PREFIX"),
       message_template("HumanMessagePromptTemplate", "GET_RELEVANT_TABLE_NAMES_TEMPLATE")});
  self.attr("_db") = db;
}

py::list relevant_table_names_prompt(py::object self, py::object state_arg) {
  py::dict state = checked_state(state_arg);
  py::object question = current_question(state);
  py::object state_names = state[key::kTableNamesFromDb];
  py::cpp_function build([self, question, state_names](py::list shown, std::string note) {
    py::list messages =
        self.attr("template")
            .attr("format_messages")(
                py::arg("dialect") = self.attr("dialect"), py::arg(key::kUserQuestion) = question,
                py::arg(key::kTableNamesFromDb) = listed_names(state_names, shown, note));
    // The tail is appended after formatting, so its braces reach the model as written.
    py::object human = messages[1];
    py::object content = human.attr("content");
    human.attr("content") = content + module_global("TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE");
    return py::make_tuple(messages, prompt_tokens(messages, tool::kRelevantTablesOutput));
  });
  py::tuple fitted = retrieval().attr("fit_tables")(
      self.attr("_db"), py::str(question), all_table_names(state_names), build,
      py::arg("name_copies") = 2, py::arg("with_schemas") = false);
  return fitted[0];
}

py::dict invoke_relevant_table_names(py::object self, py::object state, py::kwargs /*ignored*/) {
  py::dict checked = checked_state(state);
  py::object names = all_table_names(checked[key::kTableNamesFromDb]);
  py::dict update =
      reply_field(self, self.attr("generate_prompt")(state), tool::kRelevantTablesOutput,
                  key::kRelevantTables, key::kRelevantTables, names);
  // A name the database lacks would reach the schema tool and come back as an error text.
  py::tuple matched = retrieval().attr("known_tables")(update[key::kRelevantTables], names);
  py::list kept = matched[0];
  py::list dropped = matched[1];
  if (py::len(dropped)) {
    common::loguru_logger().attr("warning")(
        py::str("The model named what are not tables, dropped: ") + py::repr(dropped));
  }
  update[key::kRelevantTables] = py::len(kept) ? py::object(kept) : names;
  return update;
}

void define_relevant_table_names(py::module_& m) {
  step_class(m, "RelevantTableNames")
      .method("__init__", "db, model", &initialise_relevant_table_names, py::arg("db"),
              py::arg("model"))
      .method("generate_prompt", "state, /", &relevant_table_names_prompt)
      .method("invoke", kInvokeSignature, &invoke_relevant_table_names)
      .finish();
}

void initialise_rewrite_query(py::object self, py::object db, py::object model) {
  self.attr("dialect") = db.attr("dialect");
  self.attr("model") = structured(model, tool::kRewriteQueryOutput);
  self.attr("tool") = module_global("InfoSQLDatabaseTool")(py::arg("db") = db);
  self.attr("template") =
      chat_template({message_template("SystemMessagePromptTemplate", "REWRITE_QUESTION_TEMPLATE")});
}

// The schemas of every table when they fit the budget, else of the tables most related to the
// user's question.
py::list rewrite_query_prompt(py::object self, py::object state_arg) {
  py::dict state = checked_state(state_arg);
  py::object question = state[key::kUserQuestion];
  py::object state_names = state[key::kTableNamesFromDb];
  py::cpp_function build([self, question, state_names](py::list shown, std::string note) {
    py::object names =
        note.empty() ? joined_if_list(state_names) : py::str(",").attr("join")(shown);
    py::object schemas = with_note(self.attr("tool").attr("_run")(names), note);
    py::list messages = self.attr("template")
                            .attr("format_messages")(py::arg(key::kUserQuestion) = question,
                                                     py::arg("schemas_from_all_tables") = schemas);
    return py::make_tuple(messages, prompt_tokens(messages, tool::kRewriteQueryOutput));
  });
  py::tuple fitted = retrieval().attr("fit_tables")(self.attr("tool").attr("db"), py::str(question),
                                                    all_table_names(state_names), build,
                                                    py::arg("name_copies") = 0);
  return fitted[0];
}

py::dict invoke_rewrite_query(py::object self, py::object state, py::kwargs /*ignored*/) {
  py::dict checked = checked_state(state);
  return reply_field(self, self.attr("generate_prompt")(state), tool::kRewriteQueryOutput,
                     key::kRewrittenQuestion, key::kRewrittenQuestion, current_question(checked));
}

void define_rewrite_query(py::module_& m) {
  step_class(m, "RewriteQuery")
      .method("__init__", "db, model", &initialise_rewrite_query, py::arg("db"), py::arg("model"))
      .method("generate_prompt", "state, /", &rewrite_query_prompt)
      .method("invoke", kInvokeSignature, &invoke_rewrite_query)
      .finish();
}

void define_relevant_schemas(py::module_& m) {
  step_class(m, "RelevantSchemas")
      .method(
          "__init__", "db",
          [](py::object self, py::object db) {
            self.attr("tool") = module_global("InfoSQLDatabaseTool")(py::arg("db") = db);
          },
          py::arg("db"))
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object state, py::kwargs /*ignored*/) {
                py::object names = py::str(",").attr("join")(state[key::kRelevantTables]);
                py::object schemas = self.attr("tool").attr("_run")(py::arg("table_names") = names);
                py::dict update;
                update[key::kSqlGenerationPromptType] = prompt_type::kGeneration;
                update[key::kSchemasFromRelevantTables] = schemas;
                return update;
              })
      .finish();
}

// The words the question's tables are ranked by: the question and its rewrite, if any.
std::string ranking_text(py::dict state) {
  std::string text = py::str(state[key::kUserQuestion]).cast<std::string>();
  if (state.contains(key::kRewrittenQuestion) && common::truthy(state[key::kRewrittenQuestion])) {
    text += "\n" + py::str(state[key::kRewrittenQuestion]).cast<std::string>();
  }
  return text;
}

// The generation prompt, or after a failed run the correction prompt with every query tried so
// far beside its result. When it would not fit the budget, the schemas it shows are those of the
// chosen tables most related to the question.
py::object sql_generation_messages(py::object self, py::object state_arg) {
  py::dict state = checked_state(state_arg);
  py::object type = state[key::kSqlGenerationPromptType];
  bool generation = type.equal(py::str(prompt_type::kGeneration));
  if (!generation && !type.equal(py::str(prompt_type::kCorrection))) {
    common::raise_error(PyExc_ValueError, "Messages not generated correctly.");
  }
  auto format = [self, state, generation](py::object schemas) {
    py::dict values(state);
    if (!schemas.is_none()) values[key::kSchemasFromRelevantTables] = schemas;
    if (generation) {
      return self.attr("generate_template")
          .attr("format_messages")(py::arg("dialect") = self.attr("dialect"), **values);
    }
    py::list zipped_queries_errors =
        zipped({state[key::kGeneratedSqlQuery], state[key::kSqlExecutionResult]});
    return self.attr("correct_template")
        .attr("format_messages")(py::arg("dialect") = self.attr("dialect"),
                                 py::arg("zipped_queries_errors") = zipped_queries_errors,
                                 **values);
  };
  py::object messages = format(py::none());
  if (!state.contains(key::kRelevantTables) || !state.contains(key::kSchemasFromRelevantTables) ||
      prompt_tokens(messages, tool::kSqlQueryInput) <= common::prompt_budget()) {
    return messages;
  }
  py::object db = self.attr("_db");
  py::cpp_function build([db, format, state](py::list shown, const std::string& note) {
    py::object schemas = note.empty() ? py::object(state[key::kSchemasFromRelevantTables])
                                      : with_note(db.attr("get_table_info_no_throw")(shown), note);
    py::object cut = format(schemas);
    return py::make_tuple(cut, prompt_tokens(cut, tool::kSqlQueryInput));
  });
  py::tuple fitted = retrieval().attr("fit_tables")(
      db, ranking_text(state), state[key::kRelevantTables], build, py::arg("name_copies") = 0);
  return fitted[0];
}

void define_sql_generation(py::module_& m) {
  step_class(m, "SQLGeneration")
      .method(
          "__init__", "db, model",
          [](py::object self, py::object db, py::object model) {
            self.attr("model") = structured(model, tool::kSqlQueryInput);
            self.attr("dialect") = db.attr("dialect");
            self.attr("_db") = db;
            self.attr("generate_template") = chat_template(
                {py::make_tuple("system", module_global("SQL_GENERATION_SYSTEM_TEMPLATE")),
                 py::make_tuple("user", module_global("SQL_GENERATION_HUMAN_TEMPLATE"))});
            self.attr("correct_template") = chat_template(
                {message_template("SystemMessagePromptTemplate", "SQL_PREFIX"),
                 message_template("HumanMessagePromptTemplate", "CORRECT_SQL_TEMPLATE", true)});
          },
          py::arg("db"), py::arg("model"))
      .method("generate_messages", "state, /", &sql_generation_messages)
      .method("invoke", kInvokeSignature,
              [](py::object self, py::object state_arg, py::kwargs /*ignored*/) {
                checked_state(state_arg);
                double started = wall_clock();
                py::object messages = self.attr("generate_messages")(state_arg);
                StructuredReply reply = structured_reply(self, messages, tool::kSqlQueryInput);
                py::object query = reply.usable()
                                       ? py::object(reply.parsed.attr(contract::field::kSqlQuery))
                                       : py::object(py::str(kUnusableSqlReply + reply.fault));
                py::str elapsed = py::str(py::float_(wall_clock() - started));
                common::loguru_logger().attr("info")(py::str("Invoke generate sql query tooks: ") +
                                                     elapsed);
                py::dict update;
                update[key::kGeneratedSqlQuery] = single(query);
                return update;
              })
      .finish();
}

// The words a statement can begin with; a reply starting otherwise is prose.
constexpr std::array<std::string_view, 19> kStatementStarts = {
    "select", "with",     "values", "table",   "show",  "explain", "describe",
    "pragma", "insert",   "update", "delete",  "merge", "create",  "drop",
    "alter",  "truncate", "grant",  "replace", "call"};

bool starts_statement(std::string_view word) {
  std::string lower(word);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kStatementStarts.begin(), kStatementStarts.end(), lower) !=
         kStatementStarts.end();
}

core::Dialect dialect_of(py::handle name) {
  try {
    return core::dialect_from_name(py::str(name).cast<std::string>());
  } catch (const std::invalid_argument&) {
    return core::Dialect::kOther;
  }
}

// The checker's reply when it is one SQL statement, bare or in one fence; nullopt for prose,
// an echo of the prompt (which holds `prompt_line`) or several statements.
std::optional<std::string> one_statement(std::string reply, core::Dialect dialect,
                                         const std::string& prompt_line) {
  if (auto fenced = core::single_fenced_block(reply)) reply = *fenced;
  if (core::degenerate_repetition(reply)) return std::nullopt;
  if (!prompt_line.empty() && reply.find(prompt_line) != std::string::npos) return std::nullopt;
  core::LexResult lexed = core::lex_sql(reply, dialect);
  if (!lexed.refusal.empty() || lexed.tokens.empty()) return std::nullopt;
  const core::Token& first = lexed.tokens.front();
  if (first.kind != core::TokenKind::kWord || !starts_statement(first.value)) return std::nullopt;
  for (size_t i = 0; i + 1 < lexed.tokens.size(); ++i) {
    if (lexed.tokens[i].kind == core::TokenKind::kSemicolon) return std::nullopt;
  }
  return reply;
}

// The checker tool's reply on `query`, from a copy of its model bounded by the question's time
// left and the server's context; None when no call could be made or the time limit ended it.
py::object checked_query(py::handle tool, py::handle query, py::handle dialect) {
  auto skipped = [](const std::string& why) {
    common::loguru_logger().attr("warning")(py::str("The query goes unchecked: " + why));
    return py::object(py::none());
  };
  auto budget = common::call_budget();
  if (!budget) return skipped(common::kTimeLimitFault);
  py::object prompt =
      tool.attr("template").attr("format")(py::arg("query") = query, py::arg("dialect") = dialect);
  common::BoundedModel bounded = common::bounded_chat_model(tool.attr("llm"), *budget, prompt);
  if (bounded.model.is_none()) return skipped(bounded.fault);
  py::object call_tool = module_global("QuerySQLCheckerTool")(py::arg("db") = tool.attr("db"),
                                                              py::arg("llm") = bounded.model);
  try {
    return call_tool.attr("_run")(py::arg("query") = query);
  } catch (py::error_already_set& error) {
    if (!common::ended_by_time_limit(error)) throw;
    return skipped(common::kTimeLimitFault);
  }
}

// Replaces the last generated query with the checker's reply when that reply is one SQL
// statement; prose, an echo of the prompt or several statements leave the query in place.
py::dict sql_syntax_checker_invoke(py::object self, py::object state, py::kwargs /*ignored*/) {
  py::object queries = state[key::kGeneratedSqlQuery];
  py::object last = queries.attr("__getitem__")(-1);
  // No query to check: the execution reports the unusable reply.
  if (unusable_reply_fault(last, kUnusableSqlReply)) return py::dict();
  py::object tool = self.attr("tool");
  py::object checked = checked_query(tool, last, self.attr("dialect"));
  if (checked.is_none()) return py::dict();
  // The first line of the prompt after the query: an echo of the prompt holds it.
  py::object prompt =
      tool.attr("template")
          .attr("format")(py::arg("query") = "", py::arg("dialect") = self.attr("dialect"));
  py::list lines = prompt.attr("strip")().attr("splitlines")();
  std::string prompt_line = py::len(lines) ? lines[0].cast<std::string>() : std::string();
  // Models like to wrap the query in a Markdown fence; the database cannot run that.
  std::optional<std::string> statement;
  if (py::isinstance<py::str>(checked)) {
    statement =
        one_statement(checked.cast<std::string>(), dialect_of(self.attr("dialect")), prompt_line);
  }
  if (statement) {
    queries.attr("__setitem__")(-1, py::str(*statement));
  } else {
    common::loguru_logger().attr("warning")(
        py::str("The checker's reply is not one SQL statement; the generated query stays: " +
                py::repr(checked).cast<std::string>().substr(0, 300)));
  }
  return py::dict();
}

void define_sql_syntax_checker(py::module_& m) {
  step_class(m, "SQLSyntaxChecker")
      .method(
          "__init__", "db, model",
          [](py::object self, py::object db, py::object model) {
            self.attr("tool") =
                module_global("QuerySQLCheckerTool")(py::arg("db") = db, py::arg("llm") = model);
            self.attr("dialect") = db.attr("dialect");
          },
          py::arg("db"), py::arg("model"))
      .method("invoke", kInvokeSignature, sql_syntax_checker_invoke)
      .finish();
}

// Runs the last generated query read-only. A database error is a failed execution the
// error handler routes on; an empty result is one too.
py::dict sql_execution_invoke(py::object self, py::object state, py::kwargs /*ignored*/) {
  py::object query = state[key::kGeneratedSqlQuery].attr("__getitem__")(-1);
  py::dict update;
  if (auto fault = unusable_reply_fault(query, kUnusableSqlReply)) {
    update[key::kSqlExecutionResult] = single(py::str(std::string("Your reply was not a valid ") +
                                                      tool::kSqlQueryInput + " call: " + *fault));
    update[key::kExecutionSuccess] = false;
    return update;
  }
  py::object result;
  try {
    result = self.attr("db").attr("run")(py::arg("command") = query, py::arg("fetch") = "all",
                                         py::arg("include_columns") = false);
  } catch (py::error_already_set& error) {
    if (!error.matches(module_global("SQLAlchemyError"))) throw;
    update[key::kSqlExecutionResult] = single(py::str(error.value()));
    update[key::kExecutionSuccess] = false;
    return update;
  }
  if (common::truthy(result)) {
    update[key::kSqlExecutionResult] = single(result);
    update[key::kExecutionSuccess] = true;
    update[key::kPandasGenerationPromptType] = prompt_type::kGeneration;
  } else {
    update[key::kSqlExecutionResult] = single(py::str("None"));
    update[key::kExecutionSuccess] = false;
  }
  return update;
}

void define_sql_execution(py::module_& m) {
  step_class(m, "SQLExecution")
      .method(
          "__init__", "db", [](py::object self, py::object db) { self.attr("db") = db; },
          py::arg("db"))
      .method("invoke", kInvokeSignature, &sql_execution_invoke)
      .finish();
}

}  // namespace

void define_sql_steps(py::module_& m) {
  define_table_names_lookup(m);
  define_relevant_table_names(m);
  define_rewrite_query(m);
  define_relevant_schemas(m);
  define_sql_generation(m);
  define_sql_syntax_checker(m);
  define_sql_execution(m);
}

}  // namespace norviai::flowsteps
