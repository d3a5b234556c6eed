// Column encodings: one decoder for the six column kinds, generic over where
// the cells go.
#pragma once

#include "decode/decoder.hpp"
#include "pyo/boxed.hpp"

namespace vesk {

enum class ColumnKind : std::uint8_t {
  Tagged = 0x00,
  Delta = 0x01,
  Decimal = 0x02,
  Dictionary = 0x03,
  Bitmap = 0x04,
  Object = 0x05,
};

// Fills the slots of a new list, created with exactly as many slots as cells.
struct ListSink {
  PyObject* list;

  VESK_INLINE Status put(std::uint64_t i, Owned v) noexcept {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v.release());
    return success();
  }
};

// Stores cell i under `key` into row i.
struct DictSink {
  PyObject* const* rows;  // borrowed; the caller owns the dicts
  std::uint64_t row_count;
  PyObject* key;  // borrowed from the caller's key list

  VESK_INLINE Status put(std::uint64_t i, Owned v) noexcept {
    if (VESK_UNLIKELY(i >= row_count)) {
      return bad("internal row index", 0);
    }
    if (VESK_UNLIKELY(PyDict_SetItem(rows[i], key, v.get()) < 0)) {
      return py_fail();
    }
    return success();
  }
};

// Keeps the cells of the columns of a sparse table, one column after the
// other, until every column is read; the rows are then filled one at a time
// (`fill_rows`). Tables fill rows made with every key in advance, and do not.
struct CellSink {
  Vec<Owned>* cells;

  VESK_INLINE Status put(std::uint64_t, Owned v) noexcept {
    if (VESK_UNLIKELY(!cells->push(std::move(v)))) {
      return py_fail();
    }
    return success();
  }
};

// The payload of each column kind: `count` cells put in index order.
template <class Sink>
Status tagged_cells(Decoder& d, std::uint64_t count, std::uint32_t depth, Sink& sink) noexcept;
template <class Sink>
Status delta_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept;
template <class Sink>
Status decimal_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept;
template <class Sink>
Status dictionary_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept;
template <class Sink>
Status bitmap_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept;
template <class Sink>
Status object_cells(Decoder& d, std::uint64_t count, std::uint32_t depth, Sink& sink) noexcept;

// The entry checks of a column, failed; cold, so that no error record takes
// room in the frames of the recursive loops that `column` is inlined into.
VESK_COLD Status column_too_deep(const Decoder& d) noexcept;
VESK_COLD Status column_too_large(const Decoder& d) noexcept;
VESK_COLD Status column_short(const Decoder& d) noexcept;
VESK_COLD Status bad_column_kind(std::uint64_t at) noexcept;

// Reads one column of `count` cells (kind byte and payload) at `depth`, charging
// count + 1 to the decoded-size budget, and puts every cell in index order.
// Inlined: a frame of its own at every level of nested columns would cost the
// deepest documents more stack than a small thread has.
template <class Sink>
VESK_INLINE Status column(Decoder& d, std::uint64_t count, std::uint32_t depth,
                          Sink& sink) noexcept {
  if (VESK_UNLIKELY(depth > d.depth_limit)) {
    return column_too_deep(d);
  }
  if (VESK_UNLIKELY(!charge(d.size_budget, count + 1))) {
    return column_too_large(d);
  }
  if (VESK_UNLIKELY(d.pos >= d.len)) {
    return column_short(d);
  }
  const std::uint64_t at = d.pos;
  const std::uint8_t kind = d.input[d.pos++];
  switch (static_cast<ColumnKind>(kind)) {
    case ColumnKind::Tagged:
      return tagged_cells(d, count, depth, sink);
    case ColumnKind::Delta:
      return delta_cells(d, count, sink);
    case ColumnKind::Decimal:
      return decimal_cells(d, count, sink);
    case ColumnKind::Dictionary:
      return dictionary_cells(d, count, sink);
    case ColumnKind::Bitmap:
      return bitmap_cells(d, count, sink);
    case ColumnKind::Object:
      return object_cells(d, count, depth, sink);
  }
  return bad_column_kind(at);
}

