// Columns: the choice of a column kind from the cells, and its payload.
#include <cmath>

#include "encode/encoder.hpp"

namespace vesk::enc {

namespace {

// What the cells of a column are, by exact type.
enum Shape : unsigned { Bools = 1, Ints = 2, Floats = 4, Texts = 8, Dicts = 16, Others = 32 };

unsigned shape_of(PyObject* const* cells, std::size_t n) noexcept {
  unsigned shape = 0;
  for (std::size_t i = 0; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(cells[i]);
    shape |= t == &PyLong_Type      ? Ints
             : t == &PyUnicode_Type ? Texts
             : t == &PyFloat_Type   ? Floats
             : t == &PyBool_Type    ? Bools
             : t == &PyDict_Type    ? Dicts
                                    : Others;
    if (shape & Others) {
      break;
    }
  }
  return shape;
}

// The chosen kind with what its payload needs, and how many bytes it saves
// against writing the same cells as tagged values.
struct Plan {
  // Storage of a short column's lists, which then cost no allocation: many
  // columns (a record's list of tags) have a few cells.
  static constexpr std::size_t few = 8;
  std::int64_t nums_room[few];
  std::uint32_t index_room[few], local_room[few], first_room[few];

  Kind kind = Kind::Tagged;
  std::uint8_t scale = 0;
  std::int64_t gain = 0;
  Vec<std::int64_t> nums{nums_room, few};  // Delta: the values; Decimal: the mantissas
  bool ints = false;          // every cell is an int, its value in nums
  std::size_t bytes = 0;      // Delta, Decimal, and Tagged ints: the payload's size
  bool texts = false;         // all cells are texts, already looked up in the pool:
  Vec<std::uint32_t> index{index_room, few};  //   the pool index (or short-text code) of each cell
  Vec<std::uint32_t> local{local_room, few};  //   the dictionary entry of each cell
  Vec<std::uint32_t> first{first_room, few};  //   the cell of each entry's first use
  std::uint32_t new_from = 0; //   pool indexes from here on are new to the pool
  Vec<PyObject*> keys;        // Object: the sub-keys
  Vec<PyObject*> sub;         // Object: the sub-cells, column by column
  Vec<Owned> keep;            // Object, with `default`: the sub-keys and sub-cells held
};

constexpr double pow10[7] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
constexpr std::int64_t scale_factor[7] = {1, 10, 100, 1000, 10000, 100000, 1000000};
constexpr double two53 = 9007199254740992.0;
constexpr std::int64_t two53_int = std::int64_t{1} << 53;

// The mantissa of x at scale s when the decoder turns it back into exactly x
// (its fast path: a mantissa of at most 2^53 divided by 10^s); false otherwise.
bool mantissa(double x, int s, std::int64_t& m) noexcept {
  double scaled = std::nearbyint(x * pow10[s]);
  // At scale 0 the decoder makes an int of every mantissa, so a float must stay below 2^53.
  if (!(std::fabs(scaled) < two53 || (s > 0 && std::fabs(scaled) == two53))) {
    return false;
  }
  if (scaled / pow10[s] != x) {
    return false;
  }
  m = static_cast<std::int64_t>(scaled);
  return true;
}

// The bytes that int cells take in each form, summed as they come.
struct IntSizes {
  std::int64_t tagged = 0, delta = 0, plain = 1;
  std::uint64_t prev = 0;

