#include "err/error.hpp"

#include <cstdio>
#include <cstring>

namespace vesk {

DecodeError bad_quoted(std::string_view label, std::string_view text, std::uint64_t offset) {
  const std::size_t len = label.size() + text.size() + 3;
  auto* buffer = static_cast<char*>(PyMem_Malloc(len));
  if (buffer == nullptr) {
    PyErr_NoMemory();
    return py_fail();
  }
  char* out = buffer;
  std::memcpy(out, label.data(), label.size());
  out += label.size();
  *out++ = ' ';
  *out++ = '\'';
  if (!text.empty()) {
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  }
  *out = '\'';
  return DecodeError::bad_owned(buffer, len, offset);
}

DecodeError bad_format(std::uint64_t offset, const char* format, unsigned value) {
  constexpr std::size_t cap = 48;
  auto* buffer = static_cast<char*>(PyMem_Malloc(cap));
  if (buffer == nullptr) {
    PyErr_NoMemory();
    return py_fail();
  }
  const int len = std::snprintf(buffer, cap, format, value);
  return DecodeError::bad_owned(buffer, len < 0 ? 0 : static_cast<std::size_t>(len), offset);
}

}  // namespace vesk
