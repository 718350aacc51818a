// Conversions between Python values and C++ values; see conversions.hpp for the contracts.

#include "lib/conversions.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "lib/py_ref.hpp"

namespace tessaradb::python {
namespace {

// The type's own name without its module ("NoneType", "ndarray").
std::string short_type_name(PyObject* value) {
  const char* full = Py_TYPE(value)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot != nullptr ? dot + 1 : full;
}

// Releases a buffer view on every path out of a scope.
class BufferView {
 public:
  // Succeeds for exporters that can describe their memory with shape, strides and format.
  bool acquire(PyObject* exporter) {
    if (PyObject_GetBuffer(exporter, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();  // not every exporter can: the element-by-element path still works
      return false;
    }
    held_ = true;
    return true;
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

enum class ElementType { Unsupported, Float32, Float64 };

// Only native byte order: anything else takes the element-by-element path, which gives the same
// values through the exporter's own element access.
ElementType element_type(const Py_buffer& view) {
  if (view.format == nullptr) return ElementType::Unsupported;
  std::string_view format = view.format;
  if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                          (format[0] == '<' && std::endian::native == std::endian::little))) {
    format.remove_prefix(1);
  }
  if (format == "f" && view.itemsize == 4) return ElementType::Float32;
  if (format == "d" && view.itemsize == 8) return ElementType::Float64;
  return ElementType::Unsupported;
}

// Reads a one-dimensional float32 or float64 buffer. Returns false (nothing set) when the object
// is no such buffer.
bool read_float_buffer(PyObject* value, std::vector<float>& out) {
  if (!PyObject_CheckBuffer(value)) return false;
  BufferView buffer;
  if (!buffer.acquire(value)) return false;
  const Py_buffer& view = buffer.view();
  const ElementType type = element_type(view);
  if (view.ndim != 1 || type == ElementType::Unsupported) return false;
  const auto count = static_cast<std::size_t>(view.shape[0]);
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
  const auto* base = static_cast<const char*>(view.buf);
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char* element = base + static_cast<Py_ssize_t>(i) * stride;
    if (type == ElementType::Float32) {
      std::memcpy(&out[i], element, sizeof(float));  // rows may be unaligned
    } else {
      double d;
      std::memcpy(&d, element, sizeof(double));
      out[i] = narrow_to_float(d);
    }
  }
  return true;
}

}  // namespace

float narrow_to_float(double value) noexcept {
  if (!(std::fabs(value) > static_cast<double>(FLT_MAX))) return static_cast<float>(value);
  // Above FLT_MAX, round to nearest still gives FLT_MAX until half an ulp (2^103) beyond it; the
  // tie goes to the even neighbour, which is infinity.
  const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
  const float magnitude = std::fabs(value) >= limit ? std::numeric_limits<float>::infinity()
                                                    : FLT_MAX;
  return std::signbit(value) ? -magnitude : magnitude;
}

bool argument_error(const char* name) {
  const bool is_type_error = PyErr_ExceptionMatches(PyExc_TypeError);
  if (!is_type_error && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyObject* kind = is_type_error ? PyExc_TypeError : PyExc_OverflowError;
#if PY_VERSION_HEX >= 0x030C0000
  PyRef cause{PyErr_GetRaisedException()};
#else
  PyObject *type = nullptr, *raw_value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &raw_value, &traceback);
  PyErr_NormalizeException(&type, &raw_value, &traceback);
  if (traceback != nullptr && raw_value != nullptr) PyException_SetTraceback(raw_value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyRef cause{raw_value};
#endif
  if (!cause) return false;
  PyRef text{PyObject_Str(cause.get())};
  if (!text) return false;
  PyRef wrapped{PyUnicode_FromFormat("argument '%s': %U", name, text.get())};
  if (!wrapped) return false;
  PyRef error{PyObject_CallOneArg(kind, wrapped.get())};
  if (!error) return false;
  PyException_SetCause(error.get(), cause.release());  // steals the cause
  PyErr_SetObject(kind, error.get());
  return false;
}

bool raise_cannot_convert(const char* name, PyObject* value, const char* target) {
  const std::string message = std::string("argument '") + name + "': '" + short_type_name(value) +
                              "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t& out) {
  PyRef index;
  if (PyLong_Check(value)) {
    index = PyRef::borrow(value);
  } else if (PyIndex_Check(value)) {
    index = PyRef{PyNumber_Index(value)};
    if (!index) return argument_error(name);
  } else {
    return raise_cannot_convert(name, value, "int");
  }
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return argument_error(name);
  }
  out = converted;
  return true;
}

bool to_size(PyObject* value, const char* name, std::size_t& out) {
  std::uint64_t wide = 0;
  if (!to_u64(value, name, wide)) return false;
  if (wide > std::numeric_limits<std::size_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int too big to convert", name);
    return false;
  }
  out = static_cast<std::size_t>(wide);
  return true;
}

bool to_f32(PyObject* value, const char* name, float& out) {
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return argument_error(name);
  out = narrow_to_float(d);
  return true;
}

bool to_string(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) return raise_cannot_convert(name, value, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return argument_error(name);
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_embedding(PyObject* value, const char* name, std::vector<float>& out) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (read_float_buffer(value, out)) return true;
  if (!PySequence_Check(value)) return raise_cannot_convert(name, value, "Sequence");
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return argument_error(name);
  out.clear();
  // A sequence may claim any length; memory grows with the elements actually read.
  out.reserve(std::min<std::size_t>(static_cast<std::size_t>(size), 1 << 16));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item{PySequence_GetItem(value, i)};
    if (!item) return argument_error(name);
    const double d =
        PyFloat_CheckExact(item.get()) ? PyFloat_AS_DOUBLE(item.get()) : PyFloat_AsDouble(item.get());
    if (d == -1.0 && PyErr_Occurred()) return argument_error(name);
    out.push_back(narrow_to_float(d));
  }
  return true;
}

bool to_str_map(PyObject* value, const char* name, StrMap& out) {
  if (!PyDict_Check(value)) return raise_cannot_convert(name, value, "dict");
  out.clear();
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *item = nullptr;
  // Nothing below runs Python code, so the dict cannot change while it is walked.
  while (PyDict_Next(value, &position, &key, &item)) {
    std::string k, v;
    if (!to_string(key, name, k) || !to_string(item, name, v)) return false;
    out.insert_or_assign(std::move(k), std::move(v));
  }
  return true;
}

bool to_optional_str_map(PyObject* value, const char* name, std::optional<StrMap>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  StrMap map;
  if (!to_str_map(value, name, map)) return false;
  out = std::move(map);
  return true;
}

PyObject* to_py_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_py_dict(const StrMap& map) {
  PyRef dict{PyDict_New()};
  if (!dict) return nullptr;
  for (const auto& [key, value] : map) {
    PyRef k{to_py_str(key)}, v{to_py_str(value)};
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;  // no steal
  }
  return dict.release();
}

}  // namespace tessaradb::python
