#include "err/error.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vesk {

DecodeError bad_quoted(std::string_view label, std::string_view text, std::uint64_t offset) {
  const std::size_t len = label.size() + text.size() + 3;
  char* buffer = message_buffer(len);
  if (buffer == nullptr) {
    PyErr_NoMemory();
    return py_fail();
  }
  char* out = buffer + sizeof(std::size_t);
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
  char* buffer = message_buffer(cap);
  if (buffer == nullptr) {
    PyErr_NoMemory();
    return py_fail();
  }
  const int len = std::snprintf(buffer + sizeof(std::size_t), cap, format, value);
  // A message cut short by the buffer keeps what fitted.
  const std::size_t n = len < 0 ? 0 : std::min(static_cast<std::size_t>(len), cap - 1);
  return DecodeError::bad_owned(buffer, n, offset);
}

}  // namespace vesk
