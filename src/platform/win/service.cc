// The system service on Windows: registering, stopping and removing it with
// the service control manager, and running as the service.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/bounded_text.h"
#include "platform/platform.h"
#include "platform/win/internal.h"

namespace lw::platform {

namespace {

char kServiceName[] = "linkwatch";
constexpr char kServiceDisplayName[] = "linkwatch TCP service monitor";
char kServiceDescription[] = "Checks TCP services and sends alerts by e-mail, Telegram and Teams.";
// After a failure the service manager starts the service again after this
// long; the count of failures is forgotten after a day without one.
constexpr DWORD kRestartDelayMs = 60000;
constexpr DWORD kFailureResetSeconds = 24 * 3600;
// How often a stop wait asks for the service's state.
constexpr DWORD kServicePollMs = 100;

ServiceResult failed(uint32_t* error) {
  const DWORD code = GetLastError();
  if (error) *error = code;
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return ServiceResult::kNoRights;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return ServiceResult::kNotInstalled;
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      return ServiceResult::kExists;
    default:
      return ServiceResult::kFailed;
  }
}

// A service manager handle closed at the end of its scope.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  void reset(SC_HANDLE handle) {
    if (handle_) CloseServiceHandle(handle_);
    handle_ = handle;
  }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

// The state and process of `service`; false when it cannot be asked.
bool query_service(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                              sizeof *status, &needed) != 0;
}

// Asks `service` to stop and waits up to kServiceStopWaitMs until it has.
ServiceResult stop_and_wait(SC_HANDLE service, uint32_t* error) {
  SERVICE_STATUS status;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_NOT_ACTIVE) return ServiceResult::kNotRunning;
    // One that is already stopping is waited for like one just asked.
    if (code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return failed(error);
  }
  const uint64_t deadline = monotonic_ms() + kServiceStopWaitMs;
  for (;;) {
    SERVICE_STATUS_PROCESS state;
    if (!query_service(service, &state)) return failed(error);
    if (state.dwCurrentState == SERVICE_STOPPED) return ServiceResult::kDone;
    if (monotonic_ms() >= deadline) return ServiceResult::kTimedOut;
    Sleep(kServicePollMs);
  }
}

// Opens the service with `access`; `*result` tells why when it cannot.
SC_HANDLE open_service(DWORD access, ScHandle* manager, ServiceResult* result, uint32_t* error) {
  if (error) *error = 0;
  manager->reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!*manager) {
    *result = failed(error);
    return nullptr;
  }
  SC_HANDLE service = OpenServiceA(manager->get(), kServiceName, access);
  if (!service) *result = failed(error);
  return service;
}

// Whether a refused ChangeServiceConfig2 means that the service manager
// does not know that setting, rather than that the call went wrong.
bool unknown_setting() {
  const DWORD code = GetLastError();
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_LEVEL ||
         code == ERROR_CALL_NOT_IMPLEMENTED;
}

// The service's settings beyond CreateService's: its description, the
// restart after a failure and, where the service manager knows them, the
// delayed automatic start and the restart also after an exit with an
// error code; those it does not know are added to `*missing`.
bool configure_service(SC_HANDLE service, uint32_t* missing) {
  SERVICE_DESCRIPTIONA description = {kServiceDescription};
  SC_ACTION restart = {SC_ACTION_RESTART, kRestartDelayMs};
  SERVICE_FAILURE_ACTIONSA actions;
  std::memset(&actions, 0, sizeof actions);
  actions.dwResetPeriod = kFailureResetSeconds;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description) ||
      !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
    return false;
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) {
    if (!unknown_setting()) return false;
    *missing |= kServiceDelayedStart;
  }
  SERVICE_FAILURE_ACTIONS_FLAG on_exit_code = {TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code)) {
    if (!unknown_setting()) return false;
    *missing |= kServiceRestartOnExitCode;
  }
  return true;
}

// ---- The service's own side ----

ServiceBody service_body = nullptr;
void* service_context = nullptr;
SERVICE_STATUS_HANDLE status_handle = nullptr;
std::mutex status_mutex;
SERVICE_STATUS service_status;

