#include "modules/common/pyutil.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/text_util.hpp"

namespace norviai::py_common {

namespace {

std::string type_name(py::handle type) { return py::str(type.attr("__name__")); }

[[noreturn]] void raise_type_error(py::handle value, py::handle expected, const char* parameter,
                                   bool none_allowed) {
  std::string expected_text = "'" + type_name(expected) + "'";
  if (none_allowed) expected_text += " or None";
  raise_error(PyExc_TypeError, "Argument '" + std::string(parameter) + "' must be of type " +
                                   expected_text + ", got '" +
                                   type_name(py::type::handle_of(value)) + "'");
}

}  // namespace

void require_exact_type(py::handle value, py::handle expected, const char* parameter) {
  if (py::type::handle_of(value).ptr() != expected.ptr()) {
    raise_type_error(value, expected, parameter, false);
  }
}

void require_exact_type_or_none(py::handle value, py::handle expected, const char* parameter) {
  if (!value.is_none() && py::type::handle_of(value).ptr() != expected.ptr()) {
    raise_type_error(value, expected, parameter, true);
  }
}

void raise_error(py::handle type, const std::string& text) {
  PyErr_SetObject(type.ptr(), py::str(text).ptr());
  throw py::error_already_set();
}

void raise_error(py::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

py::object module_global(py::handle module, const char* name) {
  py::dict globals = module.attr("__dict__");
  if (!globals.contains(name))
    raise_error(PyExc_NameError, std::string("name '") + name + "' is not defined");
  return globals[name];
}

py::object import_from(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

void star_import(py::module_& target, const char* source) {
  py::module_ src = py::module_::import(source);
  py::object names;
  if (py::hasattr(src, "__all__")) {
    names = src.attr("__all__");
  } else {
    py::list public_names;
    for (auto key : src.attr("__dict__").attr("keys")()) {
      auto name = key.cast<std::string>();
      if (!name.empty() && name[0] != '_') public_names.append(key);
    }
    names = public_names;
  }
  for (auto name : names) {
    auto text = name.cast<std::string>();
    target.add_object(text.c_str(), src.attr(name), /*overwrite=*/true);
  }
}

py::object bind_import(py::module_& target, const char* module, const char* name) {
  py::object value = import_from(module, name);
  target.add_object(name, value, /*overwrite=*/true);
  return value;
}

std::string signed_doc(const char* name, const Signature& signature) {
  return std::string(name) + "(" + signature.parameters + ")\n--\n\n" + signature.doc;
}

ClassBuilder::ClassBuilder(py::module_& module, const char* name, py::handle base, py::dict body)
    : module_(module) {
  py::object types = py::module_::import("types");
  py::str module_name = module.attr("__name__");
  py::str qualname(name);
  py::cpp_function fill([module_name, qualname, body](py::dict ns) {
    ns["__module__"] = module_name;
    ns["__qualname__"] = qualname;
    for (auto [key, value] : body) ns[key] = value;
  });
  cls_ = types.attr("new_class")(name, py::make_tuple(base), py::dict(), fill);
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  py::setattr(cls_, name, value);
  return *this;
}

py::object ClassBuilder::finish() {
  py::module_::import("abc").attr("update_abstractmethods")(cls_);
  module_.add_object(py::str(cls_.attr("__name__")).cast<std::string>().c_str(), cls_,
                     /*overwrite=*/true);
  return cls_;
}

double seconds_from_environment(const char* name, double fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  // The whole text must be the number, read the same way whatever the process locale.
  const std::string number = core::trim(text);
  double seconds = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), seconds);
  if (error == std::errc() && end == number.data() + number.size() && seconds > 0 &&
      std::isfinite(seconds)) {
    return seconds;
  }
  raise_error(PyExc_ValueError,
              std::string(name) + " must be a positive number of seconds, got '" + text + "'");
}

std::string package_path(const char* relative) {
  py::object path = py::module_::import("os").attr("path");
  py::object folder = path.attr("dirname")(py::module_::import("norviai").attr("__file__"));
  return path.attr("join")(folder, relative).cast<std::string>();
}

py::object loguru_logger() { return import_from("loguru", "logger"); }

}  // namespace norviai::py_common
