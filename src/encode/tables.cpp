// Lists of dicts: tables when the rows share one key sequence, sparse tables
// when one key order keeps every row's own order.
#include "encode/dict_walk.hpp"
#include "encode/encoder.hpp"

namespace vesk {
namespace enc {

// One key's cells of a sparse table, gathered as the rows are walked: its
// values and their rows.
struct KeyCells {
  Vec<PyObject*> cells;
  Vec<std::uint32_t> rows;
};

}  // namespace enc

// Its lists own their storage and never point into themselves.
template <>
struct Relocatable<enc::KeyCells> : std::true_type {};

namespace enc {

Res<bool> same_keys(PyObject* const* dicts, std::size_t n, Vec<PyObject*>& keys,
                    Vec<PyObject*>& cells) noexcept {
  PyObject* first = dicts[0];
  if (!PyDict_CheckExact(first) || PyDict_GET_SIZE(first) == 0) {
    return false;
  }
  auto k = static_cast<std::size_t>(PyDict_GET_SIZE(first));
  // Room for n * k cells is asked for at once. Up to 16 keys that is less
  // than the list's own room times 16; a wider first row is first checked
  // against the others' sizes, so that a long list of small rows after it
  // does not ask for rows times its keys.
  for (std::size_t i = 1; k > 16 && i < n; ++i) {
    if (!PyDict_CheckExact(dicts[i]) || static_cast<std::size_t>(PyDict_GET_SIZE(dicts[i])) != k) {
      return false;
    }
  }
  if (!keys.resize(k) || !cells.resize(n * k)) {
    return py_fail();
  }
  PyObject** col = cells.data();
  for (std::size_t i = 0; i < n; ++i) {
    prefetch_rows(dicts, i, n);
    PyObject* d = dicts[i];
    if (!PyDict_CheckExact(d) || static_cast<std::size_t>(PyDict_GET_SIZE(d)) != k) {
      return false;
    }
    std::size_t j = 0;
    bool same = each_entry(d, [&](PyObject* key, PyObject* v) {
      if (i == 0) {
        if (!PyUnicode_CheckExact(key)) {
          return false;
        }
        keys[j] = key;
      } else if (key != keys[j] && !(PyUnicode_CheckExact(key) && same_text(key, keys[j]))) {
        return false;
      }
      col[j++ * n + i] = v;
      return true;
    });
    if (!same) {
      return false;
    }
  }
  return true;
}

namespace {

// Where the error of column `key` at its cell stands: under that key in row
// rows[cell] (rows null: row `cell`).
EncodeError in_row(EncodeError err, PyObject* key, const std::uint32_t* rows) noexcept {
  Py_ssize_t cell = err.take_cell();
  EncodeError at = std::move(err).at_key(key);
  if (cell < 0) {
    return at;
  }
  return std::move(at).at_index(rows == nullptr ? cell : rows[cell]);
}

Status header(Encoder& e, PyObject* const* keys, std::size_t k, std::uint8_t tag_byte) noexcept {
  VESK_ROOM(e, 11);
  e.out.byte(tag_byte);
  e.out.varint(k);
  for (std::size_t j = 0; j < k; ++j) {
    VESK_TRY(text(e, keys[j]));
  }
  return done();
}

// `cells(j)` is where column j's n cells are.
template <class Cells>
Status table(Encoder& e, PyObject* const* keys, std::size_t k, Cells cells, std::size_t n,
             int depth) noexcept {
  Status h = header(e, keys, k, tag::table);
  if (!h.ok()) {
    return h.error().at_index(0);
  }
  VESK_ROOM(e, 10);
  e.out.varint(n);
  e.cells += static_cast<std::int64_t>(n + 1 + n * (k + 1));
  for (std::size_t j = 0; j < k; ++j) {
    Status s = column(e, cells(j), n, depth + 2);
    if (VESK_UNLIKELY(!s.ok())) {
      return in_row(s.error(), keys[j], nullptr);
    }
  }
  return done();
}

// The rows' entries grouped by key, keys in one order that keeps every row's.
struct Sparse {
  Vec<PyObject*> keys;         // in column order
  Vec<KeyCells> columns;       // the same order; rows ascending in each
  std::size_t cells = 0;       // in all columns
  Vec<Owned> keep;             // with `default`: the keys and values held
};

// A binary min-heap of column numbers: of the keys free to come next, the one
// met first comes first, which keeps the order deterministic.
struct Heap {
  Vec<std::uint32_t> a;
  bool push(std::uint32_t v) noexcept {
    if (!a.push(std::move(v))) {
      return false;
    }
    for (std::size_t i = a.size() - 1; i > 0 && a[(i - 1) / 2] > a[i];) {
      std::swap(a[(i - 1) / 2], a[i]);
      i = (i - 1) / 2;
    }
    return true;
  }
  std::uint32_t pop() noexcept {
    std::uint32_t top = a[0];
    a[0] = a[a.size() - 1];
    a.pop();
    for (std::size_t i = 0;;) {
      std::size_t l = 2 * i + 1, r = l + 1, m = i;
      if (l < a.size() && a[l] < a[m]) m = l;
      if (r < a.size() && a[r] < a[m]) m = r;
      if (m == i) break;
      std::swap(a[i], a[m]);
      i = m;
    }
    return top;
  }
};

// Makes room in a key's full lists, as it is met in `row` of n rows: for as
// many cells as its share of the rows so far promises, between twice and four
// times its cells, and at most a cell per row. A key met in every row moves
// half as often as by doubling; one that stops coming leaves at most three
// times its cells unused.
VESK_NOINLINE bool grow_cells(KeyCells& col, std::size_t row, std::size_t n) noexcept {
  std::size_t size = col.cells.size();
  std::size_t want = size < 4 ? 8 : 2 * size;
  if (size >= 8) {
    // size <= row + 1 <= n < 2^31: the product fits.
    std::size_t share = size * n / (row + 1) + size / 8;
    share = share < 4 * size ? share : 4 * size;
    want = share > want ? share : want;
  }
  want = want < n ? want : n;
  return col.cells.reserve(want) && col.rows.reserve(want);
}

// Appends a cell to its key's lists.
VESK_INLINE bool add_cell(KeyCells& col, PyObject* v, std::uint32_t row, std::size_t n) noexcept {
  if (VESK_UNLIKELY(col.cells.size() == col.cells.capacity()) && !grow_cells(col, row, n)) {
    return false;
  }
  return col.cells.push(static_cast<PyObject*>(v)) && col.rows.push(static_cast<std::uint32_t>(row));
}

// Fills `out` and returns true when the rows are dicts with str keys whose key
// orders agree; false when they are to be written plainly.
Res<bool> sparse_layout(Encoder& e, PyObject* const* dicts, std::size_t n, Sparse& out) noexcept {
  if (n > 0x7FFFFFFF) {
    return false;
  }
  TextMap numbers;
  Vec<KeyCells> found;       // per key, in the order first met
  Vec<std::uint64_t> edges;  // (earlier key << 32) | later key, for keys adjacent in a row
  // Read through locals, which a store of a cell cannot change, so that the
  // loop does not reload the lists' members for every entry.
  PyObject* const* known = out.keys.data();
  KeyCells* columns = found.data();
  std::uint32_t count = 0;  // of the keys known
  // Per key, the key last seen after it: an edge that repeats the one before
  // it adds nothing to the order, and most rows repeat them all.
  Vec<std::uint32_t> next;
  std::uint32_t* after = next.data();
  for (std::size_t i = 0; i < n; ++i) {
    prefetch_rows(dicts, i, n);
    if (!PyDict_CheckExact(dicts[i])) {
      return false;
    }
    DictEntries walk(dicts[i]);
    PyObject* key;
    PyObject* v;
    std::uint32_t prev = TextMap::absent;  // so that prev + 1 is 0
    while (walk.next(key, v)) {
      if (!PyUnicode_CheckExact(key)) {
        return false;
      }
      // Rows mostly share their key objects and order: the key after the
      // previous one is tried first, by identity.
      std::uint32_t c = prev + 1;
      if (c >= count || known[c] != key) {
        if (!numbers.find(key, true, c)) {
          return py_fail();
        }
        if (c == TextMap::absent) {
          c = count++;
          if (!out.keys.push(static_cast<PyObject*>(key)) ||
              !next.push(std::uint32_t{TextMap::absent}) || !found.push(KeyCells{})) {
            return py_fail();
          }
          known = out.keys.data();
          after = next.data();
          columns = found.data();
        }
      }
      if (!add_cell(columns[c], v, static_cast<std::uint32_t>(i), n)) {
        return py_fail();
      }
      if (prev != TextMap::absent && after[prev] != c) {
        after[prev] = c;
        if (!edges.push((std::uint64_t{prev} << 32) | c)) {
          return py_fail();
        }
      }
      prev = c;
    }
  }
  std::size_t k = out.keys.size();
  if (k == 0) {
    return false;
  }
  // Kahn's topological sort of the keys over the adjacency edges.
  Vec<std::uint32_t> indegree, edge_start, targets, order;
  if (!indegree.resize(k) || !edge_start.resize(k + 1) || !targets.resize(edges.size()) ||
      !order.reserve(k)) {
    return py_fail();
  }
  for (std::size_t c = 0; c <= k; ++c) {
    edge_start[c] = 0;
    if (c < k) indegree[c] = 0;
  }
  for (std::size_t x = 0; x < edges.size(); ++x) {
    ++edge_start[(edges[x] >> 32) + 1];
    ++indegree[edges[x] & 0xFFFFFFFF];
  }
  for (std::size_t c = 0; c < k; ++c) {
    edge_start[c + 1] += edge_start[c];
  }
  {
    Vec<std::uint32_t> fill;
    if (!fill.resize(k)) {
      return py_fail();
    }
    for (std::size_t c = 0; c < k; ++c) fill[c] = edge_start[c];
    for (std::size_t x = 0; x < edges.size(); ++x) {
      targets[fill[edges[x] >> 32]++] = static_cast<std::uint32_t>(edges[x] & 0xFFFFFFFF);
    }
  }
  Heap ready;
  for (std::uint32_t c = 0; c < k; ++c) {
    if (indegree[c] == 0 && !ready.push(std::move(c))) {
      return py_fail();
    }
  }
  while (ready.a.size() > 0) {
    std::uint32_t c = ready.pop();
    (void)order.push(std::move(c));
    for (std::uint32_t x = edge_start[c]; x < edge_start[c + 1]; ++x) {
      if (--indegree[targets[x]] == 0 && !ready.push(std::uint32_t{targets[x]})) {
        return py_fail();
      }
    }
  }
  if (order.size() != k) {
    return false;  // two rows order some keys differently
  }
  // The keys and their columns in that order.
  Vec<PyObject*> keys;
  if (!keys.resize(k) || !out.columns.reserve(k)) {
    return py_fail();
  }
  for (std::size_t j = 0; j < k; ++j) {
    std::uint32_t c = order[j];
    keys[j] = out.keys[c];
    out.cells += found[c].cells.size();
    (void)out.columns.push(std::move(found[c]));
  }
  for (std::size_t j = 0; j < k; ++j) {
    out.keys[j] = keys[j];
    KeyCells& col = out.columns[j];
    if (!hold(e, out.keep, col.cells.data(), col.cells.size())) {
      return py_fail();
    }
  }
  if (!hold(e, out.keep, out.keys.data(), k)) {
    return py_fail();
  }
  return true;
}

Status sparse(Encoder& e, Sparse& s, std::size_t n, int depth) noexcept {
  std::size_t k = s.keys.size();
  Status h = header(e, s.keys.data(), k, tag::sparse);
  if (!h.ok()) {
    return h.error();
  }
  VESK_ROOM(e, 10);
  e.out.varint(n);
  e.cells += static_cast<std::int64_t>(2 * n + 1 + s.cells);
  std::size_t bitmap = (n + 7) / 8;
  for (std::size_t j = 0; j < k; ++j) {
    KeyCells& col = s.columns[j];
    std::size_t p = col.cells.size();
    const std::uint32_t* rows = col.rows.data();
    VESK_ROOM(e, 1 + bitmap);
    if (p == n) {
      e.out.byte(0x00);
    } else {
      e.out.byte(0x01);
      std::uint8_t* bits = e.out.at(e.out.skip(bitmap));
      for (std::size_t x = 0; x < p; ++x) {
        bits[rows[x] >> 3] |= static_cast<std::uint8_t>(1u << (rows[x] & 7));
      }
    }
    Status c = column(e, col.cells.data(), p, depth + 2);
    if (VESK_UNLIKELY(!c.ok())) {
      return in_row(c.error(), s.keys[j], rows);
    }
  }
  return done();
}

}  // namespace

Res<bool> row_list(Encoder& e, PyObject* const* rows, std::size_t n, int depth) noexcept {
  if (depth + 2 + e.anchor_depth > max_depth || n > 0x7FFFFFFF) {
    return false;
  }
  {
    Vec<PyObject*> keys, cells;
    VESK_TRY_ASSIGN(bool same, same_keys(rows, n, keys, cells));
    if (same) {
      Vec<Owned> keep;
      if (!hold(e, keep, keys.data(), keys.size()) || !hold(e, keep, cells.data(), cells.size())) {
        return py_fail();
      }
      PyObject* const* all = cells.data();
      VESK_TRY(table(e, keys.data(), keys.size(),
                     [all, n](std::size_t j) { return all + j * n; }, n, depth));
      return true;
    }
  }
  Sparse s;
  VESK_TRY_ASSIGN(bool fits, sparse_layout(e, rows, n, s));
  if (!fits) {
    return false;
  }
  std::size_t k = s.keys.size();
  std::size_t bitmaps = 0;
  for (std::size_t j = 0; j < k; ++j) {
    if (s.columns[j].cells.size() != n) {
      bitmaps += (n + 7) / 8;
    }
  }
  if (bitmaps == 0) {
    VESK_TRY(table(e, s.keys.data(), k,
                   [&s](std::size_t j) { return s.columns[j].cells.data(); }, n, depth));
    return true;
  }
  // Against the plain form, which spends about two bytes on every row's header
  // and on every key it repeats, the sparse form spends a flag and a kind byte
  // per key and a presence bitmap per key that some rows lack.
  if (bitmaps + 4 * k + 3 >= 2 * n + 2 * s.cells) {
    return false;
  }
  VESK_TRY(sparse(e, s, n, depth));
  return true;
}

}  // namespace enc
}  // namespace vesk
