// The program's entry: the command line, the side commands it dispatches and
// the fall-through into the monitoring run.

#ifndef LINKWATCH_APP_ENTRY_H_
#define LINKWATCH_APP_ENTRY_H_

namespace lw {

// Starts the socket library, scans the arguments after the program name in
// order and runs the first command found ("-status", "-stop", "-reload", "-h",
// "--help", "-check", "-test", "-mute", "-unmute", "-start", "-install",
// "-uninstall", "-service", compared whole and case-sensitive), returning
// its exit code; later arguments are not looked at, except the account and
// password after "-install", the folder after "-service" and the target,
// duration and reason after "-mute" and "-unmute". "-s" switches
// silent mode on; anything else is ignored. Without a command the monitoring
// run follows. Returns the process exit code.
int run_entry(int argc, char** argv);

// The banner "\nLINKWATCH <system> Version 1.0 from <address>\n\n", printed
// unconditionally.
void print_banner();

// "-h" / "--help": the usage text with `program` as given. Touches no file.
void print_usage(const char* program);

// "-check": validates both configuration files and prints the result.
// Returns 0 when both passed, else 1.
int check_files_command();

// "-test": loads both configuration files into the process-wide tables and
// sends the test message. Returns 1 when the host file is missing, else the
// test's result (0 when at least one channel succeeded).
int test_command();

}  // namespace lw

#endif  // LINKWATCH_APP_ENTRY_H_
