// The Python class Hit: one scored query hit, the only result class Python code may construct.

#include <cstdint>

#include "lib/arguments.hpp"
#include "lib/conversions.hpp"
#include "lib/guarded.hpp"
#include "lib/py_ref.hpp"
#include "lib/result_types.hpp"

namespace tessaradb::python {
namespace {

struct HitObject {
  PyObject_HEAD
  std::uint64_t id;
  float score;

  void construct_members() noexcept {
    id = 0;
    score = 0.0f;
  }
  void destroy_members() noexcept {}
};

HitObject* as_hit(PyObject* self) { return reinterpret_cast<HitObject*>(self); }

PyObject* hit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {{"id"}, {"score"}};
    PyObject* values[2];
    if (!parse_arguments("Hit.__new__()", kParams, args, kwargs, values)) return nullptr;
    std::uint64_t id = 0;
    float score = 0.0f;
    if (!to_u64(values[0], "id", id) || !to_f32(values[1], "score", score)) return nullptr;
    HitObject* hit = alloc_object<HitObject>(reinterpret_cast<PyObject*>(type));
    if (hit == nullptr) return nullptr;
    hit->id = id;
    hit->score = score;
    return reinterpret_cast<PyObject*>(hit);
  });
}

PyObject* hit_get_id(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_hit(self)->id); }

PyObject* hit_get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(as_hit(self)->score));
}

PyObject* hit_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    char* score = PyOS_double_to_string(static_cast<double>(as_hit(self)->score), 'f', 4, 0,
                                        nullptr);
    if (score == nullptr) return PyErr_NoMemory();
    PyObject* text = PyUnicode_FromFormat("Hit(id=%llu, score=%s)",
                                          static_cast<unsigned long long>(as_hit(self)->id), score);
    PyMem_Free(score);
    return text;
  });
}

PyGetSetDef hit_getset[] = {
    {"id", hit_get_id, nullptr, "Memory identifier.", nullptr},
    {"score", hit_get_score, nullptr, "Relevance score (higher is better).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kHitDoc[] =
    "Hit(id, score)\n--\n\n"
    "A scored query hit. Returned by `TessaraDB.ask_embedding()`.\n"
    "\n"
    "Attributes:\n"
    "    id (int): Memory identifier.\n"
    "    score (float): Relevance score (higher is better).\n";

PyType_Slot hit_slots[] = {
    {Py_tp_doc, const_cast<char*>(kHitDoc)},
    {Py_tp_new, reinterpret_cast<void*>(hit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<HitObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(hit_repr)},
    {Py_tp_getset, hit_getset},
    {0, nullptr},
};

PyType_Spec hit_spec = {
    "tessaradb.Hit", sizeof(HitObject), 0, Py_TPFLAGS_DEFAULT, hit_slots,
};

}  // namespace

PyObject* create_hit_type() { return PyType_FromSpec(&hit_spec); }

PyObject* new_hit(const ModuleState& state, std::uint64_t id, float score) {
  HitObject* hit = alloc_object<HitObject>(state.hit_type);
  if (hit == nullptr) return nullptr;
  hit->id = id;
  hit->score = score;
  return reinterpret_cast<PyObject*>(hit);
}

}  // namespace tessaradb::python
