#include "config/check.h"

#include <cstdio>
#include <cstring>

#include "config/config_line.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "probe/resolve.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

namespace {

struct HostFileMarks {
  bool interval = false;
  bool fast_retry_interval = false;
  bool workers = false;
  int host_count = 0;
  bool current_has_port = false;
  HostForm current_form = HostForm::kName;
};

struct NotifyFileMarks {
  bool server = false;
  bool email = false;
  bool password = false;
  bool to = false;
  bool token = false;
  bool chat_id = false;
};

// Returns false when the line makes the file fail.
bool check_host_key(const ConfigLine& line, int line_no, HostFileMarks* marks) {
  const char* key = line.key.c_str();
  if (std::strcmp(key, "interval") == 0) {
    marks->interval = true;
  } else if (std::strcmp(key, "fast_retry_interval") == 0) {
    marks->fast_retry_interval = true;
  } else if (std::strcmp(key, "workers") == 0) {
    marks->workers = true;
    int n = to_int(line.value.c_str());
    if (n < 1) {
      plain_print("Line %d: workers must be greater than 0\n", line_no);
      return false;
    }
    if (n > kMaxWorkers) {
      plain_print("Line %d: workers too high, maximum workers:%d\n", line_no, kMaxWorkers);
      return false;
    }
  } else if (std::strcmp(key, "recovercount") == 0) {
    if (parse_recover_count(line.value.c_str()) == 0) {
      plain_print("Line %d: invalid recovercount \"%s\" (use 1 to %d)\n", line_no,
                  line.value.c_str(), kMaxRecoverCount);
      return false;
    }
  } else if (std::strcmp(key, "remind_minutes") == 0) {
    if (parse_remind_minutes(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid remind_minutes \"%s\" (use 0, or %d to %d)\n", line_no,
                  line.value.c_str(), kMinRemindMinutes, kMaxRemindMinutes);
      return false;
    }
  } else if (std::strcmp(key, "group_alerts") == 0) {
    if (parse_group_alerts(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid group_alerts \"%s\" (use 0, or %d to %d)\n", line_no,
                  line.value.c_str(), kMinGroupAlerts, kMaxHosts);
      return false;
    }
  } else if (std::strcmp(key, "netcheck") == 0) {
    NetReference refs[kMaxNetReferences];
    int32_t count = 0;
    if (!parse_netcheck(line.value.c_str(), refs, &count)) {
      plain_print(
          "Line %d: invalid netcheck \"%s\" (use up to %d host:port references, "
          "separated by commas)\n",
          line_no, line.value.c_str(), kMaxNetReferences);
      return false;
    }
  } else if (std::strcmp(key, "status_file") == 0) {
    if (parse_status_file(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid status_file \"%s\" (use 0 or 1)\n", line_no,
                  line.value.c_str());
      return false;
    }
  } else if (std::strcmp(key, "metrics_file") == 0) {
    if (!metrics_file_usable(line.value.c_str())) {
      plain_print("Line %d: invalid metrics_file \"%s\" (use a file name ending in .prom)\n",
                  line_no, line.value.c_str());
      return false;
    }
  } else if (std::strcmp(key, "host") == 0) {
    bool ok = true;
    if (marks->host_count > 0 && !marks->current_has_port) {
      plain_print("Host #%d missing required key: port\n", marks->host_count);
      ok = false;
    }
    ++marks->host_count;
    marks->current_has_port = false;
    marks->current_form = classify_host(line.value.c_str(), nullptr);
    if (marks->current_form == HostForm::kNotAnAddress) {
      plain_print("Line %d: host \"%s\" is neither an IPv4 nor an IPv6 address\n", line_no,
                  line.value.c_str());
      ok = false;
    }
    return ok;
  } else if (std::strcmp(key, "family") == 0) {
    const int family = parse_host_family(line.value.c_str());
    if (family < 0) {
      plain_print("Line %d: invalid family \"%s\" (use 4, 6 or any)\n", line_no,
                  line.value.c_str());
      return false;
    }
    if (marks->host_count > 0 && marks->current_form != HostForm::kNotAnAddress &&
        !family_allows(family, marks->current_form)) {
      plain_print("Line %d: family \"%s\" excludes the IPv%c address of host #%d\n", line_no,
                  line.value.c_str(), marks->current_form == HostForm::kIPv6 ? '6' : '4',
                  marks->host_count);
      return false;
    }
  } else if (std::strcmp(key, "port") == 0) {
    // A port before the first host belongs to no host; its text must still
    // name a port.
    if (marks->host_count > 0) marks->current_has_port = true;
    if (port_number(line.value.c_str()) == 0) {
      plain_print("Line %d: invalid port \"%s\" (use %d to %d)\n", line_no, line.value.c_str(),
                  kLowestPort, kHighestPort);
      return false;
    }
  }
  return true;
}

// Returns false when the line makes the file fail.
bool check_notify_key(const ConfigLine& line, int line_no, NotifyFileMarks* marks) {
  const char* key = line.key.c_str();
  if (std::strcmp(key, "retry_minutes") == 0) {
    if (parse_retry_minutes(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid retry_minutes \"%s\" (use 0 to %d)\n", line_no,
                  line.value.c_str(), kMaxRetryMinutes);
      return false;
    }
  } else if (std::strcmp(key, "heartbeat_url") == 0) {
    // The address is not shown: it may carry the watching service's secret.
    if (!heartbeat_url_usable(line.value.c_str())) {
      plain_print("Line %d: invalid heartbeat_url (use an https:// address)\n", line_no);
      return false;
    }
  } else if (std::strcmp(key, "server") == 0) {
    marks->server = true;
  } else if (std::strcmp(key, "email") == 0) {
    marks->email = true;
  } else if (std::strcmp(key, "password") == 0) {
    marks->password = true;
  } else if (std::strcmp(key, "to") == 0) {
    marks->to = true;
  } else if (std::strcmp(key, "token") == 0) {
    marks->token = true;
  } else if (std::strcmp(key, "chat_id") == 0) {
    marks->chat_id = true;
  }
  return true;
}

int finish_host_file(const HostFileMarks& marks, bool passed) {
  if (!marks.interval) {
    plain_print("Missing key: interval\n");
    passed = false;
  }
  if (!marks.fast_retry_interval) {
    plain_print("Missing key: fast_retry_interval\n");
    passed = false;
  }
  if (!marks.workers) {
    plain_print("Info: workers not set, default workers:%d will be used\n", kDefaultWorkers);
  }
  if (marks.host_count == 0) {
    plain_print("Missing key: host\n");
    return 0;
  }
  if (!marks.current_has_port) {
    plain_print("Host #%d missing required key: port\n", marks.host_count);
    return 0;
  }
  return passed ? 1 : 0;
}

int finish_notify_file(const NotifyFileMarks& marks, bool passed) {
  const struct {
    bool seen;
    const char* name;
  } required[] = {{marks.server, "server"},
                  {marks.email, "email"},
                  {marks.password, "password"},
                  {marks.to, "to"}};
  for (const auto& key : required) {
    if (!key.seen) {
      plain_print("Missing key: %s\n", key.name);
      passed = false;
    }
  }
  if (marks.token && !marks.chat_id) {
    plain_print("Telegram config incomplete: chat_id missing\n");
    return 0;
  }
  if (marks.chat_id && !marks.token) {
    plain_print("Telegram config incomplete: token missing\n");
    return 0;
  }
  return passed ? 1 : 0;
}

}  // namespace

