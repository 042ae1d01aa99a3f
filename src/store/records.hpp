// Records in Redis: JSON text read through the module's json.loads and
// written with json.dumps defaults, through the caller's client.
#pragma once

#include "module/function.hpp"

namespace avwatch {

// json.loads(broker.get(key)): a missing key is json's TypeError.
Owned read_record(const Call& call, Borrowed broker, Borrowed key);
// broker.set(key, json.dumps(record))
void write_record(const Call& call, Borrowed broker, Borrowed key, Borrowed record);
// broker.delete(key)
void delete_key(Borrowed broker, Borrowed key);
// channel["live"], tested for truth; KeyError when absent.
bool is_live(Borrowed channel);

}  // namespace avwatch
