// Binding a call's positional and keyword arguments to named parameters, required but for an
// optional tail.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "python/common/error.hpp"

namespace fendral::python {

struct Signature {
  std::string_view display_name;  // for example "deconstruct_file()" or "Chunk.__new__()"
  std::span<const std::string_view> parameters;
  std::size_t required = parameters.size();    // the rest are optional: their slots stay null
  std::size_t positional = parameters.size();  // the rest are given by keyword only
};

// Fills `slots` (one per parameter, borrowed references; null for an optional one not given) or
// fails with Python's TypeError texts.
[[nodiscard]] HostResult<void> bind_arguments(const Signature& signature, PyObject* args,
                                              PyObject* kwargs, std::span<PyObject*> slots);

template <std::size_t N>
[[nodiscard]] HostResult<std::array<PyObject*, N>> bind_arguments(
    std::string_view display_name, const std::array<std::string_view, N>& names, PyObject* args,
    PyObject* kwargs, std::size_t required = N, std::size_t positional = N) {
  std::array<PyObject*, N> slots{};
  FENDRAL_CHECK(
      bind_arguments(Signature{display_name, names, required, positional}, args, kwargs, slots));
  return slots;
}

// Applies `rule` to one bound argument; a TypeError gets the parameter's name in front.
template <class Rule>
auto convert_argument(PyObject* argument, std::string_view name, Rule rule)
    -> decltype(rule(argument)) {
  auto value = rule(argument);
  if (!value) return unexpected(std::move(value.error()).named_argument(name));
  return value;
}

}  // namespace fendral::python
