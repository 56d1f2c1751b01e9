// Shared pybind11 helpers for the extension modules: exact type checks, raising, module
// globals, imports, star imports, callables carrying CPython text signatures, class building.
// Returned objects are new strong references owned by the caller; ProcessRef holds its object
// for the process. No state of their own beyond that: thread-safe as far as the GIL, which every
// function here expects held. Errors surface as Python exceptions (py::error_already_set or the
// pybind11 exception types).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

namespace norviai::py_common {

namespace py = pybind11;

// Raises TypeError unless type(value) is exactly `expected` (subclasses refused).
void require_exact_type(py::handle value, py::handle expected, const char* parameter);

// Same, accepting None as well.
void require_exact_type_or_none(py::handle value, py::handle expected, const char* parameter);

// Raises the Python exception `type` (an exception class) with message `text`.
[[noreturn]] void raise_error(py::handle type, const std::string& text);

// Raises the exception instance `error` itself, with its attributes and cause.
[[noreturn]] void raise_error(py::handle error);

// A global of `module`'s namespace as the module's code sees it now (callers may reassign it);
// NameError "name '...' is not defined" when absent.
py::object module_global(py::handle module, const char* name);

// `from module import name`.
py::object import_from(const char* module, const char* name);

// The path of a file shipped inside the norviai package, such as "data/sample.db".
std::string package_path(const char* relative);

// `from <source> import *` into `target`'s namespace (honours __all__).
void star_import(py::module_& target, const char* source);

// Binds `from module import name` into target under the same name and returns the value.
py::object bind_import(py::module_& target, const char* module, const char* name);

// Parameters text of a CPython text signature ("state, /") and an optional docstring body.
struct Signature {
  Signature(const char* parameters, const char* doc = "") : parameters(parameters), doc(doc) {}
  const char* parameters;
  const char* doc;
};

// Docstring whose first lines carry the text signature that inspect.signature reads.
std::string signed_doc(const char* name, const Signature& signature);

// Module-level function with a text signature, e.g. parameters "state, /".
// `extra` are pybind11 annotations such as py::arg("callbacks") for keyword calls.
template <typename F, typename... Extra>
py::cpp_function signed_function(py::module_& module, const char* name, Signature signature, F&& f,
                                 const Extra&... extra) {
  py::options options;
  options.disable_function_signatures();
  auto text = signed_doc(name, signature);
  return py::cpp_function(std::forward<F>(f), py::name(name), py::scope(module), text.c_str(),
                          extra...);
}

template <typename F, typename... Extra>
void def_signed(py::module_& module, const char* name, Signature signature, F&& f,
                const Extra&... extra) {
  module.add_object(name, signed_function(module, name, signature, std::forward<F>(f), extra...),
                    /*overwrite=*/true);
}

// Builds a real Python subclass of a library class and attaches C++ methods to it
// after the class exists, so that pydantic bases do not take the methods for fields.
class ClassBuilder {
 public:
  // `body` holds further entries of the class body, such as `__annotations__`.
  ClassBuilder(py::module_& module, const char* name, py::handle base, py::dict body = {});

  // `parameters` is the text signature after `self`, e.g. "state, /, **kwargs".
  // `extra` are pybind11 annotations such as py::arg("callbacks") for keyword calls.
  template <typename F, typename... Extra>
  ClassBuilder& method(const char* name, Signature signature, F&& f, const Extra&... extra) {
    py::options options;
    options.disable_function_signatures();
    // pybind11 treats a function named __init__ as a constructor of its own classes and would
    // read our instances as such; the initialiser gets another name and is bound as __init__.
    const char* function_name = std::string_view(name) == "__init__" ? "initialise" : name;
    const char* parameters = signature.parameters;
    std::string params = std::string("self") + (*parameters ? ", " : "") + parameters;
    auto text = signed_doc(function_name, {params.c_str(), signature.doc});
    // No sibling: the C++ method replaces the base's, it does not overload it.
    py::cpp_function fn(std::forward<F>(f), py::name(function_name), py::is_method(cls_),
                        text.c_str(), extra...);
    py::setattr(cls_, name, fn);
    return *this;
  }

  // A classmethod: `f` receives the class first; `parameters` is the text signature after `cls`.
  template <typename F, typename... Extra>
  ClassBuilder& class_method(const char* name, Signature signature, F&& f, const Extra&... extra) {
    py::options options;
    options.disable_function_signatures();
    const char* parameters = signature.parameters;
    std::string params = std::string("cls") + (*parameters ? ", " : "") + parameters;
    auto text = signed_doc(name, {params.c_str(), signature.doc});
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::arg("cls"), extra..., text.c_str());
    py::setattr(cls_, name, py::module_::import("builtins").attr("classmethod")(fn));
    return *this;
  }

  ClassBuilder& attr(const char* name, py::object value);

  // Recomputes abstract methods, exports the class from the module and returns it.
  py::object finish();

 private:
  py::module_ module_;
  py::object cls_;
};

// The one holder of module-lifetime handles: a strong reference taken once under the GIL at
// module import and never released, so that it stays valid without destructors running after
// the interpreter is finalised. It is a handle itself (call it, read attributes, match it).
class ProcessRef : public py::handle {
 public:
  void set(py::handle value) { m_ptr = value.inc_ref().ptr(); }
  py::handle get() const { return *this; }
  // The held object as a module, for module handles.
  py::module_ module() const { return py::reinterpret_borrow<py::module_>(*this); }
};

// loguru's logger.
py::object loguru_logger();

// Runs body(); an error that Python's `except Exception` would catch goes to handler with the
// exception object (its __traceback__ set, as `except ... as error` gives it) and handler's
// result is returned. KeyboardInterrupt and kin propagate.
template <typename Body, typename Handler>
py::object except_exception(Body&& body, Handler&& handler) {
  try {
    return body();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
    return handler(error.value());
  } catch (const py::builtin_exception& error) {
    error.set_error();
    py::error_already_set fetched;
    return handler(fetched.value());
  }
}

// A positive number of seconds from the environment variable `name`, read now, or `fallback`
// when it is unset or empty; ValueError naming the variable for anything else.
double seconds_from_environment(const char* name, double fallback);

// The time-out of every model call in seconds: NORVIAI_MODEL_TIMEOUT, 240 by default, so that
// a stalled model service cannot hang a question.
inline double model_timeout() { return seconds_from_environment("NORVIAI_MODEL_TIMEOUT", 240.0); }

// Python's truthiness, as `bool(value)`.
inline bool truthy(py::handle value) { return PyObject_IsTrue(value.ptr()) == 1; }

// `with manager as target: return body(target)`.
template <typename Body>
py::object with_block(py::object manager, Body&& body) {
  py::object target = manager.attr("__enter__")();
  py::object result;
  try {
    try {
      result = body(target);
    } catch (const py::builtin_exception& error) {
      // __exit__ sees it as the Python exception it becomes.
      error.set_error();
      throw py::error_already_set();
    }
  } catch (py::error_already_set& error) {
    py::object traceback = error.trace() ? error.trace() : py::none();
    if (!truthy(manager.attr("__exit__")(error.type(), error.value(), traceback))) {
      throw;
    }
    return py::none();
  }
  manager.attr("__exit__")(py::none(), py::none(), py::none());
  return result;
}

}  // namespace norviai::py_common
