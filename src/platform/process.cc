// The process concerns that are the same on every system: run_process's
// steps over the system's own child (start_child, pump_child, reap_child).

// The system's Child, which run_process holds.
#ifdef _WIN32
#include "platform/win/internal.h"
#else
#include "platform/posix/internal.h"
#endif

#include "platform/internal.h"
#include "platform/platform.h"

namespace lw::platform {

int run_process(const RunRequest& request, RunEnd* end) {
  if (end) *end = RunEnd::kStartFailed;
  Child child;
  if (!start_child(request, &child)) return kRunFailed;
  const Pumped pumped = pump_child(request, &child);
  const int code = reap_child(&child, pumped != Pumped::kDone);
  if (pumped == Pumped::kDone) {
    if (end) *end = RunEnd::kExited;
    return code;
  }
  if (end) *end = pumped == Pumped::kStopped ? RunEnd::kStopped : RunEnd::kTimedOut;
  return kRunFailed;
}

}  // namespace lw::platform
