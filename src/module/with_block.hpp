// `with manager as value: ...` as the interpreter runs it, for whatever
// object a replaceable call returned: __enter__ and __exit__ looked up on
// its type, __exit__ called with the body's exception (which it may
// suppress by returning a true value) or with three Nones.
#pragma once

#include "module/api.hpp"

namespace avwatch {

class ContextManager {
public:
    // Looks up __enter__ and __exit__ (TypeError as the interpreter words
    // it when either is missing), then enters.
    explicit ContextManager(Borrowed manager);

    Borrowed value() const noexcept { return value_; }
    // With the body's exception set: true when __exit__ suppressed it (it is
    // cleared then); otherwise it stays set, or an error of __exit__ itself
    // replaces it, with the body's as its context.
    bool exit_after_error();
    void exit_cleanly();

private:
    Owned exit_;
    Owned value_;
};

// Runs `use(value)` inside the block.  Its result, or an empty Owned when
// __exit__ suppressed the body's exception.
template <class Use>
Owned with_block(Borrowed manager, Use&& use) {
    ContextManager context(manager);
    Owned result;
    try {
        result = use(context.value());
    } catch (const ErrorSet&) {
        if (!context.exit_after_error())
            throw;
        return Owned();
    }
    context.exit_cleanly();
    return result;
}

}  // namespace avwatch
