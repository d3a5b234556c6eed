// The key encoding and key lists with their duplicate check.
#include <cstring>

#include "decode/decoder.hpp"
#include "decode/siphash.hpp"

namespace vesk {

Result<Key> read_key(Decoder& d) noexcept {
  if (VESK_UNLIKELY(d.pos >= d.len)) {
    return short_input(d.pos);
  }
  const std::uint64_t at = d.pos;
  const std::uint8_t b = d.input[d.pos++];
  std::uint64_t n;
  if ((b & 0xE0) == 0x40) {
    n = b & 0x1F;
    if (n > d.remaining()) {
      return short_input(d.pos);
    }
  } else if (b == 0x06) {
    VESK_TRY_ASSIGN(const std::uint64_t i, uvarint(d));
    if (i >= d.pool.size()) {
      return bad("bad string reference", d.pos);
    }
    // Borrowed from the pool, which keeps the str, and so its bytes, to the end.
    return Key{Owned::borrow(d.pool[i].get()), pool_text(d, i)};
  } else if (b == 0x05) {
    VESK_TRY_ASSIGN(n, byte_count(d));
  } else {
    return bad("key must be a string", at);
  }
  const std::uint64_t text_pos = d.pos;
  VESK_TRY_ASSIGN(Owned s, owned(d, pooled_key(d, n, at)));
  return Key{std::move(s), d.text_at(text_pos, n)};
}

namespace {

// Lists up to this long are checked pairwise; longer ones through a hash set.
constexpr std::uint64_t pairwise_limit = 16;

// An open-addressing set of key texts, each named by its index in the key
// list. It starts small and doubles as keys arrive, so that its memory follows
// the keys read, not the count a header claims.
class TextSet {
 public:
  TextSet() noexcept = default;
  TextSet(const TextSet&) = delete;
  TextSet& operator=(const TextSet&) = delete;
  ~TextSet() { PyMem_Free(slots_); }

  // Inserts key `index` unless an equal text is there; returns whether it was
  // new, or an error (MemoryError) when the set cannot grow.
  Result<bool> insert(const KeyList& keys, std::uint32_t index,
                      std::string_view t) noexcept {
    // A load of at most one half keeps probe runs short.
    if (2 * (size_ + 1) > cap_ && !grow()) {
      return py_fail();
    }
    const std::uint64_t h = keyed_hash(reinterpret_cast<const std::uint8_t*>(t.data()), t.size());
    for (std::uint64_t i = h & (cap_ - 1);; i = (i + 1) & (cap_ - 1)) {
      Slot& s = slots_[i];
      if (s.index_plus_one == 0) {
        s.hash = h;
        s.index_plus_one = index + 1;
        ++size_;
        return true;
      }
      if (s.hash == h) {
        const Key& k = keys[s.index_plus_one - 1];
        if (k.utf8 == t) {
          return false;
        }
      }
    }
  }

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint32_t index_plus_one;  // 0: empty
  };

  VESK_NOINLINE bool grow() noexcept {
    const std::uint64_t cap = cap_ == 0 ? 64 : 2 * cap_;
    auto* fresh = static_cast<Slot*>(PyMem_Calloc(cap, sizeof(Slot)));
    if (fresh == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    for (std::uint64_t j = 0; j < cap_; ++j) {
      const Slot& s = slots_[j];
      if (s.index_plus_one != 0) {
        std::uint64_t i = s.hash & (cap - 1);
        while (fresh[i].index_plus_one != 0) {
          i = (i + 1) & (cap - 1);
        }
        fresh[i] = s;
      }
    }
    PyMem_Free(slots_);
    slots_ = fresh;
    cap_ = cap;
    return true;
  }

  Slot* slots_ = nullptr;
  std::uint64_t cap_ = 0;  // zero or a power of two
  std::uint64_t size_ = 0;
};

bool seen_pairwise(const KeyList& keys, std::string_view t) noexcept {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].utf8 == t) {
      return true;
    }
  }
  return false;
}

}  // namespace

Result<KeyList> unique_keys(Decoder& d, std::uint64_t count, std::string_view label) noexcept {
  KeyList keys;
  if (!keys.reserve(count)) {
    return py_fail();
  }
  const bool hashed = count > pairwise_limit;
  TextSet set;
  if (hashed && !hash_key_ready()) {
    return py_fail();
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    VESK_TRY_ASSIGN(Key key, read_key(d));
    const std::string_view t = key.utf8;
    bool duplicate;
    if (hashed) {
      VESK_TRY_ASSIGN(const bool fresh, set.insert(keys, static_cast<std::uint32_t>(i), t));
      duplicate = !fresh;
    } else {
      duplicate = seen_pairwise(keys, t);
    }
    if (duplicate) {
      return bad_quoted(label, t, d.pos);
    }
    // Cannot fail: the storage was reserved for `count` keys.
    (void)keys.push(std::move(key));
  }
  return keys;
}

}  // namespace vesk
