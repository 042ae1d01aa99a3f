// Stream time from 33-bit PTS values: unwrapped across the wrap, with a
// jump (more than 10 s either way: a splice, a restarted encoder) marking
// a new epoch so that runs measured in stream time restart.
#pragma once

#include <cstdint>
#include <optional>

namespace avwatch::content {

inline constexpr std::int64_t pts_hz = 90000;
inline constexpr std::int64_t pts_modulo = std::int64_t{1} << 33;
inline constexpr std::int64_t pts_jump = 10 * pts_hz;

class StreamClock {
public:
    // Seconds of stream time for `pts`, read against the newest PTS given.
    // Presentation order differs from arrival order (B-pictures): small
    // steps back are time, not jumps.
    double at(std::int64_t pts) {
        if (!last_) {
            last_ = pts;
            return 0;
        }
        std::int64_t step = wrapped_step(pts);
        if (step > pts_jump || step < -pts_jump)
            ++epoch_;  // time goes on from where it was; runs restart by epoch
        else
            ticks_ += step;
        last_ = pts;
        return static_cast<double>(ticks_) / pts_hz;
    }
    std::uint64_t epoch() const noexcept { return epoch_; }

private:
    std::int64_t wrapped_step(std::int64_t pts) const {
        std::int64_t step = (pts - *last_) % pts_modulo;
        if (step < 0)
            step += pts_modulo;
        return step >= pts_modulo / 2 ? step - pts_modulo : step;
    }

    std::optional<std::int64_t> last_;
    std::int64_t ticks_ = 0;
    std::uint64_t epoch_ = 0;
};

}  // namespace avwatch::content
