// Sparse tables: tables whose columns may cover only the rows that a presence
// bitmap names.
#include <cstring>

#include "decode/columns.hpp"

namespace vesk {
namespace {

enum class PresenceFlag : std::uint8_t { Dense = 0x00, Sparse = 0x01 };

// Counts the rows a presence bitmap of `bytes` bytes names, or -1 when a bit
// at a position of n or beyond is set.
std::int64_t present_rows(const std::uint8_t* bitmap, std::uint64_t bytes,
                          std::uint64_t n) noexcept {
  std::int64_t p = 0;
  std::uint64_t i = 0;
  // A word at a time: without a popcount instruction each count is a call.
  for (; bytes - i >= 8; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bitmap + i, sizeof w);
    p += __builtin_popcountll(w);
  }
  for (; i < bytes; ++i) {
    p += __builtin_popcount(bitmap[i]);
  }
  const unsigned used = static_cast<unsigned>(n & 7);
  if (used != 0 && (bitmap[bytes - 1] >> used) != 0) {
    return -1;
  }
  return p;
}

VESK_NOINLINE Result<Head> sparse_head(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(KeyList keys, header(d));
  VESK_TRY_ASSIGN(const std::uint64_t n, bit_count(d));
  // The format charges a sparse table's rows 2 x n, where a table only tests n + 1.
  if (!charge(d.size_budget, 2 * n)) {
    return bad("decoded size too large", d.pos);
  }
  VESK_TRY_ASSIGN(Rows rows, row_slots(n));
  return table_rows(std::move(keys), std::move(rows));
}

// Reads a column's presence flag and, when sparse, its bitmap: the rows it
// names, or -1 for a dense column.
VESK_NOINLINE Result<std::int64_t> presence(Decoder& d, std::uint64_t n) noexcept {
  if (d.pos >= d.len) {
    return short_input(d.pos);
  }
  const std::uint8_t flag = d.input[d.pos++];
  if (flag == static_cast<std::uint8_t>(PresenceFlag::Dense)) {
    return std::int64_t{-1};
  }
  if (flag != static_cast<std::uint8_t>(PresenceFlag::Sparse)) {
    return bad("bad presence flag", d.pos);
  }
  const std::uint64_t bytes = (n + 7) / 8;
  const std::uint64_t at = d.pos;
  if (bytes > d.remaining()) {
    return short_input(at);
  }
  d.pos = at + bytes;
  const std::int64_t p = present_rows(d.input + at, bytes, n);
  if (p < 0) {
    return bad("bad presence bitmap", d.pos);
  }
  return p;
}

}  // namespace

Result<Owned> sparse(Decoder& d, std::uint32_t depth) noexcept {
  auto head = sparse_head(d);
  if (VESK_UNLIKELY(!head.ok())) {
    return head.forward();
  }
  KeyedRows& t = *head.value();
  const auto n = static_cast<std::uint64_t>(PyList_GET_SIZE(t.rows.list.get()));
  for (std::size_t k = 0; k < t.keys.size(); ++k) {
    VESK_TRY_ASSIGN(const std::int64_t p, presence(d, n));
    // The bitmap ends where the column starts; the column's own entry checks
    // (depth, charge, kind) come next, at the position just past it.
    const std::uint8_t* bits = p < 0 ? nullptr : d.input + d.pos - (n + 7) / 8;
    VESK_TRY(kept_column(d, t, bits, p < 0 ? n : static_cast<std::uint64_t>(p), depth + 1));
  }
  VESK_TRY(fill_rows(t));
  return std::move(t.rows.list);
}

}  // namespace vesk
