#include "decode/siphash.hpp"

#include <Python.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk {
namespace {

// Guarded by the interpreter lock, which every caller holds.
bool seeded = false;
std::uint64_t key0 = 0;
std::uint64_t key1 = 0;

// Fills `out` from the kernel's generator without ever waiting for it: the
// interpreter lock is held. The system call is made directly, since C
// libraries before glibc 2.25 do not wrap it; without it (ENOSYS), or while
// the generator is not yet seeded (EAGAIN), /dev/urandom answers instead.
bool getrandom_bytes(std::uint8_t* out, std::size_t n) noexcept {
#ifdef SYS_getrandom
  constexpr unsigned nonblock = 0x0001;  // GRND_NONBLOCK, which old headers lack
  std::size_t got = 0;
  while (got < n) {
    const long r = syscall(SYS_getrandom, out + got, n - got, nonblock);
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  return true;
#else
  (void)out;
  (void)n;
  return false;
#endif
}

bool urandom_bytes(std::uint8_t* out, std::size_t n) noexcept {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, out + got, n - got);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) {
        continue;
      }
      break;
    }
    got += static_cast<std::size_t>(r);
  }
  close(fd);
  return got == n;
}

bool random_bytes(std::uint8_t* out, std::size_t n) noexcept {
  return getrandom_bytes(out, n) || urandom_bytes(out, n);
}

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                      std::uint64_t& v3) noexcept {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

}  // namespace

bool hash_key_ready() noexcept {
  if (seeded) {
    return true;
  }
  std::uint8_t bytes[16];
  if (!random_bytes(bytes, sizeof bytes)) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  std::memcpy(&key0, bytes, 8);
  std::memcpy(&key1, bytes + 8, 8);
  seeded = true;
  return true;
}

std::uint64_t keyed_hash(const std::uint8_t* data, std::size_t len) noexcept {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ key1;
  const std::size_t whole = len & ~static_cast<std::size_t>(7);
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, data + i, 8);  // the hash is defined on little-endian words
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(len) << 56;
  for (std::size_t i = whole; i < len; ++i) {
    last |= static_cast<std::uint64_t>(data[i]) << (8 * (i - whole));
  }
  v3 ^= last;
  sip_round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) {
    sip_round(v0, v1, v2, v3);
  }
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace vesk
