#pragma once

// Conversions between Python values and the C++ values the database takes and returns.
//
// The Python-to-C++ functions return false with a Python exception set when the value does not
// convert. A TypeError or OverflowError then names the argument: "argument 'namespace': 'NoneType'
// object cannot be converted to 'str'". Negative integers raise OverflowError. Other exceptions
// raised while converting (MemoryError, an exception from a user's __float__) pass unchanged.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaradb::python {

using StrMap = std::map<std::string, std::string>;

// Rewrites the pending TypeError or OverflowError as the same class with "argument '<name>': "
// in front of its text (the original becomes its cause). Always returns false.
bool argument_error(const char* name);

// Raises TypeError "argument '<name>': '<type of value>' object cannot be converted to '<target>'".
bool raise_cannot_convert(const char* name, PyObject* value, const char* target);

// An int (or an object with __index__, such as numpy.int64) in [0, 2**64).
bool to_u64(PyObject* value, const char* name, std::uint64_t& out);
// The same, bounded by the range of std::size_t.
bool to_size(PyObject* value, const char* name, std::size_t& out);
// A real number narrowed to 32-bit float (values beyond its range become infinities, as the
// hardware rounds them).
bool to_f32(PyObject* value, const char* name, float& out);
// A str (or subclass) as its UTF-8 bytes. A str holding lone surrogates raises
// UnicodeEncodeError.
bool to_string(PyObject* value, const char* name, std::string& out);

// An embedding: any sequence of real numbers except str, narrowed element by element to 32-bit
// floats. Objects exporting a one-dimensional float32 or float64 buffer in native byte order
// (numpy arrays, array.array, memoryviews, also strided) are read straight from their memory and
// give exactly the values the element-by-element path gives. A str raises TypeError
// "argument '<name>': Can't extract `str` to `Vec`". The length is not checked here.
bool to_embedding(PyObject* value, const char* name, std::vector<float>& out);

// A dict whose keys and values are all str.
bool to_str_map(PyObject* value, const char* name, StrMap& out);
// The same, with None (or a parameter not passed, `value` == nullptr) giving no map. An empty
// dict gives an empty map, not none.
bool to_optional_str_map(PyObject* value, const char* name, std::optional<StrMap>& out);

// New references, nullptr with an exception set on failure. Text is decoded as strict UTF-8.
PyObject* to_py_str(std::string_view text);
PyObject* to_py_dict(const StrMap& map);

// Narrows like the hardware does (round to nearest; beyond the float range to an infinity)
// without the undefined behaviour of an out-of-range static_cast.
float narrow_to_float(double value) noexcept;

}  // namespace tessaradb::python
