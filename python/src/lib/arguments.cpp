// The argument parser: binds positional and keyword values to a parameter table and reports
// every mistake with the function's name.

#include "lib/arguments.hpp"

#include <cassert>
#include <cstring>
#include <string>
#include <vector>

namespace tessaradb::python {
namespace {

struct KeywordValue {
  PyObject* name;  // borrowed; a str
  PyObject* value;  // borrowed
};

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " " : ", ";
    if (i > 0 && i + 1 == names.size()) out += "and ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void raise_missing(const char* function, const char* kind, const std::vector<const char*>& names) {
  raise_type_error(std::string(function) + " missing " + std::to_string(names.size()) +
                   " required " + kind + (names.size() == 1 ? " argument: " : " arguments: ") +
                   quoted_list(names));
}

bool bind(const char* function, std::span<const Param> params, PyObject* const* positional,
          Py_ssize_t npositional, const std::vector<KeywordValue>& keywords,
          std::span<PyObject*> out) {
  assert(out.size() == params.size());
  std::size_t max_positional = 0, min_positional = 0;
  for (const Param& p : params) {
    if (p.kind != ParamKind::PositionalOrKeyword) break;
    ++max_positional;
    if (p.is_required) ++min_positional;
  }
  for (PyObject*& slot : out) slot = nullptr;

  const auto given = static_cast<std::size_t>(npositional);
  if (given > max_positional) {
    std::string message = std::string(function) + " takes ";
    if (min_positional == max_positional) {
      message += std::to_string(max_positional);
    } else {
      message += "from " + std::to_string(min_positional) + " to " + std::to_string(max_positional);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    raise_type_error(message);
    return false;
  }
  for (std::size_t i = 0; i < given; ++i) out[i] = positional[i];

  for (const KeywordValue& keyword : keywords) {
    Py_ssize_t length = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword.name, &length);
    if (name == nullptr) return false;
    std::size_t index = 0;
    while (index < params.size() && std::strcmp(params[index].name, name) != 0) ++index;
    if (index == params.size() || std::strlen(name) != static_cast<std::size_t>(length)) {
      raise_type_error(std::string(function) + " got an unexpected keyword argument '" +
                       std::string(name, static_cast<std::size_t>(length)) + "'");
      return false;
    }
    if (out[index] != nullptr) {
      raise_type_error(std::string(function) + " got multiple values for argument '" + name + "'");
      return false;
    }
    out[index] = keyword.value;
  }

  std::vector<const char*> missing_positional, missing_keyword;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (out[i] != nullptr || !params[i].is_required) continue;
    (params[i].kind == ParamKind::PositionalOrKeyword ? missing_positional : missing_keyword)
        .push_back(params[i].name);
  }
  if (!missing_positional.empty()) {
    raise_missing(function, "positional", missing_positional);
    return false;
  }
  if (!missing_keyword.empty()) {
    raise_missing(function, "keyword", missing_keyword);
    return false;
  }
  return true;
}

}  // namespace

bool parse_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
  std::vector<KeywordValue> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    keywords.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      keywords.push_back({PyTuple_GET_ITEM(kwnames, i), args[nargs + i]});
    }
  }
  return bind(function, params, args, nargs, keywords, out);
}

bool parse_arguments(const char* function, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> out) {
  std::vector<KeywordValue> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise_type_error(std::string(function) + " keywords must be strings");
        return false;
      }
      keywords.push_back({key, value});
    }
  }
  return bind(function, params, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), keywords,
              out);
}

}  // namespace tessaradb::python
