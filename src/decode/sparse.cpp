// Sparse tables: tables whose columns may cover only the rows that a presence
// bitmap names.
#include "decode/columns.hpp"

namespace vesk {
namespace {

enum class PresenceFlag : std::uint8_t { Dense = 0x00, Sparse = 0x01 };

// Counts the rows a presence bitmap of `bytes` bytes names, or -1 when a bit
// at a position of n or beyond is set.
std::int64_t present_rows(const std::uint8_t* bitmap, std::uint64_t bytes,
                          std::uint64_t n) noexcept {
  std::int64_t p = 0;
  for (std::uint64_t i = 0; i < bytes; ++i) {
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
  VESK_TRY_ASSIGN(Rows rows, row_dicts(n, nullptr));
  return head_of(KeyedRows{std::move(keys), std::move(rows), false});
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

// Where the cells of one column stand among the kept cells, and which rows
// they go to.
struct ColumnCells {
  const std::uint8_t* presence;  // ceil(n / 8) bytes in the input; null for a dense column
  std::size_t next;              // the index of its next cell to store
};

// A sparse table's head and the cells of its columns, on the heap, so that the
// loop over the columns keeps one pointer in its frame.
struct SparseTable {
  KeyedRows t;
  Vec<Owned> cells;
  Vec<ColumnCells> columns;
};
using SparseHead = Boxed<SparseTable>;

VESK_NOINLINE Result<SparseHead> sparse_table(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(Head head, sparse_head(d));
  SparseHead s = SparseHead::make(SparseTable{std::move(*head), {}, {}});
  if (!s || !s->columns.reserve(s->t.keys.size())) {
    return py_fail();
  }
  return s;
}

// Stores the kept cells into the rows, a row at a time: each row is built
// whole while it is in the cache, as when rows are written one by one, instead
// of every column walking all rows again. Keys enter each row in column order.
VESK_NOINLINE Status fill_rows(SparseTable& s, std::uint64_t n) noexcept {
  const std::size_t k = s.columns.size();
  for (std::uint64_t i = 0; i < n; ++i) {
    PyObject* row = s.t.rows.rows[i];
    const std::uint8_t bit = static_cast<std::uint8_t>(1U << (i & 7));
    for (std::size_t c = 0; c < k; ++c) {
      ColumnCells& col = s.columns[c];
      if (col.presence != nullptr && (col.presence[i >> 3] & bit) == 0) {
        continue;
      }
      if (VESK_UNLIKELY(PyDict_SetItem(row, s.t.keys[c].obj.get(), s.cells[col.next].get()) < 0)) {
        return py_fail();
      }
      ++col.next;
    }
  }
  return success();
}

// Reads the presence of the next column and notes where its cells will
// stand: the number of cells it has.
VESK_NOINLINE Result<std::uint64_t> next_column(Decoder& d, SparseTable& s,
                                                std::uint64_t n) noexcept {
  VESK_TRY_ASSIGN(const std::int64_t p, presence(d, n));
  // Cannot fail: reserved for every key.
  (void)s.columns.push(ColumnCells{p < 0 ? nullptr : d.input + d.pos - (n + 7) / 8,
                                   s.cells.size()});
  return p < 0 ? n : static_cast<std::uint64_t>(p);
}

}  // namespace

Result<Owned> sparse(Decoder& d, std::uint32_t depth) noexcept {
  VESK_TRY_ASSIGN(SparseHead s, sparse_table(d));
  const auto n = static_cast<std::uint64_t>(PyList_GET_SIZE(s->t.rows.list.get()));
  CellSink sink{&s->cells};
  for (std::size_t k = 0; k < s->t.keys.size(); ++k) {
    VESK_TRY_ASSIGN(const std::uint64_t count, next_column(d, *s, n));
    // The bitmap ends where the column starts; the column's own entry checks
    // (depth, charge, kind) come next, at the position just past it.
    VESK_TRY(column(d, count, depth + 1, sink));
  }
  VESK_TRY(fill_rows(*s, n));
  return std::move(s->t.rows.list);
}

}  // namespace vesk
