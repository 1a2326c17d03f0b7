// Validation of the two configuration files behind "-check".

#ifndef LINKWATCH_CONFIG_CHECK_H_
#define LINKWATCH_CONFIG_CHECK_H_

namespace lw {

enum ConfigFileKind { kHostFile = 0, kNotifyFile = 1 };

// Reads `file_name` as a host file (kind 0) or a notification file (any
// other kind), prints one line per problem to standard output (with its line
// number where a line is at fault) and returns 1 when the file passed, else
// 0. Lines beginning "Warning: <file name>" point at what the loaders read
// differently from what the line seems to say (unknown keys, numbers
// replaced by a default, a quote inside a value, a cut line, a repeated host
// block); they do not make the file fail. Changes no file and no setting.
int check_config_file(const char* file_name, int kind);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_CHECK_H_
