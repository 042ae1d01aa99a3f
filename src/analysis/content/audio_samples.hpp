// Decoded audio as the meters read it: interleaved floats, full scale 1.0,
// whatever sample format the decoder produced; always finite, within +12 dBFS.
#pragma once

#include <vector>

extern "C" {
struct AVFrame;
}

namespace avwatch::content {

// Fills `out` with the frame's samples interleaved (channels x nb_samples);
// false for a sample format this does not convert (out is then empty).
bool interleaved_floats(const AVFrame& frame, int channels, std::vector<float>& out);

}  // namespace avwatch::content
