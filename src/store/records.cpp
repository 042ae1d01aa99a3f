#include "store/records.hpp"

namespace avwatch {

Owned read_record(const Call& call, Borrowed broker, Borrowed key) {
    Owned stored = call_method(broker, "get", {key});
    return call_method(call.global("json"), "loads", {stored});
}

void write_record(const Call& call, Borrowed broker, Borrowed key, Borrowed record) {
    Owned serialised = call_method(call.global("json"), "dumps", {record});
    call_method(broker, "set", {key, serialised});
}

void delete_key(Borrowed broker, Borrowed key) { call_method(broker, "delete", {key}); }

bool is_live(Borrowed channel) { return truthy(item(channel, "live")); }

}  // namespace avwatch
