#include "python/common/binding.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace fendral::python {
namespace {

// A keyword's text for comparison and for messages; lone surrogates survive as themselves.
std::string keyword_text(PyObject* key) {
  if (auto text = text_of(key)) return std::move(*text);
  PyErr_Clear();
  return "<unprintable>";
}

std::string missing_names(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) list += ',';
      list += (i + 1 == names.size()) ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

}  // namespace

HostResult<void> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                std::span<PyObject*> slots) {
  const std::size_t parameter_count = signature.parameters.size();
  const std::size_t positional_limit = std::min(parameter_count, signature.positional);
  const auto positional_count = static_cast<std::size_t>(PyTuple_Size(args));
  if (positional_count > positional_limit) {
    std::string message(signature.display_name);
    message += " takes ";
    if (signature.required < positional_limit) {  // a keyword-only tail is not counted
      message += "from " + std::to_string(signature.required) + " to ";
    }
    message += std::to_string(positional_limit) + " positional arguments but " +
               std::to_string(positional_count) + (positional_count == 1 ? " was" : " were") +
               " given";
    return pending_error(PyExc_TypeError, std::move(message));
  }
  for (std::size_t i = 0; i < positional_count; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::string name = keyword_text(key);
      std::size_t slot = parameter_count;
      if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < parameter_count; ++i) {
          if (signature.parameters[i] == name) slot = i;
        }
      }
      if (slot == parameter_count) {
        return pending_error(PyExc_TypeError, std::string(signature.display_name) +
                                                  " got an unexpected keyword argument '" + name +
                                                  "'");
      }
      if (slots[slot] != nullptr) {
        return pending_error(PyExc_TypeError, std::string(signature.display_name) +
                                                  " got multiple values for argument '" + name +
                                                  "'");
      }
      slots[slot] = value;
    }
  }

  if (positional_count < signature.required) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
      if (slots[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    if (!missing.empty()) {
      std::string message(signature.display_name);
      message += " missing " + std::to_string(missing.size()) + " required positional " +
                 (missing.size() == 1 ? "argument" : "arguments") + ": " + missing_names(missing);
      return pending_error(PyExc_TypeError, std::move(message));
    }
  }
  return {};
}

}  // namespace fendral::python