  VESK_INLINE void add(std::int64_t v) noexcept {
    tagged += static_cast<std::int64_t>(int_size(v));
    delta += static_cast<std::int64_t>(
        varint_len(zigzag(static_cast<std::int64_t>(static_cast<std::uint64_t>(v) - prev))));
    plain += static_cast<std::int64_t>(varint_len(zigzag(v)));
    prev = static_cast<std::uint64_t>(v);
  }
};

// Ints: Delta, scale-0 Decimal or Tagged, whichever is smallest.
void choose_ints(Plan& p, const IntSizes& z) noexcept {
  p.ints = true;
  std::int64_t bytes = z.tagged;
  if (z.delta <= z.plain && z.delta < z.tagged) {
    p.kind = Kind::Delta;
    p.gain = z.tagged - z.delta;
    bytes = z.delta;
  } else if (z.plain < z.tagged) {
    p.kind = Kind::Decimal;
    p.scale = 0;
    p.gain = z.tagged - z.plain;
    bytes = z.plain;
  }
  p.bytes = static_cast<std::size_t>(bytes);
}

void plan_ints(Plan& p, std::size_t n) noexcept {
  IntSizes z;
  for (std::size_t i = 0; i < n; ++i) {
    z.add(p.nums[i]);
  }
  choose_ints(p, z);
}

// Ints and floats: scale-0 ints if every cell is whole, else Decimal at the
// smallest scale that gives every cell back exactly, if smaller than Tagged.
Status plan_numbers(Plan& p, PyObject* const* cells, std::size_t n) noexcept {
  if (!p.nums.resize(n)) {
    return py_fail();
  }
  int scale = 0;
  std::int64_t tagged = 0;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* c = cells[i];
    std::int64_t m;
    if (Py_TYPE(c) == &PyLong_Type) {
      int overflow = 0;
      std::int64_t v = int_value(c, overflow);
      std::int64_t bound = two53_int / scale_factor[scale];
      if (overflow != 0 || (scale > 0 && (v > bound || v < -bound))) {
        return done();  // written tagged, which reports an overflow
      }
      tagged += static_cast<std::int64_t>(int_size(v));
      m = v * scale_factor[scale];
    } else {
      double x = PyFloat_AS_DOUBLE(c);
      if (!std::isfinite(x)) {
        return done();
      }
      bool whole = std::fabs(x) < two53 && x == std::trunc(x);
      tagged += whole ? static_cast<std::int64_t>(int_size(static_cast<std::int64_t>(x))) : 9;
      int s = scale;
      while (s <= 6 && !mantissa(x, s, m)) {
        ++s;
      }
      if (s > 6) {
        return done();
      }
      if (s > scale) {
        // Every earlier cell again at the larger scale: the same exact value,
        // so the same double, if the mantissa stays within 2^53.
        std::int64_t f = scale_factor[s - scale];
        for (std::size_t k = 0; k < i; ++k) {
          std::int64_t a = p.nums[k];
          if (a > two53_int / f || a < -two53_int / f) {
            return done();
          }
          p.nums[k] = a * f;
        }
        scale = s;
      }
    }
    p.nums[i] = m;
  }
  if (scale == 0) {
    plan_ints(p, n);
    return done();
  }
  std::int64_t payload = 1;
  for (std::size_t i = 0; i < n; ++i) {
    payload += static_cast<std::int64_t>(varint_len(zigzag(p.nums[i])));
  }
  if (payload <= tagged) {
    p.kind = Kind::Decimal;
    p.scale = static_cast<std::uint8_t>(scale);
    p.gain = tagged - payload;
    p.bytes = static_cast<std::size_t>(payload);
  }
  return done();
}

// Texts: each cell is looked up in the pool once, here, and gets its pool
// index; texts new to the pool are added in the order of their first use,
// which is the order in which either form writes them. Texts too short for
// the pool get a code of their own.
constexpr std::uint32_t short_text = 0xFFFFFF00;  // + the one ASCII character, or + 0x80 for ""
constexpr std::uint32_t unlooked = short_text - 1;  // a pooled text not yet looked up

VESK_INLINE std::uint32_t short_code(PyObject* s) noexcept {
  return short_text + (PyUnicode_GET_LENGTH(s) == 0
                           ? 0x80u
                           : static_cast<std::uint32_t>(PyUnicode_READ_CHAR(s, 0)));
}

// About how many different texts the hashed cells of a column hold, from the
// bits their hashes set in a small bitmap (linear counting); all of them when
// the bitmap fills up. It sizes the pool once for a large column's new texts,
// where growing it step by step would move its slots again and again.
VESK_NOINLINE std::size_t distinct_texts(const Plan& p, std::size_t n) noexcept {
  constexpr std::size_t words = 32, m = words * 64;
  std::uint64_t bits[words] = {};
  std::size_t looked = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p.index[i] == unlooked) {
      std::uint64_t b = spread(p.local[i]) >> 20;  // bits that the pool's slot does not use
      bits[b >> 6 & (words - 1)] |= std::uint64_t{1} << (b & 63);
      ++looked;
    }
  }
  std::size_t set = 0;
  for (std::uint64_t w : bits) {
    set += static_cast<std::size_t>(__builtin_popcountll(w));
  }
  if (set * 16 > m * 15) {
    return looked;
  }
  double guess = -static_cast<double>(m) * std::log1p(-static_cast<double>(set) / m);
  auto d = static_cast<std::size_t>(guess * 1.25) + 1;
  return d < looked ? d : looked;
}

