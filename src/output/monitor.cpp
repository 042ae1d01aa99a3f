// ffmpeg_output_bitrate: while the channel is live, find the newest segment
// of its HLS output, take the bandwidth from the playlist (or probe the
// segment when the playlist advertises none) and publish the output status
// record every half fragment duration.
//
// Each pass is guarded: an error of the Exception family is logged and the
// loop goes on after the usual pause.  The start, the pause and the final
// deletions are not guarded.

#include "module/bodies.hpp"
#include "module/catching.hpp"
#include "output/paths.hpp"
#include "output/segments.hpp"
#include "store/keys.hpp"
#include "store/records.hpp"

namespace avwatch {
namespace {

// Until a pass has computed its own pause, a failed pass pauses this long:
// half the media server's default fragment duration.
constexpr long long first_pause_seconds = 3;

// A missing segment or a probe that measures nothing is retried at once this
// many times before the pass publishes what it has.
constexpr int max_tries = 3;

// The twelve fields, in the order every published record keeps.
Owned initial_status_record(Borrowed pipe_name) {
    Owned record = Owned::steal(PyDict_New());
    Owned empty = text("");
    Owned zero = integer(0);
    set_item(record, "acodec", empty);
    set_item(record, "vcodec", empty);
    set_item(record, "sequence", none());
    set_item(record, "atime", empty);
    set_item(record, "vtime", empty);
    set_item(record, "bitrate", zero);
    set_item(record, "vbitrate", zero);
    set_item(record, "abitrate", zero);
    set_item(record, "vfps", zero);
    set_item(record, "vresolution", empty);
    set_item(record, "lastts", empty);
    set_item(record, "name", pipe_name);
    return record;
}

Owned copy_record(Borrowed record) { return Owned::steal(PyDict_Copy(record.get())); }

// max(1, int(fragment_time / 2))
Owned pause_for(Borrowed fragment_time) {
    Owned one = integer(1);
    Owned two = integer(2);
    Owned half = Owned::steal(PyNumber_TrueDivide(fragment_time.get(), two.get()));
    Owned whole = Owned::steal(PyNumber_Long(half.get()));
    bool longer = check(PyObject_RichCompareBool(whole.get(), one.get(), Py_GT)) == 1;
    return longer ? whole : one;
}

bool is_zero(Borrowed number) { return equals(number, integer(0)); }

class OutputMonitor {
public:
    explicit OutputMonitor(const Call& call)
        : call_(call),
          pipe_name_(call.arg(1)),
          broker_(call.arg(2)),
          paths_(output_paths(call.arg(0), call.arg(1))),
          keys_(channel_keys(call.arg(0), call.arg(1))),
          initial_(initial_status_record(call.arg(1))),
          sleep_time_(integer(first_pause_seconds)) {}

    void run() {
        write_record(call_, broker_, keys_.input_status, initial_);
        for (;;) {
            Next next = guarded_pass();
            if (next == Next::stop)
                break;
            if (next == Next::retry)
                continue;
            call_method(call_.global("time"), "sleep", {sleep_time_});
        }
        delete_key(broker_, keys_.input_status);
        delete_key(broker_, keys_.output_status);
    }

private:
    enum class Next { stop, retry, pause };

    Next guarded_pass() {
        try {
            return pass();
        } catch (const ErrorSet&) {
            if (!error_matches(PyExc_Exception))
                throw;
        }
        log_failed_pass();
        return Next::pause;
    }

    // The error is handled as an except block handles it: it is the current
    // exception while the message is logged, so an error of the logging
    // itself carries it as its context.
    void log_failed_pass() {
        Owned error = Owned::steal(PyErr_GetRaisedException());
        Handling handling(error);
        Owned message = concat({text("Error in ffmpeg_output_bitrate: "), to_str(error)});
        call_method(call_.global("logging"), "error", {message});
    }

    Next pass() {
        Owned fragment_time = avwatch::call(call_.global("get_srs_fragment_time"));
        sleep_time_ = pause_for(fragment_time);

        Owned channel = read_record(call_, broker_, keys_.channel);
        if (!is_live(channel))
            return Next::stop;

        Owned out_info = copy_record(initial_);
        SegmentScan scan = scan_segments(call_, paths_.segment_folder);
        if (scan.outcome == SegmentScan::Outcome::no_folder)
            return publish(out_info);
        if (scan.outcome == SegmentScan::Outcome::no_candidates)
            return retry_or_publish(out_info);

        Owned ts_file = scan.path;
        out_info = copy_record(initial_);
        set_item(out_info, "lastts", scan.newest);

        Owned recent = avwatch::call(call_.global("is_ts_file_recent"), {ts_file, fragment_time});
        if (!truthy(recent))
            return publish(out_info);

        Owned bitrate = avwatch::call(call_.global("get_bitrate_from_playlist"), {paths_.playlist, pipe_name_});
        set_item(out_info, "bitrate", bitrate);
        if (!is_zero(bitrate))
            return publish(out_info);

        Owned ffprobe_info = avwatch::call(call_.global("get_ffprobe_info"), {ts_file});
        if (is_zero(item(ffprobe_info, "bitrate")) && current_try_ <= max_tries) {
            ++current_try_;
            return Next::retry;
        }
        call_method(out_info, "update", {ffprobe_info});
        return publish(out_info);
    }

    Next retry_or_publish(Borrowed out_info) {
        if (current_try_ <= max_tries) {
            ++current_try_;
            return Next::retry;
        }
        return publish(out_info);
    }

    Next publish(Borrowed out_info) {
        current_try_ = 1;
        write_record(call_, broker_, keys_.output_status, out_info);
        return Next::pause;
    }

    const Call& call_;
    Borrowed pipe_name_;
    Borrowed broker_;
    OutputPaths paths_;
    ChannelKeys keys_;
    Owned initial_;
    Owned sleep_time_;  // of the last pass that computed one
    int current_try_ = 1;
};

}  // namespace

Owned ffmpeg_output_bitrate(const Call& call) {
    OutputMonitor(call).run();
    return none();
}

}  // namespace avwatch
