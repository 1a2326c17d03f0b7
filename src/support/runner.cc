#include "support/runner.h"

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace lw {

namespace {

std::atomic<CommandHook> command_hook{nullptr};
std::atomic<void*> command_hook_context{nullptr};

bool has_program(const Command& command) {
  return command.argv && command.argv[0] && command.argv[0][0] != '\0';
}

struct Capture {
  char* out;
  size_t length;
};

// Stores one read whole when it still fits, else drops it.
void store_chunk(void* context, const char* data, size_t n) {
  Capture* capture = static_cast<Capture*>(context);
  if (capture->length + n + 1 < kCaptureBufferSize) {
    std::memcpy(capture->out + capture->length, data, n);
    capture->length += n;
    capture->out[capture->length] = '\0';
  }
}

int run(const Command& command, char* out, uint32_t time_limit_ms) {
  if (CommandHook hook = command_hook.load()) return hook(command_hook_context.load(), command, out);
  platform::RunSpec spec;
  spec.argv = command.argv;
  spec.input = command.input;
  spec.input_len = command.input ? std::strlen(command.input) : 0;
  spec.discard_output = command.discard_output;
  spec.time_limit_ms = time_limit_ms;
  Capture capture{out, 0};
  if (out) {
    spec.sink = store_chunk;
    spec.sink_context = &capture;
    spec.read_chunk = kCaptureChunk;
  }
  return platform::run_process(spec);
}

}  // namespace

int run_command(const Command& command, uint32_t time_limit_ms, RunStatus* status) {
  if (status) *status = RunStatus::kStartFailed;
  if (!has_program(command)) return -1;
  int rc = run(command, nullptr, time_limit_ms);
  if (status) *status = rc == -1 ? RunStatus::kStartFailed : RunStatus::kExited;
  return rc;
}

int run_command_capture(const Command& command, char* out, uint32_t time_limit_ms,
                        RunStatus* status) {
  if (status) *status = RunStatus::kStartFailed;
  if (out) out[0] = '\0';
  if (!has_program(command) || !out) return -1;
  int rc = run(command, out, time_limit_ms);
  if (rc == -1) out[0] = '\0';  // empty text on every failure
  if (status) *status = rc == -1 ? RunStatus::kStartFailed : RunStatus::kExited;
  return rc;
}

void set_command_hook_for_testing(CommandHook hook, void* context) {
  command_hook_context.store(context);
  command_hook.store(hook);
}

}  // namespace lw
