#include "probe/ping_probe.h"

#include <cstring>

#include "platform/platform.h"
#include "support/runner.h"

namespace lw {

namespace {

bool has_reply_marker(const char* output) {
  return std::strstr(output, "TTL=") || std::strstr(output, "ttl=") ||
         std::strstr(output, "Reply from");
}

}  // namespace

int probe_ping(const char* host, int32_t* answered) {
  if (answered) *answered = 0;
  // Nothing to ping; a leading "-" would reach ping as an option, not a host.
  if (!host || host[0] == '\0' || host[0] == '-') return 0;

  const char* const argv[] = {"ping",
                              platform::kPingOptions[0],
                              platform::kPingOptions[1],
                              platform::kPingOptions[2],
                              platform::kPingOptions[3],
                              host,
                              nullptr};
  Command command;
  command.argv = argv;

  int count = 0;
  for (int attempt = 0; attempt < kPingAttempts; ++attempt) {
    char output[kCaptureBufferSize];
    const int rc = run_command_capture(command, output, kPingAttemptLimitMs);
    if (rc == 0 && has_reply_marker(output)) ++count;
  }
  if (answered) *answered = count;
  return count;
}

}  // namespace lw