int check_config_file(const char* file_name, int kind) {
  std::FILE* file = file_name ? std::fopen(file_name, "r") : nullptr;
  if (!file) {
    plain_print("File not found: %s\n", file_name ? file_name : "");
    return 0;
  }

  bool passed = true;
  int line_no = 0;
  HostFileMarks host_marks;
  NotifyFileMarks notify_marks;
  FixedText<kConfigLineSize> piece;
  ConfigLine line;

  while (read_config_piece(file, piece.data(), piece.capacity()) > 0) {
    ++line_no;
    if (is_comment_line(piece.c_str())) continue;

    const char* sep = find_config_separator(piece.c_str());
    if (sep && *sep == '=') {
      plain_print("Line %d: '=' is not supported, use ':' instead\n", line_no);
      passed = false;
      continue;
    }
    if (!parse_config_line(piece.c_str(), &line)) {
      plain_print("Line %d: invalid format, expected key : \"value\"\n", line_no);
      passed = false;
      continue;
    }
    if (kind == kHostFile) {
      if (!check_host_key(line, line_no, &host_marks)) passed = false;
    } else {
      if (!check_notify_key(line, line_no, &notify_marks)) passed = false;
    }
  }
  std::fclose(file);

  return kind == kHostFile ? finish_host_file(host_marks, passed)
                           : finish_notify_file(notify_marks, passed);
}

}  // namespace lw
