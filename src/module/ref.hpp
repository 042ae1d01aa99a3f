// References to Python objects, and the one way a failure travels.
//
// Owned holds a strong reference and drops it on scope exit; Borrowed is a
// plain view that never touches the count.  A C API call that fails has
// already set a Python error: we then throw ErrorSet, which carries nothing,
// and catch it once at the boundary of each public function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace avwatch {

// "A Python error is set": thrown after a failed C API call.
struct ErrorSet {};

class Borrowed;

// This thread is attached to the interpreter, and so holds its lock.
inline bool has_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Owned() {
        // Without a thread state this thread is being unwound by the
        // interpreter's exit (see WithoutGil): the lock is not ours, so the
        // reference is left to the dying interpreter, as its own frames are.
        if (ptr_ != nullptr && has_thread_state())
            Py_DECREF(ptr_);
    }

    Owned& operator=(Owned other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference; a null one means the call failed.
    static Owned steal(PyObject* ptr) {
        if (ptr == nullptr)
            throw ErrorSet{};
        return Owned(ptr);
    }
    // Takes a new reference of its own to an object someone else holds.
    static Owned share(PyObject* ptr) noexcept { return Owned(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference back to the interpreter (a function's result).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Owned(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

class Borrowed {
public:
    Borrowed(PyObject* ptr) noexcept : ptr_(ptr) {}
    Borrowed(const Owned& owner) noexcept : ptr_(owner.get()) {}
    PyObject* get() const noexcept { return ptr_; }
    Owned share() const noexcept { return Owned::share(ptr_); }

private:
    PyObject* ptr_;
};

// For C API calls that report failure with -1.
inline int check(int status) {
    if (status < 0)
        throw ErrorSet{};
    return status;
}

// Releases the interpreter lock for the life of the object.  Nothing inside
// may touch a Python object, and nothing inside may throw: the destructor
// must not run during another unwind.
//
// Once the interpreter is exiting, a daemon thread that asks for the lock
// back is ended with pthread_exit, a forced unwind that starts inside the
// destructor; it has to travel on through every frame up to the thread's
// start, hence noexcept(false) here and no noexcept on the way out.
class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutGil() noexcept(false) { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace avwatch
