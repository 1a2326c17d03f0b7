// Records, as the command hook, each command the system would run and the bytes of the
// files it uploads (-T <file>, --data-binary @<file>) at the call, and answers like curl:
// the codes on the captured output, the body in the -o file. One recorder at a time.

#ifndef LINKWATCH_TESTS_SUPPORT_COMMAND_RECORDER_H_
#define LINKWATCH_TESTS_SUPPORT_COMMAND_RECORDER_H_

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/notify_config.h"
#include "platform/platform.h"
#include "support/runner.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw::test {

struct RecordedCommand {
  std::vector<std::string> argv;  // program name included
  std::optional<std::string> input;
  std::optional<std::string> mail_file;  // the file after -T, when it exists
  std::optional<std::string> card_file;  // the file after --data-binary @, when it exists
  std::filesystem::perms file_mode = std::filesystem::perms::none;  // of either file
};

class CommandRecorder {
 public:
  CommandRecorder() { env_.set_runner(&CommandRecorder::hook, this); }

  // Exit code of later commands; time each takes before reading the files.
  void set_result(int rc) { result_ = rc; }
  void set_delay_ms(int ms) { delay_ms_ = ms; }
  // What later commands print for -w and write to their -o file. Until set: "250" for a
  // mail, else "200 " and a Telegram-like {"ok":true}.
  void set_answer(const std::string& codes, const std::string& body) {
    std::lock_guard<std::mutex> hold(mutex_);
    answer_ = {codes, body};
  }
  std::vector<RecordedCommand> commands() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return commands_;
  }

 private:
  static int hook(void* context, const Command& command, char* out) {
    auto* self = static_cast<CommandRecorder*>(context);
    RecordedCommand record;
    for (const char* const* arg = command.argv; *arg; ++arg) record.argv.emplace_back(*arg);
    if (command.input) record.input = command.input;
    if (self->delay_ms_ > 0) platform::sleep_ms(static_cast<uint32_t>(self->delay_ms_));
    for (size_t i = 1; i + 1 < record.argv.size(); ++i) {
      std::string name = record.argv[i + 1];
      const bool card = record.argv[i] == "--data-binary" && name.rfind('@', 0) == 0;
      if ((record.argv[i] != "-T" && !card) || !file_exists(name.substr(card))) continue;
      name.erase(0, card);
      (card ? record.card_file : record.mail_file) = read_file(name);
      record.file_mode = std::filesystem::status(name).permissions();
    }
    std::lock_guard<std::mutex> hold(self->mutex_);
    const auto [codes, body] = self->answer_.value_or(
        record.mail_file ? Answer{"250", ""} : Answer{"200 ", R"({"ok":true,"result":{}})"});
    const auto reply = std::find(record.argv.begin(), record.argv.end(), "-o");
    if (reply + 1 < record.argv.end() && file_exists(reply[1])) write_file(reply[1], body);
    if (out) std::snprintf(out, kCaptureBufferSize, "%s", codes.c_str());
    self->commands_.push_back(std::move(record));
    return self->result_;
  }

  using Answer = std::pair<std::string, std::string>;
  std::atomic<int> result_{0}, delay_ms_{0};
  std::optional<Answer> answer_;
  mutable std::mutex mutex_;
  std::vector<RecordedCommand> commands_;
  ScopedEnvironment env_;  // last: given back before the recorder goes
};

// Every channel configured and on (mail only when `mail`); alerts mail to a@x.org, the
// report to alive@x.org, Telegram to chat 42.
inline NotifySettings all_channels(bool mail = true) {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("secret");
  s.to.assign("a@x.org");
  s.iamalive.assign("alive@x.org");
  s.token.assign("1:T");
  s.chat_id.assign("42");
  s.teams_webhook.assign("https://hook.example/t");
  s.email_enabled = mail;
  s.telegram_enabled = s.teams_enabled = 1;
  return s;
}

inline std::vector<std::string> log_messages() {  // log lines without time stamps
  std::vector<std::string> lines;
  std::istringstream text(read_file("linkwatch_log.txt"));
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line.size() >= 22 ? line.substr(22) : line);  // "YYYY-mm-dd HH:MM:SS - "
  }
  return lines;
}

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_COMMAND_RECORDER_H_
