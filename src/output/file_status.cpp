#include "output/file_status.hpp"

#include <cerrno>
#include <climits>
#include <sys/stat.h>

namespace avwatch {

bool is_regular_file(const char* path) {
    struct stat status;
    int result;
    {
        WithoutGil unlocked;
        result = ::stat(path, &status);
    }
    return result == 0 && S_ISREG(status.st_mode);
}

namespace {

// os.stat's reading of an integer as a file descriptor.
int file_descriptor(Borrowed number) {
    Owned index = Owned::steal(PyNumber_Index(number.get()));
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw ErrorSet{};
    if (overflow > 0 || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "fd is greater than maximum");
        throw ErrorSet{};
    }
    if (overflow < 0 || value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "fd is less than minimum");
        throw ErrorSet{};
    }
    return static_cast<int>(value);
}

}  // namespace

Owned modification_time(Borrowed path) {
    struct stat status;
    int result;
    int error;
    bool by_descriptor = PyIndex_Check(path.get());  // os.stat takes an int as a descriptor
    if (by_descriptor) {
        int fd = file_descriptor(path);
        WithoutGil unlocked;
        result = ::fstat(fd, &status);
        error = errno;
    } else {
        PyObject* converted = nullptr;  // bytes, from str, bytes or os.PathLike
        if (!PyUnicode_FSConverter(path.get(), &converted))
            throw ErrorSet{};
        Owned encoded = Owned::steal(converted);
        const char* name = PyBytes_AS_STRING(encoded.get());
        WithoutGil unlocked;
        result = ::stat(name, &status);
        error = errno;
    }
    if (result != 0)
        raise_os_error(error, path.get());
    // The sum os.stat forms for st_mtime, so both give the same float.
    double seconds = static_cast<double>(status.st_mtim.tv_sec) + status.st_mtim.tv_nsec * 1e-9;
    return Owned::steal(PyFloat_FromDouble(seconds));
}

}  // namespace avwatch
