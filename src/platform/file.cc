// The file concerns that are the same on every system: the full-disk test
// seam's counter, which each system's file writes draw on (disk_room).

#include <atomic>
#include <cstdint>

#include "platform/internal.h"
#include "platform/platform.h"

namespace lw::platform {

namespace {

// Bytes the file writes may still store; -1: no limit.
std::atomic<int64_t> disk_space{-1};

}  // namespace

size_t disk_room(size_t want) {
  int64_t left = disk_space.load();
  for (;;) {
    if (left < 0) return want;
    const size_t room = static_cast<uint64_t>(left) < want ? static_cast<size_t>(left) : want;
    if (disk_space.compare_exchange_weak(left, left - static_cast<int64_t>(room))) return room;
  }
}

void disk_release(size_t bytes) {
  int64_t left = disk_space.load();
  while (left >= 0 &&
         !disk_space.compare_exchange_weak(left, left + static_cast<int64_t>(bytes))) {
  }
}

void set_disk_space_for_testing(int64_t bytes) { disk_space.store(bytes < 0 ? -1 : bytes); }

}  // namespace lw::platform