// How far ahead the passes over a column's cells fetch them: the cells of a
// column are scattered objects, one per row, which the processor does not
// fetch ahead on its own.
constexpr std::size_t cells_ahead = 8;

// The cells' hashes, or short-text codes, ahead of the lookups, so that those
// can fetch their slots early: a large pool misses the caches on nearly every
// lookup. False, with the pool untouched, when a cell is not an exact str.
Res<bool> hash_texts(Plan& p, PyObject* const* cells, std::size_t n) noexcept {
  if (!p.index.resize(n) || !p.local.resize(n) || !p.first.reserve(n)) {
    return py_fail();
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + cells_ahead < n) {
      __builtin_prefetch(cells[i + cells_ahead]);
    }
    PyObject* s = cells[i];
    if (Py_TYPE(s) != &PyUnicode_Type) {
      return false;
    }
    if (!pooled(s)) {
      p.index[i] = short_code(s);
      continue;
    }
    Py_hash_t h = text_hash(s);
    if (h == -1) {
      return py_fail();
    }
    p.index[i] = unlooked;
    p.local[i] = static_cast<std::uint32_t>(h);
  }
  return true;
}

// Each hashed cell looked up in the pool, and every cell's dictionary entry
// number, by first use; a dictionary is chosen if its indexes cost less than
// the references that the repeats would take. Pool indexes are marked in a
// table of the encoder's that lasts for the whole document, with a stamp per
// column.
Status plan_texts(Encoder& e, Plan& p, PyObject* const* cells, std::size_t n) noexcept {
  p.new_from = e.pool.size();
  // Only a large column gains from sizing the pool ahead: for a small one it
  // would grow by a step at most, and counting would cost more than it saves.
  // Nor does one that fits the table as it is, which a table left behind by
  // an earlier document often does.
  if (n >= 1024 && !e.pool.has_room(n) && !e.pool.reserve(distinct_texts(p, n))) {
    return py_fail();
  }
  if (!e.marks.grow(e.pool.size())) {
    return py_fail();
  }
  std::uint32_t stamp = ++e.marks.stamp;
  // The entries of the texts too short for the pool, cleared at the first.
  std::uint32_t shorts[129];
  bool shorts_clear = false;
  std::int64_t indexes = 0, refs = 0;
  constexpr std::size_t ahead = 8;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + ahead < n && p.index[i + ahead] == unlooked) {
      e.pool.prefetch(p.local[i + ahead]);
    }
    std::uint32_t j = p.index[i];
    if (j == unlooked) {
      std::uint32_t fresh = e.pool.size();
      if (!e.pool.find_hashed(cells[i], p.local[i], true, j)) {
        return py_fail();
      }
      if (j == TextMap::absent) {
        j = fresh;
        if (!e.marks.grow(std::size_t{fresh} + 1)) {
          return py_fail();
        }
      }
      p.index[i] = j;
    }
    std::uint32_t* entry;
    if (j >= short_text) {
      if (!shorts_clear) {
        for (std::uint32_t& x : shorts) x = TextMap::absent;
        shorts_clear = true;
      }
      entry = &shorts[j - short_text];
    } else {
      entry = &e.marks.local[j];
      if (e.marks.stamp_of[j] != stamp) {
        e.marks.stamp_of[j] = stamp;
        *entry = TextMap::absent;
      }
    }
    if (*entry == TextMap::absent) {
      *entry = static_cast<std::uint32_t>(p.first.size());
      if (!p.first.push(static_cast<std::uint32_t>(i))) {
        return py_fail();
      }
    } else {
      refs += static_cast<std::int64_t>(
          j >= short_text ? 1 + PyUnicode_GET_LENGTH(cells[i]) : 1 + varint_len(j));
    }
    p.local[i] = *entry;
    indexes += static_cast<std::int64_t>(varint_len(*entry));
  }
  indexes += static_cast<std::int64_t>(varint_len(p.first.size()));
  p.texts = true;
  if (p.first.size() < n && indexes < refs) {
    p.kind = Kind::Dictionary;
    p.gain = refs - indexes;
  }
  return done();
}

