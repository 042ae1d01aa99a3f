// get_srs_fragment_time: the media server's HLS fragment duration, read
// afresh from its environment file on every call.
#include "module/bodies.hpp"
#include "module/catching.hpp"
#include "output/file_status.hpp"
#include "output/text_file.hpp"

namespace avwatch {

namespace {

constexpr const char* environment_file = "/usr/local/kestrel-srs/env.json";
constexpr long default_fragment_time = 6;

}  // namespace

Owned get_srs_fragment_time(const Call& call) {
    Owned fragment_time = integer(default_fragment_time);
    // Missing, a directory, a FIFO or a dangling link: never opened.
    if (!is_regular_file(environment_file))
        return fragment_time;
    Owned path = text(environment_file);
    // An error of the open itself (permission denied, removed meanwhile)
    // reaches the caller; anything wrong with the content means the default.
    return with_text_file(path, [&](Borrowed file) {
        try {
            Owned content = call_method(file, "read");
            Owned settings = call_method(call.global("json"), "loads", {content});
            Owned setting = item(settings, "SRS_VHOST_HLS_HLS_FRAGMENT");
            fragment_time = Owned::steal(PyNumber_Long(setting.get()));
        } catch (const ErrorSet&) {
            // Only the Exception family: an interrupt or exit request passes.
            if (!catch_error(PyExc_Exception))
                throw;
        }
        return fragment_time;
    });
}

}  // namespace avwatch
