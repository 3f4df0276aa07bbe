// Test support: run real processes with a fully controlled environment and
// capture their output, exit status and what they send to the system log.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ziv_test {

// One datagram received on the private /dev/log.
struct log_record {
  int priority = -1;     // the <N> number (facility|severity); -1 if absent
  std::string ident;     // text before "[pid]: " or ": "
  long pid = -1;         // number inside "[...]"; -1 when the sender gave none
  long sender_pid = -1;  // kernel-reported process id of the sender
  std::string message;   // everything after the header, byte for byte
};

struct run_options {
  std::string exe{};                    // executed with execve, no PATH search
  std::vector<std::string> argv{};      // argv[0] is what the program sees
  std::vector<std::string> env{};       // the complete environment, "K=V"
  std::string cwd{};                    // empty = current directory
  std::string stdin_data{};             // fed to stdin, then stdin is closed
  bool capture_log = false;             // private mount namespace + /dev/log
  int timeout_s = 60;                   // then the whole process tree is killed
};

struct run_result {
  int exit_code = -1;  // -1 unless the process exited normally
  int term_signal = 0;
  bool timed_out = false;
  std::string out, err;
  std::vector<log_record> log;
  // Non-empty when the harness itself could not do what was asked (namespace
  // refused, execve failed, ...). exit_code is then -1 and err says it too.
  std::string harness_error;
};

// The run ends when the started process and every process it left behind
// (they are re-parented to a private reaper) have exited, or at the timeout.
run_result run(const run_options&);

// Whether capture_log can work here; probed once per process.
bool log_capture_available(std::string* why_not = nullptr);

// Sanitizer builds. Every program the harness starts gets the sanitizer
// runtime first in LD_PRELOAD (uninstrumented programs such as gcc or make
// cannot load the instrumented library otherwise) and options that send any
// report to the build's report directory, which a last test checks is empty.
// Tests that build an environment themselves take LD_PRELOAD from
// preload_value(); tests that look at LD_PRELOAD as a program saw it compare
// seen_preload() of it.
bool sanitized_build();
// "LD_PRELOAD=" value for `libraries` (colon-separated, may be empty).
std::string preload_value(const std::string& libraries);
// `value` without the sanitizer runtime the harness put in front; `unset`
// when nothing else was left (the variable would have gone).
std::string seen_preload(const std::string& value, const std::string& unset = "unset");

// Human-readable dump of a result, for assertion messages.
std::string describe(const run_result&);

class temp_dir {
 public:
  temp_dir();  // mkdtemp under $TMPDIR or /tmp
  ~temp_dir();  // recursive removal
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  temp_dir(temp_dir&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Works in `dir` while it lives, then goes back to where it was.
class in_dir {
 public:
  explicit in_dir(const std::string& dir);  // throws std::runtime_error
  ~in_dir();
  in_dir(const in_dir&) = delete;
  in_dir& operator=(const in_dir&) = delete;

 private:
  std::string old_;
};

// Creates the symlink dir/name -> target and returns its path.
std::string make_tool_dir_link(const std::string& dir, const std::string& name,
                               const std::string& target);

// The file's SHA-256 in hex from the system's sha256sum, started without a
// shell so that any name works; "sha256sum failed" otherwise.
std::string sha256_of(const std::string& path);

// Both throw std::runtime_error on failure.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content,
                mode_t mode = 0644);

}  // namespace ziv_test
