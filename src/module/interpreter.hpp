// The one interpreter the module serves.
//
// The module keeps the interpreter's own objects between calls (the natives
// its fast paths compare against), and a single-phase module's namespace is
// copied into later interpreters as it stands, so its functions would run
// with one interpreter's objects in another.  The interpreter that imports
// it first owns it: another one may import it only once that one has ended,
// and a call from any other interpreter raises.
#pragma once

#include "module/ref.hpp"

namespace avwatch {

enum class Claim {
    again,    // imported again by its owner
    first,    // the first import in this process
    adopted,  // the owner has ended: what was kept of it is gone with it
};

// At import.  Throws ErrorSet (ImportError) while another interpreter that
// still runs owns the module.
Claim claim_interpreter();

// At each call.  Throws ErrorSet (RuntimeError) outside the owner.
void require_owner();

}  // namespace avwatch
