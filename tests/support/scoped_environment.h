// Replaces parts of the process's environment (support/environment) for the life of the object;
// afterwards the parts it replaced are as they were before it, whatever else changed meanwhile.

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
    for (int part = 0; part < kParts; ++part)
      if (taken_[part]) copy(part, saved_, &env);
    replace_environment(env);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  // Each replaces one part (nullptr: the real one) until the end of this object.
  void set_clock(ClockFn clock) {
    set(0, [&](Environment* e) { e->clock = clock; });
  }
  void set_runner(CommandHook hook, void* context) {
    set(1, [&](Environment* e) { e->run = hook, e->run_context = context; });
  }
  void set_resolver(ResolverFn resolve) {
    set(2, [&](Environment* e) { e->resolve = resolve; });
  }
  void set_output(std::FILE* out, std::FILE* err) {
    set(3, [&](Environment* e) { e->out = out, e->err = err; });
  }

 private:
  static constexpr int kParts = 4;  // clock, runner, resolver, output
  static void copy(int part, const Environment& from, Environment* to) {
    if (part == 0) to->clock = from.clock;
    if (part == 1) to->run = from.run, to->run_context = from.run_context;
    if (part == 2) to->resolve = from.resolve;
    if (part == 3) to->out = from.out, to->err = from.err;
  }
  template <typename Change>
  void set(int part, Change change) {
    Environment env = current_environment();
    if (!taken_[part]) copy(part, env, &saved_), taken_[part] = true;
    change(&env);
    replace_environment(env);
  }

  Environment saved_;
  bool taken_[kParts] = {};
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
