// The error record that every decoding step returns instead of its result.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#define VESK_LIKELY(x) __builtin_expect(!!(x), 1)
#define VESK_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define VESK_INLINE inline __attribute__((always_inline))
#define VESK_NOINLINE __attribute__((noinline))
#define VESK_COLD __attribute__((noinline, cold))

namespace vesk {

enum class ErrKind : std::uint8_t {
  Bad,     // malformed input or an exceeded limit; no Python exception is pending
  PyFail,  // a CPython call failed and its exception is pending
};

class DecodeError {
 public:
  DecodeError(DecodeError&& other) noexcept
      : text_(other.text_), len_(other.len_), owned_(std::exchange(other.owned_, nullptr)),
        offset_(other.offset_), kind_(other.kind_) {}
  DecodeError(const DecodeError&) = delete;
  DecodeError& operator=(const DecodeError&) = delete;
  DecodeError& operator=(DecodeError&&) = delete;
  ~DecodeError() { PyMem_Free(owned_); }

  // A static message; nothing is allocated.
  static DecodeError bad(const char* message, std::uint64_t offset) noexcept {
    return DecodeError(ErrKind::Bad, message, std::char_traits<char>::length(message), nullptr,
                       offset);
  }
  // A message in a buffer from PyMem_Malloc, which the record now owns.
  static DecodeError bad_owned(char* buffer, std::size_t len, std::uint64_t offset) noexcept {
    return DecodeError(ErrKind::Bad, buffer, len, buffer, offset);
  }
  static DecodeError py_fail() noexcept {
    return DecodeError(ErrKind::PyFail, "", 0, nullptr, 0);
  }

  [[nodiscard]] ErrKind kind() const noexcept { return kind_; }
  [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
  [[nodiscard]] std::string_view message() const noexcept { return {text_, len_}; }

 private:
  DecodeError(ErrKind kind, const char* text, std::size_t len, char* owned,
              std::uint64_t offset) noexcept
      : text_(text), len_(len), owned_(owned), offset_(offset), kind_(kind) {}

  const char* text_;
  std::size_t len_;
  char* owned_;
  std::uint64_t offset_;
  ErrKind kind_;
};

VESK_COLD inline DecodeError bad(const char* message, std::uint64_t offset) noexcept {
  return DecodeError::bad(message, offset);
}
VESK_COLD inline DecodeError py_fail() noexcept { return DecodeError::py_fail(); }

// "{label} '{text}'" for duplicate keys and columns; the text is shown as it
// stands in the input. An allocation failure yields PyFail with MemoryError.
DecodeError bad_quoted(std::string_view label, std::string_view text, std::uint64_t offset);
// A printf-style message such as "bad tag 0x0e".
DecodeError bad_format(std::uint64_t offset, const char* format, unsigned value);

struct Unit {};

// Either a value or an error record (a DecodeError unless a step of the
// encoder names its own); callers must look at it.
template <class T, class E = DecodeError>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : ok_(true) { ::new (&value_) T(std::move(value)); }
  Result(E error) noexcept : ok_(false) { ::new (&error_) E(std::move(error)); }
  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_) {
      ::new (&value_) T(std::move(other.value_));
    } else {
      ::new (&error_) E(std::move(other.error_));
    }
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (ok_) {
      value_.~T();
    } else {
      error_.~E();
    }
  }

  [[nodiscard]] bool ok() const noexcept { return ok_; }
  [[nodiscard]] T take() noexcept { return std::move(value_); }
  [[nodiscard]] E error() noexcept { return std::move(error_); }

 private:
  union {
    T value_;
    E error_;
  };
  bool ok_;
};

using Status = Result<Unit>;

inline Status success() noexcept { return Unit{}; }

#define VESK_CAT2(a, b) a##b
#define VESK_CAT(a, b) VESK_CAT2(a, b)

// Returns the error of a failed step to the caller unchanged.
#define VESK_TRY(expr)                                \
  do {                                                \
    auto vesk_try_r_ = (expr);                        \
    if (VESK_UNLIKELY(!vesk_try_r_.ok())) {           \
      return vesk_try_r_.error();                     \
    }                                                 \
  } while (0)

// Declares `decl` from a successful step, or returns its error.
#define VESK_TRY_ASSIGN(decl, expr) VESK_TRY_ASSIGN_IMPL(VESK_CAT(vesk_r_, __LINE__), decl, expr)
#define VESK_TRY_ASSIGN_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                          \
  if (VESK_UNLIKELY(!tmp.ok())) {             \
    return tmp.error();                       \
  }                                           \
  decl = tmp.take()

}  // namespace vesk
