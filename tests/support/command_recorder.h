// Records the external commands the system would run, in-process, through
// the runner's test seam: argument vector, standard input text, whether
// output is discarded, and the bytes of the channel files at the moment of
// the call. Header-only; one recorder at a time.

#ifndef LINKWATCH_TESTS_SUPPORT_COMMAND_RECORDER_H_
#define LINKWATCH_TESTS_SUPPORT_COMMAND_RECORDER_H_

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw::test {

struct RecordedCommand {
  std::vector<std::string> argv;  // program name included
  std::optional<std::string> input;
  bool discard_output = false;
  std::optional<std::string> mail_file;  // "mailtext.txt" when present
  std::optional<std::string> card_file;  // "teamsmsg.json" when present
};

class CommandRecorder {
 public:
  CommandRecorder() { set_command_hook_for_testing(&CommandRecorder::hook, this); }
  ~CommandRecorder() { set_command_hook_for_testing(nullptr, nullptr); }
  CommandRecorder(const CommandRecorder&) = delete;
  CommandRecorder& operator=(const CommandRecorder&) = delete;

  // Exit code every later command reports (default 0).
  void set_result(int rc) { result_ = rc; }
  // Time every later command takes before it reads the files, to widen
  // race windows.
  void set_delay_ms(uint32_t ms) { delay_ms_ = ms; }

  std::vector<RecordedCommand> commands() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return commands_;
  }

 private:
  static int hook(void* context, const Command& command, char* /*out*/) {
    auto* self = static_cast<CommandRecorder*>(context);
    RecordedCommand record;
    for (const char* const* arg = command.argv; arg && *arg; ++arg) record.argv.emplace_back(*arg);
    if (command.input) record.input = command.input;
    record.discard_output = command.discard_output;
    // The files are read at the end of the run, as late as a real transfer
    // could read them.
    if (self->delay_ms_ > 0) platform::sleep_ms(self->delay_ms_);
    if (file_exists("mailtext.txt")) record.mail_file = read_file("mailtext.txt");
    if (file_exists("teamsmsg.json")) record.card_file = read_file("teamsmsg.json");
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->commands_.push_back(std::move(record));
    return self->result_;
  }

  std::atomic<int> result_{0};
  std::atomic<uint32_t> delay_ms_{0};
  mutable std::mutex mutex_;
  std::vector<RecordedCommand> commands_;
};

// The messages of the log file, one per line, without their time stamps.
inline std::vector<std::string> log_messages() {
  std::vector<std::string> lines;
  std::string text = read_file("linkwatch_log.txt");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "YYYY-mm-dd HH:MM:SS - " is 22 characters.
    lines.push_back(line.size() >= 22 ? line.substr(22) : line);
    start = end + 1;
  }
  return lines;
}

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_COMMAND_RECORDER_H_
