// to_int and get_bit_depth: the prober's loosely typed values as integers.
#include "module/bodies.hpp"

namespace avwatch {

// int(float(number)): truncation toward zero, with the interpreter's errors.
Owned to_int(const Call& call) {
    Owned real = Owned::steal(PyNumber_Float(call.arg(0).get()));
    return Owned::steal(PyNumber_Long(real.get()));
}

Owned get_bit_depth(const Call& call) {
    Borrowed sample_format = call.arg(0);
    // `fragment in sample_format`, so a container tests membership.
    long bit_depth = 8;
    if (contains(sample_format, "s16"))
        bit_depth = 16;
    else if (contains(sample_format, "s32") || contains(sample_format, "flt"))
        bit_depth = 32;
    else if (contains(sample_format, "dbl") || contains(sample_format, "s64"))
        bit_depth = 64;
    return integer(bit_depth);
}

}  // namespace avwatch
