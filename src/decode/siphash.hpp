// SipHash-1-3 under a random key drawn once per process, so that a crafted key
// list cannot make the duplicate check quadratic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// Draws the process key on first use; false with OSError set when the
// operating system gives no random bytes.
[[nodiscard]] bool hash_key_ready() noexcept;
// Hashes bytes under the process key; hash_key_ready() must have succeeded.
std::uint64_t keyed_hash(const std::uint8_t* data, std::size_t len) noexcept;

}  // namespace vesk