// Cells that are all exact ints: one pass checks, converts and sizes them,
// which reads each object once. False as soon as a cell is something else.
Res<bool> plan_int_cells(Plan& p, PyObject* const* cells, std::size_t n) noexcept {
  if (!p.nums.resize(n)) {
    return py_fail();
  }
  IntSizes z;
  for (std::size_t i = 0; i < n; ++i) {
    if (Py_TYPE(cells[i]) != &PyLong_Type) {
      return false;
    }
    int overflow = 0;
    std::int64_t v = int_value(cells[i], overflow);
    if (overflow != 0) {
      return true;  // written tagged, which reports the overflow
    }
    p.nums[i] = v;
    z.add(v);
  }
  choose_ints(p, z);
  return true;
}

Status plan(Encoder& e, Plan& p, PyObject* const* cells, std::size_t n, int depth,
            bool objects) noexcept {
  if (n > 0 && Py_TYPE(cells[0]) == &PyLong_Type) {
    VESK_TRY_ASSIGN(bool ints, plan_int_cells(p, cells, n));
    if (ints) {
      return done();
    }
  }
  if (n > 0 && Py_TYPE(cells[0]) == &PyUnicode_Type) {
    VESK_TRY_ASSIGN(bool texts, hash_texts(p, cells, n));
    if (texts) {
      return plan_texts(e, p, cells, n);
    }
  }
  unsigned shape = shape_of(cells, n);
  if (shape == Bools) {
    p.kind = Kind::Bitmap;
    p.gain = static_cast<std::int64_t>(n) - static_cast<std::int64_t>((n + 7) / 8);
  } else if (shape == Floats || shape == (Floats | Ints)) {
    return plan_numbers(p, cells, n);
  } else if (shape == Dicts && objects && depth + 1 + e.anchor_depth <= max_depth) {
    VESK_TRY_ASSIGN(bool same, same_keys(cells, n, p.keys, p.sub));
    if (same) {
      if (!hold(e, p.keep, p.keys.data(), p.keys.size()) ||
          !hold(e, p.keep, p.sub.data(), p.sub.size())) {
        return py_fail();
      }
      p.kind = Kind::Object;
    }
  }
  return done();
}

Status tagged(Encoder& e, PyObject* const* cells, std::size_t n, int depth) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    Status s = value(e, cells[i], depth);
    if (VESK_UNLIKELY(!s.ok())) {
      EncodeError err = s.error();
      err.set_cell(static_cast<Py_ssize_t>(i));
      return err;
    }
  }
  return done();
}

// Cell i of a planned text column: in full where the plan added it to the
// pool (or where it is too short for the pool), else a pool reference.
VESK_INLINE Status planned_text(Encoder& e, Plan& p, PyObject* const* cells,
                                std::size_t i) noexcept {
  std::uint32_t j = p.index[i];
  if (j < p.new_from) {
    return text_reference(e, j);
  }
  if (j < short_text) {
    ++p.new_from;  // the first use of the next new text: later ones refer to it
  }
  Status s = literal_inline(e, cells[i]);
  if (VESK_UNLIKELY(!s.ok())) {
    EncodeError err = s.error();
    err.set_cell(static_cast<Py_ssize_t>(i));
    return err;
  }
  return done();
}

Status planned_texts(Encoder& e, Plan& p, PyObject* const* cells, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    // Only a text written in full is read again.
    if (i + cells_ahead < n && p.index[i + cells_ahead] >= p.new_from) {
      __builtin_prefetch(cells[i + cells_ahead]);
    }
    VESK_TRY(planned_text(e, p, cells, i));
  }
  return done();
}

Status dictionary(Encoder& e, Plan& p, PyObject* const* cells, std::size_t n) noexcept {
  VESK_ROOM(e, 10);
  e.out.varint(p.first.size());
  for (std::size_t x = 0; x < p.first.size(); ++x) {
    VESK_TRY(planned_text(e, p, cells, p.first[x]));
  }
  VESK_ROOM(e, 5 * n);
  char* d = e.out.cursor();
  for (std::size_t i = 0; i < n; ++i) {
    d = Out::put_varint(d, p.local[i]);
  }
  e.out.advance_to(d);
  return done();
}

