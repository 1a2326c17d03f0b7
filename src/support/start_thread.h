// Starting a thread without letting an exception out: the thread library
// reports a thread the system cannot give as std::system_error, the only
// exception this program handles, and only here.

#ifndef LINKWATCH_SUPPORT_START_THREAD_H_
#define LINKWATCH_SUPPORT_START_THREAD_H_

#include <system_error>
#include <thread>
#include <utility>

namespace lw {

// Starts `*thread` running `function(args...)`. False, with `*thread`
// left as it was, when the system gives no thread.
// REQUIRES: `*thread` is not joinable.
template <typename Function, typename... Args>
bool start_thread(std::thread* thread, Function&& function, Args&&... args) {
  try {
    *thread = std::thread(std::forward<Function>(function), std::forward<Args>(args)...);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_START_THREAD_H_
