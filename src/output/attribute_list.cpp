#include "output/attribute_list.hpp"

namespace avwatch {

namespace {

class Characters {
public:
    explicit Characters(Borrowed str)
        : kind_(PyUnicode_KIND(str.get())), data_(PyUnicode_DATA(str.get())), size_(PyUnicode_GET_LENGTH(str.get())) {}

    Py_ssize_t size() const { return size_; }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

    Py_ssize_t find(Py_UCS4 wanted, Py_ssize_t from, Py_ssize_t to) const {
        for (Py_ssize_t i = from; i < to; ++i)
            if ((*this)[i] == wanted)
                return i;
        return -1;
    }

    // [from, to) with whitespace trimmed at both ends equals `name`.
    bool trimmed_equals(Py_ssize_t from, Py_ssize_t to, std::string_view name) const {
        while (from < to && Py_UNICODE_ISSPACE((*this)[from]))
            ++from;
        while (to > from && Py_UNICODE_ISSPACE((*this)[to - 1]))
            --to;
        if (to - from != static_cast<Py_ssize_t>(name.size()))
            return false;
        for (std::size_t k = 0; k < name.size(); ++k)
            if ((*this)[from + static_cast<Py_ssize_t>(k)] != static_cast<unsigned char>(name[k]))
                return false;
        return true;
    }

private:
    int kind_;
    const void* data_;
    Py_ssize_t size_;
};

}  // namespace

Owned attribute_value(Borrowed tag, std::string_view name) {
    Characters text(tag);
    Py_ssize_t colon = text.find(':', 0, text.size());
    if (colon < 0)
        return Owned();
    Py_ssize_t start = colon + 1;
    bool quoted = false;
    for (Py_ssize_t i = start; i <= text.size(); ++i) {
        if (i < text.size()) {
            Py_UCS4 c = text[i];
            if (c == '"')
                quoted = !quoted;
            if (c != ',' || quoted)
                continue;
        }
        // [start, i) is one attribute.
        Py_ssize_t equals = text.find('=', start, i);
        if (equals >= 0 && text.trimmed_equals(start, equals, name))
            return Owned::steal(PyUnicode_Substring(tag.get(), equals + 1, i));
        start = i + 1;
    }
    return Owned();
}

}  // namespace avwatch
