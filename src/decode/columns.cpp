// The column decoder and the list column value.
#include "decode/columns.hpp"

#include <optional>

namespace vesk {

template <class Sink>
VESK_NOINLINE Status tagged_cells(Decoder& d, std::uint64_t count, std::uint32_t depth,
                                  Sink& sink) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    VESK_TRY_ASSIGN(Owned v, value(d, depth + 1));
    VESK_TRY(sink.put(i, std::move(v)));
  }
  return success();
}

template <class Sink>
VESK_NOINLINE Status delta_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept {
  std::uint64_t sum = 0;  // wraps in two's complement, as the format requires
  for (std::uint64_t i = 0; i < count; ++i) {
    VESK_TRY_ASSIGN(const std::uint64_t u, number_uvarint(d));
    sum += static_cast<std::uint64_t>(zigzag(u));
    VESK_TRY_ASSIGN(Owned v, made(PyLong_FromLongLong(static_cast<std::int64_t>(sum))));
    VESK_TRY(sink.put(i, std::move(v)));
  }
  return success();
}

template <class Sink>
VESK_NOINLINE Status decimal_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept {
  // A missing scale byte is a bad scale too, not truncated input.
  if (d.pos >= d.len || d.input[d.pos] > 6) {
    return bad("bad decimal scale", d.pos);
  }
  const unsigned scale = d.input[d.pos++];
  // Scale 0 is how whole numbers that do not climb are written: plain ints.
  if (scale == 0) {
    for (std::uint64_t i = 0; i < count; ++i) {
      VESK_TRY_ASSIGN(const std::uint64_t u, number_uvarint(d));
      VESK_TRY_ASSIGN(Owned v, made(PyLong_FromLongLong(zigzag(u))));
      VESK_TRY(sink.put(i, std::move(v)));
    }
    return success();
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    VESK_TRY_ASSIGN(const std::uint64_t u, number_uvarint(d));
    VESK_TRY_ASSIGN(Owned v, decimal_value(zigzag(u), scale));
    VESK_TRY(sink.put(i, std::move(v)));
  }
  return success();
}

template <class Sink>
VESK_NOINLINE Status dictionary_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t entry_count, byte_count(d));
  Vec<Owned> entries;
  if (!entries.reserve(entry_count)) {
    return py_fail();
  }
  // Read in full even without cells; entries may repeat.
  for (std::uint64_t j = 0; j < entry_count; ++j) {
    VESK_TRY_ASSIGN(Key entry, read_key(d));
    (void)entries.push(std::move(entry.obj));  // reserved above
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    VESK_TRY_ASSIGN(const std::uint64_t index, uvarint(d));
    if (VESK_UNLIKELY(index >= entry_count)) {
      return bad("bad dictionary index", d.pos);
    }
    VESK_TRY(sink.put(i, Owned::borrow(entries[index].get())));
  }
  return success();
}

template <class Sink>
VESK_NOINLINE Status bitmap_cells(Decoder& d, std::uint64_t count, Sink& sink) noexcept {
  const std::uint64_t bytes = (count + 7) / 8;
  const std::uint64_t at = d.pos;
  if (bytes > d.remaining()) {
    return short_input(at);
  }
  // The spare high bits of the last byte are not examined.
  const std::uint8_t* bits = d.input + at;
  for (std::uint64_t i = 0; i < count; ++i) {
    PyObject* b = ((bits[i >> 3] >> (i & 7)) & 1) != 0 ? Py_True : Py_False;
    VESK_TRY(sink.put(i, Owned::borrow(b)));
  }
  d.pos = at + bytes;
  return success();
}

namespace {

// Puts the finished dicts of an Object column as its cells.
template <class Sink>
VESK_NOINLINE Status put_rows(const Rows& rows, std::uint64_t count, Sink& sink) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    VESK_TRY(sink.put(i, Owned::borrow(rows.rows[i])));
  }
  return success();
}

VESK_NOINLINE Result<Head> object_head(Decoder& d, std::uint64_t count) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t key_count, byte_count(d));
  if (key_count == 0) {
    return bad("empty object column", d.pos);
  }
  VESK_TRY_ASSIGN(KeyList keys, unique_keys(d, key_count, "duplicate key"));
  return keyed_rows(d, std::move(keys), count);
}

}  // namespace

