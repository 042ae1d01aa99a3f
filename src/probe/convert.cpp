// to_int and get_bit_depth: the prober's loosely typed values as integers.
#include "module/bodies.hpp"

namespace avwatch {

// int(float(number)): truncation toward zero, with the interpreter's errors.
Owned to_int(const Call& call) {
    Owned real = Owned::steal(PyNumber_Float(call.arg(0).get()));
    return Owned::steal(PyNumber_Long(real.get()));
}

namespace {

// `fragment in sample_format`, so containers test membership.
bool holds(Borrowed sample_format, const char* fragment) {
    Owned needle = text(fragment);
    return check(PySequence_Contains(sample_format.get(), needle.get())) == 1;
}

}  // namespace

Owned get_bit_depth(const Call& call) {
    Borrowed sample_format = call.arg(0);
    long bit_depth = 8;
    if (holds(sample_format, "s16"))
        bit_depth = 16;
    else if (holds(sample_format, "s32") || holds(sample_format, "flt"))
        bit_depth = 32;
    else if (holds(sample_format, "dbl") || holds(sample_format, "s64"))
        bit_depth = 64;
    return integer(bit_depth);
}

}  // namespace avwatch
