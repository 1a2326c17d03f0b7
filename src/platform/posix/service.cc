// The system service on POSIX: nothing is registered; the systemd unit text
// for setting it up by hand.

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/bounded_text.h"
#include "platform/platform.h"

namespace lw::platform {

// ---- System service --------------------------------------------------------

// systemd is set up through a unit file, by hand: nothing here talks to it.

ServiceResult install_service(const char*, const char*, const char*, uint32_t* missing,
                              uint32_t* error) {
  if (missing) *missing = 0;
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

ServiceResult uninstall_service(uint32_t* error) {
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

ServiceResult stop_service(uint32_t* error) {
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

ServiceResult reload_service(uint32_t* error) {
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

uint32_t service_pid() { return 0; }

bool serve_as_service(ServiceBody, void*) { return false; }

namespace {

// Appends text to a bounded buffer and remembers whether all of it fitted.
class UnitText {
 public:
  UnitText(char* out, size_t cap) : out_(out), cap_(cap) { copy_bounded(out, cap, ""); }
  bool ok() const { return ok_; }
  void put(const char* text) {
    const size_t want = std::strlen(out_) + std::strlen(text);
    if (append_bounded(out_, cap_, text) != want) ok_ = false;
  }
  // `text` with '%' (the specifier mark) doubled, and with `exec`, as
  // ExecStart= reads it: '$' doubled and '"' escaped.
  void put_unit_value(const char* text, bool exec) {
    for (const char* p = text; *p; ++p) {
      const bool doubled = *p == '%' || (exec && *p == '$');
      const bool escaped = exec && *p == '"';
      char one[3] = {escaped ? '\\' : *p, doubled || escaped ? *p : '\0', '\0'};
      put(one);
    }
  }
  // `text` as one shell word: as it is when plain, else in single quotes.
  void put_shell_word(const char* text) {
    const bool plain =
        text[0] != '\0' && std::strspn(text,
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnop"
                                       "qrstuvwxyz0123456789/._-+@:,=") == std::strlen(text);
    if (plain) return put(text);
    put("'");
    for (const char* p = text; *p; ++p) {
      const char one[2] = {*p, '\0'};
      put(*p == '\'' ? "'\\''" : one);
    }
    put("'");
  }

 private:
  char* out_;
  size_t cap_;
  bool ok_ = true;
};

// A path that a unit line can hold: absolute, no control bytes (a line
// break would end the setting) and no backslash (a line continuation or
// escape in unit files).
bool unit_path(const char* path) {
  if (!path || path[0] != '/') return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
    if (*p < 0x20 || *p == 0x7f || *p == '\\') return false;
  }
  return true;
}

// A user name or number as systemd's User= takes it.
bool unit_account(const char* account) {
  if (account[0] == '\0' || account[0] == '-') return false;
  return std::strspn(account,
                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-@") ==
         std::strlen(account);
}

// The name of the effective user; false for root (whose unit needs no
// User= line) and when it cannot be read.
bool effective_user(char* out, size_t cap) {
  const uid_t uid = geteuid();
  if (uid == 0) return false;
  struct passwd entry;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &entry, buf, sizeof buf, &found) != 0 || !found || !found->pw_name) {
    return false;
  }
  return copy_bounded(out, cap, found->pw_name) > 0;
}

}  // namespace

bool manual_service_setup(const char* exe, const char* folder, const char* account, char* out,
                          size_t cap) {
  if (!out || cap == 0) return false;
  out[0] = '\0';
  char user[256] = "";
  if (account && account[0] != '\0') {
    if (!unit_account(account)) return false;
    copy_bounded(user, sizeof user, account);
  } else if (!effective_user(user, sizeof user) || !unit_account(user)) {
    user[0] = '\0';
  }
  if (!unit_path(exe) || !unit_path(folder)) return false;

  UnitText text(out, cap);
  text.put("# linkwatch.service: runs linkwatch -s in ");
  text.put(folder);
  text.put(user[0] ? " as " : " as root");
  text.put(user);
  // ExecStart= is this program's own path, which is a build folder when it
  // runs from there: the comment says which program the unit should name.
  text.put(
      ".\n# ExecStart names the program that printed this unit: print it with the\n"
      "# installed program (after cmake --install: /usr/local/bin/linkwatch),\n"
      "# not with a copy in a build folder.\n"
      "# A system user of its own that owns the folder is best:\n"
      "#   sudo useradd --system --no-create-home --shell /usr/sbin/nologin ");
  const char* service_user = account && account[0] != '\0' ? account : "linkwatch";
  text.put_shell_word(service_user);
  text.put("\n#   sudo chown -R ");
  text.put_shell_word(service_user);
  text.put(": ");
  text.put_shell_word(folder);
  if (!account || account[0] == '\0') {
    text.put("\n# and name it after -install: linkwatch -install linkwatch");
  }
  text.put("\n# Install and start it:\n#   cd ");
  text.put_shell_word(folder);
  text.put("\n#   ");
  text.put_shell_word(exe);
  text.put(" -install");
  if (account && account[0] != '\0') {
    text.put(" ");
    text.put(account);
  }
  text.put(
      " | sudo tee /etc/systemd/system/linkwatch.service\n"
      "#   sudo systemctl daemon-reload\n"
      "#   sudo systemctl enable --now linkwatch\n"
      "# Check it: systemctl status linkwatch (and linkwatch -status in that folder).\n"
      "[Unit]\n"
      "Description=linkwatch TCP service monitor\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n");
  if (user[0]) {
    text.put("User=");
    text.put(user);
    text.put("\n");
  }
  text.put("WorkingDirectory=");
  text.put_unit_value(folder, false);
  text.put("\nExecStart=\"");
  text.put_unit_value(exe, true);
  text.put(
      "\" -s\n"
      "# \"systemctl reload linkwatch\" re-reads both files, as \"linkwatch -reload\" does.\n"
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      "# The stop request goes to linkwatch alone; it ends its own children.\n"
      "KillMode=mixed\n"
      "TimeoutStopSec=30\n"
      "Restart=on-failure\n"
      "RestartSec=60\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n");
  if (!text.ok()) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool manual_service_removal(char* out, size_t cap) {
  copy_bounded(out, cap,
               "sudo systemctl disable --now linkwatch\n"
               "sudo rm /etc/systemd/system/linkwatch.service\n"
               "sudo systemctl daemon-reload\n");
  return true;
}

}  // namespace lw::platform