template <class Sink>
VESK_NOINLINE Status object_cells(Decoder& d, std::uint64_t count, std::uint32_t depth,
                                  Sink& sink) noexcept {
  auto head = object_head(d, count);
  if (VESK_UNLIKELY(!head.ok())) {
    return head.forward();
  }
  const KeyedRows& cells = *head.value();
  VESK_TRY(row_columns(d, cells, count, depth + 1));
  return put_rows(cells.rows, count, sink);
}

Status column_too_deep(const Decoder& d) noexcept { return bad("nesting too deep", d.pos); }

Status column_too_large(const Decoder& d) noexcept {
  return bad("decoded size too large", d.pos);
}

Status column_short(const Decoder& d) noexcept { return short_input(d.pos); }

Status bad_column_kind(std::uint64_t at) noexcept { return bad("bad column kind", at); }

#define VESK_CELLS_FOR(Sink)                                                                     \
  template Status tagged_cells<Sink>(Decoder&, std::uint64_t, std::uint32_t, Sink&) noexcept;   \
  template Status delta_cells<Sink>(Decoder&, std::uint64_t, Sink&) noexcept;                   \
  template Status decimal_cells<Sink>(Decoder&, std::uint64_t, Sink&) noexcept;                 \
  template Status dictionary_cells<Sink>(Decoder&, std::uint64_t, Sink&) noexcept;              \
  template Status bitmap_cells<Sink>(Decoder&, std::uint64_t, Sink&) noexcept;                  \
  template Status object_cells<Sink>(Decoder&, std::uint64_t, std::uint32_t, Sink&) noexcept;
VESK_CELLS_FOR(ListSink)
VESK_CELLS_FOR(DictSink)
VESK_CELLS_FOR(CellSink)
#undef VESK_CELLS_FOR

namespace {

// Whether kv, the entries of a fresh copy of m keys, holds in order those of
// the k keys that `held` names (bit c: keys[c]; all of them when m is k).
VESK_INLINE bool holds_in_order(PyObject* const* kv, const Key* keys, std::size_t k,
                                std::uint64_t held, std::size_t m) noexcept {
  for (std::size_t c = 0, x = 0; c < k; ++c) {
    if ((m == k || ((held >> c) & 1) != 0) && kv[2 * x++] != keys[c].obj.get()) {
      return false;
    }
  }
  return true;
}

}  // namespace

Result<Rows> row_dicts(std::uint64_t count, const KeyList* keys) noexcept {
  Rows r;
  VESK_TRY_ASSIGN(r.list, made(PyList_New(static_cast<Py_ssize_t>(count))));
  if (count == 0) {
    return r;
  }
  r.rows = PySequence_Fast_ITEMS(r.list.get());
  // Rows that will hold every key are copies of one dict holding the keys in
  // order, so that filling them replaces values instead of growing each dict.
  // That dict itself is the last row, once the others are copied from it:
  // most tables have a few rows.
  Owned shape;
  if (keys != nullptr) {
    VESK_TRY_ASSIGN(shape, shape_of(*keys));
  }
  r.entries = keys != nullptr;
  for (std::uint64_t i = 0; i < count; ++i) {
    PyObject* row = keys == nullptr      ? PyDict_New()
                    : i + 1 < count ? PyDict_Copy(shape.get())
                                    : shape.release();
    if (row == nullptr) {
      return py_fail();
    }
    r.rows[i] = row;
    if (r.entries) {
      PyObject** kv = fresh_entries(row, keys->size());
      r.entries = kv != nullptr && holds_in_order(kv, keys->data(), keys->size(), 0, keys->size());
    }
  }
  return r;
}

Result<Owned> shape_of(const KeyList& keys) noexcept {
  VESK_TRY_ASSIGN(Owned shape, made(PyDict_New()));
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (PyDict_SetItem(shape.get(), keys[k].obj.get(), Py_None) < 0) {
      return py_fail();
    }
  }
  return shape;
}

Result<Rows> row_slots(std::uint64_t count) noexcept {
  Rows r;
  VESK_TRY_ASSIGN(r.list, made(PyList_New(static_cast<Py_ssize_t>(count))));
  r.rows = PySequence_Fast_ITEMS(r.list.get());
  return r;
}

Result<Head> head_of(KeyedRows rows) noexcept {
  Head h = Head::make(std::move(rows));
  if (!h) {
    return py_fail();
  }
  return h;
}

