// Anchors: lists and dicts met more than once (by identity) are written once
// as an anchor and then as references, while the copy budget lasts.
#include "encode/encoder.hpp"

namespace vesk::enc {

namespace {

// Levels of containers from obj down (0 for anything else); counts every list
// and dict met. A container met before is not walked again, so shared and
// cyclic objects cost one visit each.
Res<std::uint32_t> walk(Encoder& e, PyObject* obj, int depth) noexcept {
  bool is_dict = PyDict_Check(obj);
  if (!is_dict && !PyList_Check(obj) && !PyTuple_Check(obj)) {
    return std::uint32_t{0};
  }
  Seen* seen = e.seen.find(obj, true);
  if (seen == nullptr) {
    return py_fail();
  }
  if (seen->count++ > 0 || depth >= max_depth) {
    return seen->height + 1;
  }
  seen->open = true;
  std::uint32_t below = 0;
  if (is_dict) {
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(obj, &pos, &k, &v)) {
      VESK_TRY_ASSIGN(std::uint32_t h, walk(e, v, depth + 1));
      below = h > below ? h : below;
    }
  } else {
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      VESK_TRY_ASSIGN(std::uint32_t h, walk(e, PySequence_Fast_GET_ITEM(obj, i), depth + 1));
      below = h > below ? h : below;
    }
  }
  // The walk below may have moved the records.
  seen = e.seen.find(obj, false);
  seen->open = false;
  seen->height = below;
  return below + 1;
}

}  // namespace

Status count_containers(Encoder& e, PyObject* root) noexcept {
  VESK_TRY(walk(e, root, 0));
  return done();
}

Status repeated(Encoder& e, PyObject* obj, int depth, bool is_dict, Seen& seen) noexcept {
  auto body = [&]() { return is_dict ? dict_body(e, obj, depth) : seq_body(e, obj, depth); };
  if (seen.anchor >= 0) {
    if (seen.cost > e.copy_budget) {
      return body();  // the budget is spent: written again in full
    }
    e.copy_budget -= seen.cost;
    e.cells += seen.cost;
    VESK_ROOM(e, 11);
    e.out.byte(tag::anchor_ref);
    e.out.varint(static_cast<std::uint32_t>(seen.anchor));
    return done();
  }
  // An anchor adds a level on the wire; below it every container may add one
  // more of its own, so the anchor must leave room for twice its height.
  // A container that holds itself is never anchored: its cycle ends at the
  // depth limit.
  if (seen.open ||
      depth + e.anchor_depth + 1 + 2 * static_cast<std::int64_t>(seen.height) > max_depth) {
    return body();
  }
  VESK_ROOM(e, 1);
  e.out.byte(tag::anchor);
  std::uint32_t number = e.anchor_count++;
  std::int64_t before = e.cells;
  seen.open = true;
  ++e.anchor_depth;
  Status s = body();
  --e.anchor_depth;
  seen.open = false;
  VESK_TRY(std::move(s));
  seen.cost = e.cells - before;
  seen.anchor = static_cast<std::int32_t>(number);
  return done();
}

}  // namespace vesk::enc
