// The pidfds of this process's running chain leaders, so that a worker
// leaving with probes still in flight (daemon threads frozen inside them)
// ends their groups itself: a guard killed just before cannot.
#pragma once

namespace avwatch {

// Both are safe from any thread and never block.  A full table leaves the
// chain to its probe and its guard, as before.
void remember_leader(int pidfd) noexcept;
void forget_leader(int pidfd) noexcept;

}  // namespace avwatch
