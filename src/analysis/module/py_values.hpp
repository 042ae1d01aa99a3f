// Small builders of Python values from what the analysers produce.
#pragma once

#include "module/api.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace avwatch::analysis {

// Text read from files or the network: invalid UTF-8 becomes U+FFFD.
inline Owned lossy_text(std::string_view bytes) {
    return Owned::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

inline Owned boolean(bool value) { return Owned::share(value ? Py_True : Py_False); }

inline Owned real(double value) { return Owned::steal(PyFloat_FromDouble(value)); }

inline Owned unsigned_integer(std::uint64_t value) { return Owned::steal(PyLong_FromUnsignedLongLong(value)); }

template <class T, class Make>
Owned optional_value(const std::optional<T>& value, Make&& make) {
    return value ? make(*value) : none();
}

inline Owned text_list(const std::vector<std::string>& items) {
    Owned list = Owned::steal(PyList_New(0));
    for (const std::string& item : items)
        check(PyList_Append(list.get(), lossy_text(item).get()));
    return list;
}

inline Owned new_dict() { return Owned::steal(PyDict_New()); }

inline void put(Borrowed dict, const char* key, const Owned& value) {
    check(PyDict_SetItemString(dict.get(), key, value.get()));
}

// The bytes of a bytes-like object, copied (the view ends with the call).
std::string bytes_argument(PyObject* object);

}  // namespace avwatch::analysis