Result<Head> table_rows(KeyList keys, Rows rows) noexcept {
  VESK_TRY_ASSIGN(Head head, head_of(KeyedRows{std::move(keys), std::move(rows), false}));
  if (!head->columns.reserve(head->keys.size())) {
    return py_fail();
  }
  return head;
}

Status keep_column(KeyedRows& t, const std::uint8_t* presence, std::uint64_t count) noexcept {
  const std::size_t first = t.blocks.size();
  // Pushed one by one, so that the list of blocks grows geometrically: a
  // table of many short columns must not reallocate it once per column.
  for (std::uint64_t left = count; left > 0;) {
    const std::size_t size = left < cells_per_block ? left : cells_per_block;
    auto* cells = static_cast<Owned*>(PyMem_Malloc(size * sizeof(Owned)));
    if (cells == nullptr) {
      PyErr_NoMemory();
      return py_fail();
    }
    // On failure the block is freed with the temporary.
    if (!t.blocks.push(CellBlock(cells, size))) {
      return py_fail();
    }
    left -= size;
  }
  Owned* begin = count > 0 ? t.blocks[first].begin() : nullptr;
  Owned* end = count > 0 ? t.blocks[first].end() : nullptr;
  // Cannot fail: reserved for every key.
  (void)t.columns.push(ColumnCells{presence, begin, end, first, t.blocks.size()});
  return success();
}

void CellSink::close() noexcept {
  if (block < table->blocks.size()) {
    table->blocks[block].set_made(static_cast<std::size_t>(at - table->blocks[block].begin()));
  }
  // A column read only in part fills no rows.
  table->columns[column].tracked = all ? Tracked::All : some ? Tracked::Some : Tracked::None;
}

bool CellSink::next_block() noexcept {
  if (block + 1 >= table->blocks.size()) {
    return false;
  }
  CellBlock& full = table->blocks[block];
  full.set_made(static_cast<std::size_t>(full.end() - full.begin()));
  ++block;
  at = table->blocks[block].begin();
  end = table->blocks[block].end();
  return true;
}

namespace {

// Frees the block of column `c` whose cells are all in their rows, and moves
// on to the column's next block, if any.
VESK_NOINLINE void finish_block(KeyedRows& t, ColumnCells& c) noexcept {
  t.blocks[c.block].free_taken();
  ++c.block;
  if (c.block < c.last) {
    c.next = t.blocks[c.block].begin();
    c.end = t.blocks[c.block].end();
  } else {
    c.next = nullptr;
    c.end = nullptr;
  }
}

// Fills a row, a copy of a dict of the m keys that `held` names (bit c: key c;
// every bit for a table) mapped to None, by storing each of those columns'
// next cell into the row's entry for it: the inserts would each look the key
// up to replace the same None. False, with nothing taken, where the copy's
// entries are not those keys in order.
VESK_INLINE bool fill_copy(KeyedRows& t, ColumnCells* columns, const Key* keys, std::size_t k,
                           PyObject* row, std::uint64_t held, std::size_t m) noexcept {
  PyObject** kv = fresh_entries(row, m);
  if (kv == nullptr || !holds_in_order(kv, keys, k, held, m)) {
    return false;
  }
  const bool all = m == k;
  bool containers = false;
  for (std::size_t c = 0, x = 0; c < k; ++c) {
    if (!all && ((held >> c) & 1) == 0) {
      continue;
    }
    ColumnCells& col = columns[c];
    PyObject* v = col.next->release();
    store_value(kv, x++, v);
    containers |= col.tracked == Tracked::Some ? container(v) : col.tracked == Tracked::All;
    if (VESK_UNLIKELY(++col.next == col.end)) {
      finish_block(t, col);
    }
  }
  track_as_insert(row, containers);
  return true;
}

// The dicts that a sparse table's rows are copies of, one per set of keys
// that rows hold: a copy of one, its None values replaced through its
// entries, is the dict that inserting the row's cells would build, at a
// fraction of the cost. Only so many sets are kept; rows of others are built
// by inserts.
class RowShapes {
 public:
  static constexpr std::size_t max_keys = 64;
  // Below this many rows, the dicts of a few sets cost more than the copies
  // of them save: the rows are built by inserts.
  static constexpr std::uint64_t min_rows = 6;

