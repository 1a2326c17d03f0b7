#include "support/runner.h"

#include <cstring>

#include "platform/platform.h"
#include "support/environment.h"

namespace lw {

namespace {

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

RunStatus status_of(platform::RunEnd end) {
  switch (end) {
    case platform::RunEnd::kExited:
      return RunStatus::kExited;
    case platform::RunEnd::kTimedOut:
      return RunStatus::kTimedOut;
    case platform::RunEnd::kStopped:
      return RunStatus::kStopped;
    case platform::RunEnd::kStartFailed:
      break;
  }
  return RunStatus::kStartFailed;
}

// Runs `command` (output into `out` when given) and reports how it ended.
int run(const Command& command, char* out, uint32_t time_limit_ms, RunStatus* status) {
  const Environment env = current_environment();
  if (env.run) {
    const int rc = env.run(env.run_context, command, out);
    *status = rc == -1 ? RunStatus::kStartFailed : RunStatus::kExited;
    return rc;
  }
  platform::RunRequest request;
  request.argv = command.argv;
  request.input = command.input;
  request.input_len = command.input ? std::strlen(command.input) : 0;
  request.discard_output = command.discard_output;
  request.time_limit_ms = time_limit_ms;
  Capture capture{out, 0};
  if (out) {
    request.sink = store_chunk;
    request.sink_context = &capture;
    request.read_chunk = kCaptureChunk;
  }
  platform::RunEnd end = platform::RunEnd::kStartFailed;
  const int rc = platform::run_process(request, &end);
  *status = status_of(end);
  return rc;
}

}  // namespace

int run_command(const Command& command, uint32_t time_limit_ms, RunStatus* status) {
  RunStatus ignored;
  if (!status) status = &ignored;
  *status = RunStatus::kStartFailed;
  if (!has_program(command)) return -1;
  return run(command, nullptr, time_limit_ms, status);
}

int run_command_capture(const Command& command, char* out, uint32_t time_limit_ms,
                        RunStatus* status) {
  RunStatus ignored;
  if (!status) status = &ignored;
  *status = RunStatus::kStartFailed;
  if (out) out[0] = '\0';
  if (!has_program(command) || !out) return -1;
  const int rc = run(command, out, time_limit_ms, status);
  if (rc == -1) out[0] = '\0';  // empty text on every failure
  return rc;
}

}  // namespace lw
