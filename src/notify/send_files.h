// The short-lived files that carry one e-mail or one Teams card to curl,
// and the answer of a web request back from it.
//
// Every send writes its own files in the working folder, named
// "mailtext.<pid>.<n>.txt", "teamsmsg.<pid>.<n>.json", "webhook.<pid>.<n>.txt" or
// "reply.<pid>.<n>.txt" (<n> counts the send files of this process), so
// neither two threads nor two processes sharing the folder ever upload,
// read or delete each other's files.

#ifndef LINKWATCH_NOTIFY_SEND_FILES_H_
#define LINKWATCH_NOTIFY_SEND_FILES_H_

#include <cstddef>
#include <cstdio>

#include "support/fixed_text.h"

namespace lw {

constexpr const char kMailFilePrefix[] = "mailtext";
constexpr const char kMailFileSuffix[] = ".txt";
constexpr const char kCardFilePrefix[] = "teamsmsg";
constexpr const char kCardFileSuffix[] = ".json";
constexpr const char kWebhookFilePrefix[] = "webhook";  // a web hook's body
constexpr const char kWebhookFileSuffix[] = ".txt";
constexpr const char kReplyFilePrefix[] = "reply";
constexpr const char kReplyFileSuffix[] = ".txt";
// The most bytes of an answer that are ever read back.
constexpr size_t kReplyReadBytes = 4096;
// Names taken by other files are skipped; a send gives up after this many.
constexpr int kSendFileNameAttempts = 8;

// One send file: a fresh name on construction, the file deleted (whatever
// the send did) on destruction. Not copyable.
class SendFile {
 public:
  SendFile(const char* prefix, const char* suffix);
  ~SendFile();
  SendFile(const SendFile&) = delete;
  SendFile& operator=(const SendFile&) = delete;

  // Creates the file empty, readable and writable by its owner only, for a
  // program to write into. Returns name(), or null when no free name was
  // found, the file cannot be created or its access cannot be narrowed
  // (nothing is left behind then). Call once.
  const char* reserve();
  // Creates the file as reserve() does and stores the `len` bytes at `data`
  // in it, whole or not at all (platform::append_whole). False when the file
  // cannot be created or the bytes not stored (a full disk). Call once.
  bool write(const char* data, size_t len);
  // The file's name, relative to the working folder.
  const char* name() const { return name_.c_str(); }
  // Reads the first bytes of the file (written by someone else meanwhile)
  // into `out` of `cap` bytes, at most kReplyReadBytes, and terminates it;
  // a NUL byte ends the text early. "" when the file cannot be read.
  void read_start(char* out, size_t cap) const;

 private:
  // Creates the file (see reserve()) and opens it for binary writing.
  std::FILE* create();

  FixedText<64> name_;
  const char* prefix_;
  const char* suffix_;
};

// Removes every send file in the working folder whose <pid> is not a live
// process: what a process ended mid-send left behind. Files of live
// processes, this one included, stay.
void remove_stale_send_files();

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_SEND_FILES_H_