// A list of n new dicts and the row array through which they are
// addressed by index (borrowed from the list).
class Rows {
 public:
  Rows() noexcept = default;
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  Rows(Rows&& other) noexcept
      : list(std::move(other.list)), rows(std::exchange(other.rows, nullptr)) {}
  Rows& operator=(Rows&&) = delete;
  ~Rows() { PyMem_Free(rows); }

  Owned list;
  PyObject** rows = nullptr;
};

// With `keys`, every row starts out holding all of them (mapped to None) in
// key-list order, for callers whose columns then fill every row under every key.
Result<Rows> row_dicts(std::uint64_t count, const KeyList* keys) noexcept;
// The fewest input bytes a column of `count` cells takes: a kind byte and a bitmap.
[[nodiscard]] VESK_INLINE std::uint64_t column_floor(std::uint64_t count) noexcept {
  return 1 + (count + 7) / 8;
}

// The keys to start `count` rows with: all of them when the columns that
// follow can be whole, else none. Whole means the budget pays for a column of
// `count` cells per key and the input holds the smallest such columns beyond
// what the columns of enclosing tables with filled rows still claim. The
// claim is held until each column starts (`start_column`), so that the
// entries made in advance, over all nesting levels together, stay within
// eight per input byte, as the cells of real columns do.
[[nodiscard]] inline const KeyList* prefill(Decoder& d, const KeyList& keys,
                                            std::uint64_t count) noexcept {
  // Every factor is below 2^31, so no product can overflow.
  const std::uint64_t k = keys.size();
  const std::uint64_t claim = k * column_floor(count);
  const std::uint64_t left = d.remaining();
  const std::uint64_t unclaimed = left > d.prefill_claim ? left - d.prefill_claim : 0;
  const bool payable = static_cast<std::int64_t>(k * (count + 1)) <= d.size_budget;
  if (!payable || claim > unclaimed) {
    return nullptr;
  }
  d.prefill_claim += claim;
  return &keys;
}

// Gives back the claim of one column of rows filled in advance as it starts.
VESK_INLINE void start_column(Decoder& d, bool filled, std::uint64_t count) noexcept {
  if (filled) {
    d.prefill_claim -= column_floor(count);
  }
}

// The key list and the rows of a table, a sparse table or an Object column.
// Their heads are read by functions of their own, which return this record
// on the heap: the recursive loops over the columns then keep one pointer in
// their frames, and no temporaries of the heads.
// Where the cells of one column stand among the kept cells, and which rows
// they go to.
struct ColumnCells {
  const std::uint8_t* presence;  // ceil(n / 8) bytes in the input; null for a dense column
  std::size_t next;              // the index of its next cell to store
};

struct KeyedRows {
  KeyList keys;
  Rows rows;
  bool filled;  // every row starts out holding every key
  // The cells of a sparse table's columns read so far, in column order.
  Vec<Owned> cells{};
  Vec<ColumnCells> columns{};
};
using Head = Boxed<KeyedRows>;

// `rows` moved to the heap.
Result<Head> head_of(KeyedRows rows) noexcept;

// The rows of `count` cells for `keys`, filled in advance when `prefill` allows.
Result<Head> keyed_rows(Decoder& d, KeyList keys, std::uint64_t count) noexcept;

// Notes where the next column's `count` cells will stand, and makes room
// for them: no more than the rows already made.
Status keep_column(KeyedRows& t, const std::uint8_t* presence, std::uint64_t count) noexcept;

// Stores the kept cells into the rows, a row at a time: each row is built
// whole while it is in the cache, as when rows are written one by one, instead
// of every column walking all rows again. Keys enter each row in column order.
Status fill_rows(KeyedRows& t) noexcept;

// The key list of a table or sparse table.
Result<KeyList> header(Decoder& d) noexcept;

}  // namespace vesk
