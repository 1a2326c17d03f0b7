// Stop and reload requests on Windows: the stop and reload events that other
// processes set, the console's control events, and the waits.

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace lw::platform {

std::atomic<bool> serving{false};

namespace {

std::atomic<HANDLE> stop_event{nullptr};
// Manual reset: a wait that sees it set leaves it set for
// take_reload_request, which resets it.
std::atomic<HANDLE> reload_event{nullptr};

// Name of the stop event of process `pid`, through which another process
// asks it to stop in order.
void stop_event_name(uint32_t pid, char* out, size_t cap) {
  std::snprintf(out, cap, "Local\\linkwatch-stop-%lu", static_cast<unsigned long>(pid));
}

// Name of the reload event of process `pid`.
void reload_event_name(uint32_t pid, char* out, size_t cap) {
  std::snprintf(out, cap, "Local\\linkwatch-reload-%lu", static_cast<unsigned long>(pid));
}

// The own event named by `name_of` for this process, kept in `slot` and
// created once; null when it cannot be had.
HANDLE own_event(std::atomic<HANDLE>& slot, void (*name_of)(uint32_t, char*, size_t)) {
  HANDLE event = slot.load();
  if (event) return event;
  char name[64];
  name_of(GetCurrentProcessId(), name, sizeof name);
  HANDLE created = CreateEventA(nullptr, TRUE, FALSE, name);
  if (!created) return nullptr;
  HANDLE expected = nullptr;
  if (!slot.compare_exchange_strong(expected, created)) {
    CloseHandle(created);
    return expected;
  }
  return created;
}

HANDLE reload_handle() { return own_event(reload_event, reload_event_name); }

// Sets the named event of another process; false when it has none.
bool set_event_of_process(const char* name) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return false;
  const bool set = SetEvent(event) != 0;
  CloseHandle(event);
  return set;
}

}  // namespace

HANDLE stop_handle() { return own_event(stop_event, stop_event_name); }

namespace {

// How long the handler of a closing console holds the process: a running
// child's grace and a second to end it and finish.
constexpr DWORD kCloseHoldMs = kStopGraceMs + 1000;

BOOL WINAPI console_control_handler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      request_stop();
      return TRUE;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // A service ignores these: the service manager's controls stop it,
      // and a user's log-off is no reason to.
      if (serving.load()) return TRUE;
      [[fallthrough]];
    case CTRL_CLOSE_EVENT:
      // The process ends as soon as this handler returns; give the main
      // thread a moment to finish its orderly stop first.
      request_stop();
      Sleep(kCloseHoldMs);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

// ---- Orderly stop ----------------------------------------------------------------

void install_stop_handler() {
  stop_handle();
  reload_handle();
  SetConsoleCtrlHandler(console_control_handler, TRUE);
}

void request_stop() {
  if (HANDLE event = stop_handle()) SetEvent(event);
}

bool stop_requested() {
  HANDLE event = stop_handle();
  return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool wait_for_stop(uint32_t ms) {
  HANDLE event = stop_handle();
  if (!event) {
    Sleep(ms);
    return false;
  }
  DWORD limit = ms == INFINITE ? INFINITE - 1 : ms;
  // The reload event exists once install_stop_handler made it; the stop
  // comes first when both are set.
  HANDLE reload = reload_event.load();
  if (!reload) return WaitForSingleObject(event, limit) == WAIT_OBJECT_0;
  HANDLE both[2] = {event, reload};
  return WaitForMultipleObjects(2, both, FALSE, limit) == WAIT_OBJECT_0;
}

void clear_stop_request() {
  if (HANDLE event = stop_handle()) ResetEvent(event);
}

bool take_reload_request() {
  // A request set between the test and the reset joins this series.
  HANDLE event = reload_event.load();
  if (!event || WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return false;
  ResetEvent(event);
  return true;
}

void request_reload() {
  if (HANDLE event = reload_handle()) SetEvent(event);
}

bool request_process_stop(uint32_t pid) {
  char name[64];
  stop_event_name(pid, name, sizeof name);
  return set_event_of_process(name);
}

bool request_process_reload(uint32_t pid) {
  char name[64];
  reload_event_name(pid, name, sizeof name);
  return set_event_of_process(name);
}

}  // namespace lw::platform
