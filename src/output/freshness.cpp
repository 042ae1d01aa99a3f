// is_ts_file_recent: was the segment modified within four fragment durations?
#include "module/bodies.hpp"
#include "module/catching.hpp"
#include "module/natives.hpp"
#include "output/file_status.hpp"

namespace avwatch {

Owned is_ts_file_recent(const Call& call) {
    Borrowed file = call.arg(0);
    Borrowed fragment_time = call.arg(1);
    try {
        Owned now = call_method(call.global("time"), "time");
        Owned getmtime = os_path_function(call, "getmtime");
        Owned modified = is_native(getmtime, Native::getmtime) ? modification_time(file)
                                                                : avwatch::call(getmtime, {file});
        Owned age = Owned::steal(PyNumber_Subtract(now.get(), modified.get()));
        // Python number operations, so an int, a float or a stray None
        // behaves exactly as in `age <= fragment_time * 4`.
        Owned four = integer(4);
        Owned limit = Owned::steal(PyNumber_Multiply(fragment_time.get(), four.get()));
        return Owned::steal(PyObject_RichCompare(age.get(), limit.get(), Py_LE));
    } catch (const ErrorSet&) {
        // A test that cannot be made answers "not recent"; an interrupt or
        // exit request still passes.
        if (!catch_error(PyExc_Exception))
            throw;
        return Owned::share(Py_False);
    }
}

}  // namespace avwatch
