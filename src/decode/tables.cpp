// Tables: a header of column names, a row count and one column per name.
#include "decode/columns.hpp"

namespace vesk {

Result<KeyList> header(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t key_count, byte_count(d));
  if (key_count == 0) {
    return bad("empty table header", d.pos);
  }
  return unique_keys(d, key_count, "duplicate column");
}

namespace {

// The most rows of a table whose rows are made before its columns are read.
constexpr std::uint64_t short_table = 32;

VESK_NOINLINE Result<Head> table_head(Decoder& d, std::uint32_t depth) noexcept {
  VESK_TRY_ASSIGN(KeyList keys, header(d));
  VESK_TRY_ASSIGN(const std::uint64_t n, bit_count(d));
  // Only a test: each column charges n + 1 when it starts.
  if (d.size_budget < static_cast<std::int64_t>(n + 1)) {
    return bad("decoded size too large", d.pos);
  }
  // The first column would fail here too, before it pays for the rows.
  if (VESK_UNLIKELY(depth + 1 > d.depth_limit)) {
    return bad("nesting too deep", d.pos);
  }
  // A short table's rows are made first and take their cells as the columns
  // are read, as an Object column's do: keeping the cells in blocks pays only
  // where the rows would leave the caches before they are filled.
  if (n <= short_table) {
    const KeyList* filled = prefill(d, keys, n);
    if (filled != nullptr) {
      VESK_TRY_ASSIGN(Rows rows, row_dicts(n, filled));
      return head_of(KeyedRows{std::move(keys), std::move(rows), true});
    }
  }
  VESK_TRY_ASSIGN(Rows rows, row_slots(n));
  VESK_TRY_ASSIGN(Head head, table_rows(std::move(keys), std::move(rows)));
  if (n > 0) {
    VESK_TRY_ASSIGN(head->shape, shape_of(head->keys));
  }
  return head;
}

}  // namespace

Result<Owned> table(Decoder& d, std::uint32_t depth) noexcept {
  auto head = table_head(d, depth);
  if (VESK_UNLIKELY(!head.ok())) {
    return head.forward();
  }
  KeyedRows& t = *head.value();
  const auto n = static_cast<std::uint64_t>(PyList_GET_SIZE(t.rows.list.get()));
  if (t.filled) {
    VESK_TRY(row_columns(d, t, n, depth + 1));
    return std::move(t.rows.list);
  }
  // The cells are kept, column after column, and the rows made and filled
  // one at a time once every column is read.
  for (std::size_t k = 0; k < t.keys.size(); ++k) {
    VESK_TRY(kept_column(d, t, nullptr, n, depth + 1));
  }
  VESK_TRY(fill_rows(t));
  return std::move(t.rows.list);
}

}  // namespace vesk
