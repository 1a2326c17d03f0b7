// Replaces parts of the process's environment (support/environment) for the
// life of the object; afterwards the parts it replaced are as they were
// before it, whatever other parts changed meanwhile. Replace parts while no
// other thread uses them (the clock while none reads it, and so on).

#ifndef LINKWATCH_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
#define LINKWATCH_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_

#include <cstdio>

#include "support/environment.h"

namespace lw::test {

class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment() {
    Environment env = current_environment();
    if (clock_) env.clock = saved_.clock;
    if (run_) env.run = saved_.run, env.run_context = saved_.run_context;
    if (resolve_) env.resolve = saved_.resolve;
    if (output_) env.out = saved_.out, env.err = saved_.err;
    replace_environment(env);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  // Each takes the place of one part (nullptr: the real one); the part comes
  // back at the end as it was when this object first replaced it.
  void set_clock(ClockFn clock) {
    Environment env = take(&clock_);
    env.clock = clock;
    replace_environment(env);
  }
  void set_runner(CommandHook hook, void* context) {
    Environment env = take(&run_);
    env.run = hook;
    env.run_context = context;
    replace_environment(env);
  }
  void set_resolver(ResolverFn resolve) {
    Environment env = take(&resolve_);
    env.resolve = resolve;
    replace_environment(env);
  }
  void set_output(std::FILE* out, std::FILE* err) {
    Environment env = take(&output_);
    env.out = out;
    env.err = err;
    replace_environment(env);
  }

 private:
  // The current environment; the first time a part is taken, saves it.
  Environment take(bool* taken) {
    const Environment now = current_environment();
    if (!*taken) {
      if (taken == &clock_) saved_.clock = now.clock;
      if (taken == &run_) saved_.run = now.run, saved_.run_context = now.run_context;
      if (taken == &resolve_) saved_.resolve = now.resolve;
      if (taken == &output_) saved_.out = now.out, saved_.err = now.err;
      *taken = true;
    }
    return now;
  }

  Environment saved_;
  bool clock_ = false, run_ = false, resolve_ = false, output_ = false;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
