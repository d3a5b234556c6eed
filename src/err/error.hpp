// The error record that every decoding step returns instead of its result.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Two words, so that every Result stays small: the recursive decoding steps
// each keep a few of them in their frames, and the deepest documents must
// decode on a small thread stack.
class DecodeError {
 public:
  DecodeError(DecodeError&& other) noexcept
      : text_(std::exchange(other.text_, nullptr)), bits_(std::exchange(other.bits_, 0)) {}
  DecodeError(const DecodeError&) = delete;
  DecodeError& operator=(const DecodeError&) = delete;
  DecodeError& operator=(DecodeError&&) = delete;
  ~DecodeError() {
    if ((bits_ & 1) != 0) {
      PyMem_Free(const_cast<char*>(text_));
    }
  }

  // A static message; nothing is allocated.
  static DecodeError bad(const char* message, std::uint64_t offset) noexcept {
    return DecodeError(message, offset, false);
  }
  // A message of `len` bytes (any bytes, NUL included) after a length word, in a
  // buffer from `message_buffer`, which the record now owns.
  static DecodeError bad_owned(char* buffer, std::size_t len, std::uint64_t offset) noexcept {
    std::memcpy(buffer, &len, sizeof len);
    return DecodeError(buffer, offset, true);
  }
  static DecodeError py_fail() noexcept { return DecodeError(nullptr, 0, false); }

  [[nodiscard]] ErrKind kind() const noexcept {
    return text_ == nullptr ? ErrKind::PyFail : ErrKind::Bad;
  }
  [[nodiscard]] std::uint64_t offset() const noexcept { return bits_ >> 1; }
  [[nodiscard]] std::string_view message() const noexcept {
    if (text_ == nullptr) {
      return {};
    }
    if ((bits_ & 1) == 0) {
      return text_;
    }
    std::size_t len;
    std::memcpy(&len, text_, sizeof len);
    return {text_ + sizeof len, len};
  }

 private:
  DecodeError(const char* text, std::uint64_t offset, bool owned) noexcept
      : text_(text), bits_(offset << 1 | (owned ? 1 : 0)) {}

  const char* text_;  // null for PyFail
  // The offset, shifted left by one (offsets are input positions, far below
  // 2^63), and in the low bit whether the record owns its text.
  std::uint64_t bits_;
};

// A buffer for an owned message of `len` bytes, room for its length word included.
[[nodiscard]] inline char* message_buffer(std::size_t len) noexcept {
  return static_cast<char*>(PyMem_Malloc(sizeof(std::size_t) + len));
}

VESK_COLD inline DecodeError bad(const char* message, std::uint64_t offset) noexcept {
  return DecodeError::bad(message, offset);
}
VESK_COLD inline DecodeError py_fail() noexcept { return DecodeError::py_fail(); }

// "{label} '{text}'" for duplicate keys and columns; the text is shown as it
// stands in the input. An allocation failure yields PyFail with MemoryError.
DecodeError bad_quoted(std::string_view label, std::string_view text, std::uint64_t offset);
// A printf-style message such as "bad tag 0x0e".
DecodeError bad_format(std::uint64_t offset, const char* format, unsigned value);

// Where a step that returns a bare pointer leaves its error: null from such a
// step means the slot holds the error record, which the caller takes once.
class ErrorSlot {
 public:
  ErrorSlot() noexcept = default;
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;
  ~ErrorSlot() { clear(); }

  void put(DecodeError error) noexcept {
    clear();
    ::new (static_cast<void*>(storage_)) DecodeError(std::move(error));
    full_ = true;
  }
  // The record left here; PyFail should no step have left one, so that the
  // caller reports the exception pending or a fault, never a made-up message.
  [[nodiscard]] DecodeError take() noexcept {
    if (!full_) {
      return DecodeError::py_fail();
    }
    DecodeError error(std::move(*held()));
    clear();
    return error;
  }

 private:
  DecodeError* held() noexcept { return std::launder(reinterpret_cast<DecodeError*>(storage_)); }
  void clear() noexcept {
    if (full_) {
      held()->~DecodeError();
      full_ = false;
    }
  }

  alignas(DecodeError) unsigned char storage_[sizeof(DecodeError)];
  bool full_ = false;
};

struct Unit {};

// The error of a failed Result, handed to the caller's Result of another type
// without an intermediate record in the frame.
template <class E>
struct Forwarded {
  E* error;
};

// Either a value or an error record (a DecodeError unless a step of the
// encoder names its own); callers must look at it.
template <class T, class E = DecodeError>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : ok_(true) { ::new (&value_) T(std::move(value)); }
  Result(E error) noexcept : ok_(false) { ::new (&error_) E(std::move(error)); }
  Result(Forwarded<E> f) noexcept : ok_(false) { ::new (&error_) E(std::move(*f.error)); }
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
  // The value in place, for callers that keep it where it was returned.
  [[nodiscard]] T& value() noexcept { return value_; }
  [[nodiscard]] E error() noexcept { return std::move(error_); }
  [[nodiscard]] Forwarded<E> forward() noexcept { return {&error_}; }

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
      return vesk_try_r_.forward();                   \
    }                                                 \
  } while (0)

// Declares `decl` from a successful step, or returns its error.
#define VESK_TRY_ASSIGN(decl, expr) VESK_TRY_ASSIGN_IMPL(VESK_CAT(vesk_r_, __LINE__), decl, expr)
#define VESK_TRY_ASSIGN_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                          \
  if (VESK_UNLIKELY(!tmp.ok())) {             \
    return tmp.forward();                     \
  }                                           \
  decl = tmp.take()

}  // namespace vesk