// Reports `state` to the service manager. A pending state counts its
// reports, as the manager expects; `exit_code` matters for the stopped one.
void report_state(DWORD state, int exit_code = 0) {
  std::lock_guard<std::mutex> hold(status_mutex);
  // Once stopping, a late report of running would undo the stop.
  if (state == SERVICE_RUNNING && service_status.dwCurrentState == SERVICE_STOP_PENDING) return;
  service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service_status.dwCurrentState = state;
  service_status.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
          : 0;
  service_status.dwWin32ExitCode = exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  service_status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
  const bool pending = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING;
  service_status.dwCheckPoint = pending ? service_status.dwCheckPoint + 1 : 0;
  service_status.dwWaitHint = pending ? kServiceStopWaitMs : 0;
  SetServiceStatus(status_handle, &service_status);
}

DWORD WINAPI service_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report_state(SERVICE_STOP_PENDING);
      request_stop();
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      request_reload();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPSTR*) {
  status_handle = RegisterServiceCtrlHandlerExA(kServiceName, service_control, nullptr);
  if (!status_handle) return;
  report_state(SERVICE_RUNNING);
  const int code = service_body(service_context);
  report_state(SERVICE_STOPPED, code);
}

}  // namespace

ServiceResult install_service(const char* folder, const char* account, const char* password,
                              uint32_t* missing, uint32_t* error) {
  if (error) *error = 0;
  uint32_t not_taken = 0;
  char exe[kCommandLineCap];
  char buf[kCommandLineCap];
  CommandLine line(buf, sizeof buf);
  if (!folder || folder[0] == '\0' || !own_executable_path(exe, sizeof exe)) {
    return ServiceResult::kFailed;
  }
  line.put_program(exe);
  line.put_argument("-service");
  line.put_argument(folder);
  if (!line.ok()) return ServiceResult::kFailed;

  // A bare account name is a local account; LocalSystem is the default.
  char user[512] = "";
  if (account && account[0] != '\0' && _stricmp(account, "LocalSystem") != 0) {
    const bool qualified = std::strpbrk(account, "\\@") != nullptr;
    std::snprintf(user, sizeof user, "%s%s", qualified ? "" : ".\\", account);
  }
  ScHandle manager(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return failed(error);
  ScHandle service(CreateServiceA(
      manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr,
      nullptr, nullptr, user[0] ? user : nullptr, user[0] && password ? password : nullptr));
  if (!service) return failed(error);
  if (!configure_service(service.get(), &not_taken)) {
    // Half a registration would start without its restart rule: none at all.
    const ServiceResult result = failed(error);
    DeleteService(service.get());
    return result;
  }
  if (missing) *missing = not_taken;
  return ServiceResult::kDone;
}

ServiceResult uninstall_service(uint32_t* error) {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(
      open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, &manager, &result, error));
  if (!service) return result;
  result = stop_and_wait(service.get(), error);
  if (result != ServiceResult::kDone && result != ServiceResult::kNotRunning) return result;
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return failed(error);
  }
  return ServiceResult::kDone;
}

ServiceResult stop_service(uint32_t* error) {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(open_service(SERVICE_STOP | SERVICE_QUERY_STATUS, &manager, &result, error));
  if (!service) return result;
  return stop_and_wait(service.get(), error);
}

ServiceResult reload_service(uint32_t* error) {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(open_service(SERVICE_PAUSE_CONTINUE, &manager, &result, error));
  if (!service) return result;
  SERVICE_STATUS status;
  if (ControlService(service.get(), SERVICE_CONTROL_PARAMCHANGE, &status)) {
    return ServiceResult::kDone;
  }
  if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) return ServiceResult::kNotRunning;
  return failed(error);
}

uint32_t service_pid() {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(open_service(SERVICE_QUERY_STATUS, &manager, &result, nullptr));
  SERVICE_STATUS_PROCESS state;
  if (!service || !query_service(service.get(), &state)) return 0;
  return state.dwCurrentState == SERVICE_STOPPED ? 0 : state.dwProcessId;
}

bool serve_as_service(ServiceBody body, void* context) {
  if (!body) return false;
  service_body = body;
  service_context = context;
  serving.store(true);
  SERVICE_TABLE_ENTRYA table[] = {{kServiceName, service_main}, {nullptr, nullptr}};
  // Runs service_main on a thread of its own and returns once it ended;
  // fails at once in a process the service manager did not start.
  if (!StartServiceCtrlDispatcherA(table)) {
    serving.store(false);
    return false;
  }
  return true;
}

bool manual_service_setup(const char*, const char*, const char*, char* out, size_t cap) {
  copy_bounded(out, cap, "");
  return false;
}

bool manual_service_removal(char* out, size_t cap) {
  copy_bounded(out, cap, "");
  return false;
}

}  // namespace lw::platform