  // The dict of the keys that `held` names (of k), made at the first row that
  // holds them; null when no more sets are kept.
  Result<PyObject*> of(std::uint64_t held, const Key* keys, std::size_t k) noexcept {
    std::size_t j = static_cast<std::size_t>(held * 0x9E3779B97F4A7C15ull >> 57) & (slots - 1);
    for (; slots_[j].shape; j = (j + 1) & (slots - 1)) {
      if (slots_[j].held == held) {
        return slots_[j].shape.get();
      }
    }
    if (count_ == max_shapes) {
      return static_cast<PyObject*>(nullptr);
    }
    VESK_TRY_ASSIGN(Owned shape, made(PyDict_New()));
    for (std::size_t c = 0; c < k; ++c) {
      if (((held >> c) & 1) != 0 && PyDict_SetItem(shape.get(), keys[c].obj.get(), Py_None) < 0) {
        return py_fail();
      }
    }
    ++count_;
    slots_[j].held = held;
    slots_[j].shape = std::move(shape);
    return slots_[j].shape.get();
  }

 private:
  static constexpr std::size_t slots = 128, max_shapes = 64;
  struct Slot {
    std::uint64_t held = 0;
    Owned shape;
  };
  Slot slots_[slots];
  std::size_t count_ = 0;
};

}  // namespace

Status fill_rows(KeyedRows& t) noexcept {
  const auto n = static_cast<std::uint64_t>(PyList_GET_SIZE(t.rows.list.get()));
  const std::size_t k = t.columns.size();
  // Held in locals: each insert is an opaque call, after which members would be reloaded.
  PyObject** rows = t.rows.rows;
  ColumnCells* columns = t.columns.data();
  const Key* keys = t.keys.data();
  PyObject* shape = t.shape.get();
  const bool by_shape = shape == nullptr && n >= RowShapes::min_rows &&
                        k <= RowShapes::max_keys && entries_writable();
  // Made only where it is used: making and releasing its slots costs about
  // as much as two rows.
  std::optional<RowShapes> shapes;
  if (by_shape) {
    shapes.emplace();
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto bit = static_cast<std::uint8_t>(1U << (i & 7));
    // The dict the row is a copy of, and the keys it holds (bit c: key c).
    PyObject* like = shape;
    std::uint64_t held = ~std::uint64_t{0};
    std::size_t m = k;
    if (shape == nullptr) {
      held = 0;
      m = 0;
      for (std::size_t c = 0; by_shape && c < k; ++c) {
        const bool in = columns[c].presence == nullptr || (columns[c].presence[i >> 3] & bit) != 0;
        held |= std::uint64_t{in} << c;
        m += in;
      }
      if (by_shape && m > 0) {
        VESK_TRY_ASSIGN(like, shapes->of(held, keys, k));
      }
    }
    // The list owns the row from here, whatever happens next.
    rows[i] = like != nullptr ? PyDict_Copy(like) : PyDict_New();
    if (VESK_UNLIKELY(rows[i] == nullptr)) {
      return py_fail();
    }
    if (like != nullptr && fill_copy(t, columns, keys, k, rows[i], held, m)) {
      continue;
    }
    PyObject* row = rows[i];
    for (std::size_t c = 0; c < k; ++c) {
      ColumnCells& col = columns[c];
      if (col.presence != nullptr && (col.presence[i >> 3] & bit) == 0) {
        continue;
      }
      if (VESK_UNLIKELY(PyDict_SetItem(row, keys[c].obj.get(), col.next->get()) < 0)) {
        return py_fail();
      }
      // The row holds the cell now.
      col.next->reset();
      if (VESK_UNLIKELY(++col.next == col.end)) {
        finish_block(t, col);
      }
    }
  }
  return success();
}

Result<Head> keyed_rows(Decoder& d, KeyList keys, std::uint64_t count) noexcept {
  const KeyList* filled = prefill(d, keys, count);
  VESK_TRY_ASSIGN(Rows rows, row_dicts(count, filled));
  return head_of(KeyedRows{std::move(keys), std::move(rows), filled != nullptr});
}

Result<Owned> list_column(Decoder& d, std::uint32_t depth) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, bit_count(d));
  // Only a test here: the column charges the budget itself.
  if (d.size_budget < static_cast<std::int64_t>(n + 1)) {
    return bad("decoded size too large", d.pos);
  }
  VESK_TRY_ASSIGN(Owned list, made(PyList_New(static_cast<Py_ssize_t>(n))));
  ListSink sink{list.get()};
  VESK_TRY(column(d, n, depth + 1, sink));
  return list;
}

}  // namespace vesk
