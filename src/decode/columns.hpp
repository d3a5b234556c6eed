// Column encodings: one decoder for the six column kinds, generic over where
// the cells go.
#pragma once

#include "decode/decoder.hpp"
#include "pyo/boxed.hpp"
#include "pyo/dicts.hpp"

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
  // Where the rows' entries are their `key_count` keys in order (0 if not),
  // the entry of `key`, whose value is then stored without a lookup.
  std::size_t key_count;
  std::size_t entry;

  VESK_INLINE Status put(std::uint64_t i, Owned v) noexcept {
    if (VESK_UNLIKELY(i >= row_count)) {
      return bad("internal row index", 0);
    }
    PyObject** kv = key_count != 0 ? fresh_entries(rows[i], key_count) : nullptr;
    if (kv != nullptr && kv[2 * entry] == key) {
      const bool tracks = container(v.get());
      store_value(kv, entry, v.release());
      track_as_insert(rows[i], tracks);
      return success();
    }
    if (VESK_UNLIKELY(PyDict_SetItem(rows[i], key, v.get()) < 0)) {
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

// A list of n new dicts, and the list's own item array, through which they
// are addressed by index.
struct Rows {
  Owned list;
  PyObject** rows = nullptr;
  // Every row is a fresh copy of one dict of the keys, its entries the keys in
  // order, whose values may be stored into the entries directly.
  bool entries = false;
};

// With `keys`, every row starts out holding all of them (mapped to None) in
// key-list order, for callers whose columns then fill every row under every key.
Result<Rows> row_dicts(std::uint64_t count, const KeyList* keys) noexcept;
// A dict holding every key of `keys`, mapped to None, in key-list order.
Result<Owned> shape_of(const KeyList& keys) noexcept;
// A list of `count` empty slots, filled by `fill_rows` from the table's shape.
Result<Rows> row_slots(std::uint64_t count) noexcept;
// The fewest input bytes a column of `count` cells takes: a kind byte and a bitmap.
[[nodiscard]] VESK_INLINE std::uint64_t column_floor(std::uint64_t count) noexcept {
  return 1 + (count + 7) / 8;
}

// The keys to start `count` rows with: all of them when the columns that
// follow can be whole, else none. Whole means the budget pays for a column of
// `count` cells per key and the input holds the smallest such columns beyond
// what the columns of enclosing Object columns with filled rows still claim. The
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

// The cells of a table's or a sparse table's columns are kept until every
// column is read; the rows are then filled one at a time (`fill_rows`). A column keeps its
// cells in blocks of at most this many, and each block is freed once its cells
// are in their rows, so that the kept cells add at most a block per column to
// the memory of the result.
constexpr std::size_t cells_per_block = 512;

// A block of kept cells, of which the first `made` are constructed (a cell
// taken into its row is left null).
class CellBlock {
 public:
  CellBlock(Owned* cells, std::size_t size) noexcept : cells_(cells), size_(size) {}
  CellBlock(const CellBlock&) = delete;
  CellBlock& operator=(const CellBlock&) = delete;
  CellBlock(CellBlock&& other) noexcept
      : cells_(std::exchange(other.cells_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        made_(std::exchange(other.made_, 0)) {}
  CellBlock& operator=(CellBlock&&) = delete;
  ~CellBlock() {
    for (std::size_t i = 0; i < made_; ++i) {
      cells_[i].~Owned();
    }
    PyMem_Free(cells_);
  }

  void set_made(std::size_t made) noexcept { made_ = made; }
  // Frees the block once every cell has been taken out of it.
  void free_taken() noexcept {
    PyMem_Free(cells_);
    cells_ = nullptr;
    size_ = 0;
    made_ = 0;
  }
  [[nodiscard]] Owned* begin() const noexcept { return cells_; }
  [[nodiscard]] Owned* end() const noexcept { return cells_ + size_; }

 private:
  Owned* cells_;
  std::size_t size_;
  std::size_t made_ = 0;
};
template <>
struct Relocatable<CellBlock> : std::true_type {};

// Which of a column's cells are of types that the collector tracks, learnt
// while each cell was new: a row then learns whether it holds a container
// without reading the cells again, which are cold by the time the rows fill.
enum class Tracked : std::uint8_t { None, All, Some };

// Where the cells of one column stand among the kept blocks, and which rows
// they go to.
struct ColumnCells {
  const std::uint8_t* presence;  // ceil(n / 8) bytes in the input; null for a dense column
  Owned* next;                   // its next cell to store
  Owned* end;                    // the end of the block that `next` is in
  std::size_t block;             // the index of that block
  std::size_t last;              // the index past the column's last block
  Tracked tracked = Tracked::Some;  // until the column has been read
};

// The key list and the rows of a table, a sparse table or an Object column.
// Their heads are read by functions of their own, which return this record
// on the heap: the recursive loops over the columns then keep one pointer in
// their frames, and no temporaries of the heads.
struct KeyedRows {
  KeyList keys;
  Rows rows;
  bool filled;  // every row starts out holding every key
  // The blocks of the cells of a sparse table's or a table's columns read so
  // far, in column order.
  Vec<CellBlock> blocks{};
  Vec<ColumnCells> columns{};
  // For a table: a dict holding every key (mapped to None) in key-list order,
  // of which `fill_rows` makes each row as it comes to it. It makes a sparse
  // table's rows too: the list's slots stay empty until then.
  Owned shape{};
};
using Head = Boxed<KeyedRows>;

// Keeps the cells of a sparse table's column in its blocks, between `open`
// and `close` (which records how many were made, whether the column was read
// whole or not).
struct CellSink {
  KeyedRows* table;
  std::size_t column = 0;  // its index in the table's columns
  Owned* at = nullptr;
  Owned* end = nullptr;
  std::size_t block = 0;
  bool some = false;  // a cell is tracked
  bool all = true;    // every cell is

  void open(std::size_t c) noexcept {
    column = c;
    at = table->columns[c].next;
    end = table->columns[c].end;
    block = table->columns[c].block;
  }
  void close() noexcept;

  VESK_INLINE Status put(std::uint64_t, Owned v) noexcept {
    if (VESK_UNLIKELY(at == end) && !next_block()) {
      return bad("internal cell count", 0);
    }
    const bool tracks = container(v.get());
    some |= tracks;
    all &= tracks;
    ::new (static_cast<void*>(at)) Owned(std::move(v));
    ++at;
    return success();
  }

  // Moves on to the column's next block; false when there is none.
  bool next_block() noexcept;
};

// `rows` moved to the heap.
Result<Head> head_of(KeyedRows rows) noexcept;

// The rows of `count` cells for `keys`, filled in advance when `prefill` allows.
Result<Head> keyed_rows(Decoder& d, KeyList keys, std::uint64_t count) noexcept;

// The head of a table or sparse table: its rows, with room for a column per key.
Result<Head> table_rows(KeyList keys, Rows rows) noexcept;

// Notes where the next column's `count` cells will stand, and makes blocks
// for them: no more cells than the rows already made.
Status keep_column(KeyedRows& t, const std::uint8_t* presence, std::uint64_t count) noexcept;

// Reads the next column of t, `count` cells (in the rows that `presence` names,
// or in every row when it is null), into blocks made for it. Inlined into the
// table readers: a frame of its own at every level of nested tables would not
// fit the deepest of them on a small thread stack.
VESK_INLINE Status kept_column(Decoder& d, KeyedRows& t, const std::uint8_t* presence,
                               std::uint64_t count, std::uint32_t depth) noexcept {
  VESK_TRY(keep_column(t, presence, count));
  CellSink sink{&t};
  sink.open(t.columns.size() - 1);
  Status read = column(d, count, depth, sink);
  sink.close();
  return read;
}

// Reads t's columns of `count` cells at `depth` into its rows, made before
// them, each cell stored into its row as it is read. Inlined, as
// `kept_column` is.
VESK_INLINE Status row_columns(Decoder& d, const KeyedRows& t, std::uint64_t count,
                               std::uint32_t depth) noexcept {
  for (std::size_t k = 0; k < t.keys.size(); ++k) {
    start_column(d, t.filled, count);
    DictSink rows{t.rows.rows, count, t.keys[k].obj.get(), t.rows.entries ? t.keys.size() : 0, k};
    VESK_TRY(column(d, count, depth, rows));
  }
  return success();
}

// Stores the kept cells into the rows, a row at a time: each row is built
// whole while it is in the cache, as when rows are written one by one, instead
// of every column walking all rows again. Keys enter each row in column order;
// a table's row is a copy of its shape, made here, whose values are replaced.
Status fill_rows(KeyedRows& t) noexcept;

// The key list of a table or sparse table.
Result<KeyList> header(Decoder& d) noexcept;

}  // namespace vesk
