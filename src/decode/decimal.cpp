// Scaled decimals: a 64-bit mantissa m and a scale s standing for m / 10^s.
#include "decode/decoder.hpp"

namespace vesk {
namespace {

constexpr double pow10_double[7] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
constexpr long long pow10_int[7] = {1, 10, 100, 1000, 10000, 100000, 1000000};
// Mantissas up to 2^53 convert to a double exactly, so one division rounds once.
constexpr std::uint64_t exact_double_limit = 9007199254740992ULL;

// The exact path for mantissas beyond 2^53: the interpreter's true division of
// two ints yields the double nearest to the exact quotient.
VESK_NOINLINE Result<Owned> big_decimal(std::int64_t mantissa, unsigned scale) noexcept {
  VESK_TRY_ASSIGN(const Owned a, made(PyLong_FromLongLong(mantissa)));
  VESK_TRY_ASSIGN(const Owned b, made(PyLong_FromLongLong(pow10_int[scale])));
  VESK_TRY_ASSIGN(const Owned c, made(PyNumber_TrueDivide(a.get(), b.get())));
  const double q = PyFloat_AsDouble(c.get());
  if (q == -1.0 && PyErr_Occurred()) {
    return py_fail();
  }
  return integral_float(q);
}

}  // namespace

Result<Owned> decimal_value(std::int64_t mantissa, unsigned scale) noexcept {
  if (scale == 0) {
    return made(PyLong_FromLongLong(mantissa));
  }
  const std::uint64_t magnitude = mantissa < 0 ? 0 - static_cast<std::uint64_t>(mantissa)
                                               : static_cast<std::uint64_t>(mantissa);
  if (VESK_UNLIKELY(magnitude > exact_double_limit)) {
    return big_decimal(mantissa, scale);
  }
  return integral_float(static_cast<double>(mantissa) / pow10_double[scale]);
}

}  // namespace vesk
