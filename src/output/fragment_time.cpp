// get_srs_fragment_time: the media server's HLS fragment duration, read
// afresh from its environment file on every call.
#include "module/bodies.hpp"
#include "module/catching.hpp"
#include "module/natives.hpp"
#include "module/with_block.hpp"
#include "output/file_status.hpp"

namespace avwatch {

namespace {

constexpr const char* environment_file = "/usr/local/kestrel-srs/env.json";
constexpr long default_fragment_time = 6;

// os.path.isfile(path)
bool is_file(const Call& call, Borrowed path) {
    Owned isfile = os_path_function(call, "isfile");
    if (is_native(isfile, Native::isfile))
        return is_regular_file(environment_file);
    return truthy(avwatch::call(isfile, {path}));
}

// `with contextlib.suppress(Exception): read()`
template <class Read>
void suppressing_exceptions(const Call& call, Read&& read) {
    Owned suppress = attr(call.global("contextlib"), "suppress");
    Owned exception_class = call.global("Exception");
    if (!is_native(suppress, Native::suppress)) {
        Owned manager = avwatch::call(suppress, {exception_class});
        with_block(manager, [&](Borrowed) {
            read();
            return none();
        });
        return;
    }
    try {
        read();
    } catch (const ErrorSet&) {
        if (!catch_error([&] { return exception_class; }))
            throw;
    }
}

}  // namespace

Owned get_srs_fragment_time(const Call& call) {
    Owned fragment_time = integer(default_fragment_time);
    Owned path = text(environment_file);
    // Missing, a directory, a FIFO or a dangling link: never opened.
    if (!is_file(call, path))
        return fragment_time;
    // An error of the open itself (permission denied, removed meanwhile)
    // reaches the caller; anything wrong with the content means the default.
    Owned opened = avwatch::call(call.global("open"), {path});
    with_block(opened, [&](Borrowed file) {
        suppressing_exceptions(call, [&] {
            Owned content = call_method(file, "read");
            Owned settings = call_method(call.global("json"), "loads", {content});
            Owned setting = item(settings, "SRS_VHOST_HLS_HLS_FRAGMENT");
            fragment_time = Owned::steal(PyNumber_Long(setting.get()));
        });
        return none();
    });
    return fragment_time;
}

}  // namespace avwatch