Status bitmap(Encoder& e, PyObject* const* cells, std::size_t n) noexcept {
  VESK_ROOM(e, (n + 7) / 8);
  std::uint8_t* bits = e.out.at(e.out.skip((n + 7) / 8));
  for (std::size_t i = 0; i < n; ++i) {
    bits[i >> 3] |= static_cast<std::uint8_t>((cells[i] == Py_True) << (i & 7));
  }
  return done();
}

Status objects(Encoder& e, Plan& p, std::size_t n, int depth) noexcept {
  std::size_t k = p.keys.size();
  VESK_ROOM(e, 10);
  e.out.varint(k);
  for (std::size_t j = 0; j < k; ++j) {
    Status s = text(e, p.keys[j]);
    if (VESK_UNLIKELY(!s.ok())) {
      EncodeError err = s.error();
      err.set_cell(0);
      return err;
    }
  }
  e.cells += static_cast<std::int64_t>(n * (k + 1));
  for (std::size_t j = 0; j < k; ++j) {
    Status s = column(e, &p.sub[j * n], n, depth + 1);
    if (VESK_UNLIKELY(!s.ok())) {
      return s.error().at_key(p.keys[j]);
    }
  }
  return done();
}

Status write(Encoder& e, Plan& p, PyObject* const* cells, std::size_t n, int depth) noexcept {
  VESK_ROOM(e, 1 + p.bytes);
  e.out.byte(static_cast<std::uint8_t>(p.kind));
  switch (p.kind) {
    case Kind::Tagged:
      if (p.ints) {
        // Ints already converted by the plan, in the room made for their size.
        char* d = e.out.cursor();
        for (std::size_t i = 0; i < n; ++i) {
          d = put_integer(d, p.nums[i]);
        }
        e.out.advance_to(d);
        return done();
      }
      return p.texts ? planned_texts(e, p, cells, n) : tagged(e, cells, n, depth);
    case Kind::Delta: {
      std::uint64_t prev = 0;
      char* d = e.out.cursor();
      for (std::size_t i = 0; i < n; ++i) {
        auto v = static_cast<std::uint64_t>(p.nums[i]);
        d = Out::put_varint(d, zigzag(static_cast<std::int64_t>(v - prev)));
        prev = v;
      }
      e.out.advance_to(d);
      return done();
    }
    case Kind::Decimal: {
      e.out.byte(p.scale);
      char* d = e.out.cursor();
      for (std::size_t i = 0; i < n; ++i) {
        d = Out::put_varint(d, zigzag(p.nums[i]));
      }
      e.out.advance_to(d);
      return done();
    }
    case Kind::Dictionary:
      return dictionary(e, p, cells, n);
    case Kind::Bitmap:
      return bitmap(e, cells, n);
    case Kind::Object:
      return objects(e, p, n, depth);
  }
  return done();
}

}  // namespace

Status column(Encoder& e, PyObject* const* cells, std::size_t n, int depth) noexcept {
  Plan p;
  VESK_TRY(plan(e, p, cells, n, depth, true));
  return write(e, p, cells, n, depth);
}

Res<bool> list_column(Encoder& e, PyObject* const* items, std::size_t n, int depth) noexcept {
  if (depth + 1 + e.anchor_depth > max_depth) {
    return false;
  }
  Plan p;
  VESK_TRY(plan(e, p, items, n, depth + 1, false));
  // The column's kind byte is the one byte an array does without.
  if (p.kind == Kind::Tagged || p.gain <= 1) {
    if (!p.texts) {
      return false;
    }
    // The texts are in the pool already: written from the plan as an array.
    VESK_ROOM(e, 11);
    e.out.byte(tag::array);
    e.out.varint(n);
    e.cells += static_cast<std::int64_t>(n + 1);
    Status s = planned_texts(e, p, items, n);
    if (VESK_UNLIKELY(!s.ok())) {
      EncodeError err = s.error();
      Py_ssize_t cell = err.take_cell();
      return std::move(err).at_index(cell);
    }
    return true;
  }
  VESK_ROOM(e, 11);
  e.out.byte(tag::list_column);
  e.out.varint(n);
  e.cells += static_cast<std::int64_t>(n + 1);
  Status s = write(e, p, items, n, depth + 1);
  if (VESK_UNLIKELY(!s.ok())) {
    EncodeError err = s.error();
    Py_ssize_t cell = err.take_cell();
    return cell < 0 ? std::move(err) : std::move(err).at_index(cell);
  }
  return true;
}

}  // namespace vesk::enc
