// Shared helpers of the kalvitrex front end: errors, install layout, paths,
// atomic output files and the escaping rules of the output formats.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// A failure the user has to act on; main prints "kalvitrex: <what>".
struct user_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the program finds what it needs beside itself: the build tree when it
// runs from there, else the installed layout (../lib, ../share/kalvitrex).
struct install_layout {
    std::string library;  // libziv_env.so
    std::string schema;   // ziv_schema.sql
    std::string profiles; // directory of the shipped profiles (default.profile, ...)
};
install_layout find_layout();

// Lexically normalised absolute path: "." and ".." resolved, no symlinks
// followed. A relative `path` is taken relative to `base` (absolute).
std::string normalize_path(std::string_view path, std::string_view base);
std::string current_dir();
// `path` relative to directory `root` when it lies below it, else unchanged.
std::string relative_to(const std::string& path, const std::string& root);

// "1 entry", "3 entries": a count with its noun in the right number.
std::string counted(long long n, const char* one, const char* many);

// Writes the whole text to a temporary file beside `path` and renames it over
// `path`: readers see the old file or the new one, never half of one.
void write_file_atomically(const std::string& path, std::string_view text);

// JSON string literal (quotes included). A byte that is not part of valid
// UTF-8 is written as the lone surrogate \udcXX of its value XX (the
// "surrogateescape" convention of Python, whose json and os.fsencode give the
// byte back); `not_utf8` is set then.
std::string json_quote(std::string_view text, bool* not_utf8 = nullptr);
// Graphviz double-quoted string: '"' and '\' escaped, '&' as an entity (dot
// reads entities in strings), line ends as \n, non-UTF-8 bytes as entities.
std::string dot_quote(std::string_view text);

// The traced command log separates arguments by one space; this is its
// inverse for arguments without blanks (empty arguments are kept).
std::vector<std::string> split_command_log(std::string_view log);

// One argument as a POSIX shell reads it back: as it is when it holds only
// characters no shell treats specially, else in single quotes; line ends,
// other control characters and bytes that are not UTF-8 in $'...' with
// escapes (bash, zsh, ksh, and POSIX shells since 2024).
std::string shell_quote(std::string_view arg);
// The whole command, each argument quoted where it needs it, separated by
// one blank: pasted into a shell it runs the same argument vector.
std::string shell_command(const std::vector<std::string>& argv);

// Basename of a program (argv[0]) with a cross-tool prefix and a version
// suffix removed: "/usr/bin/x86_64-linux-gnu-gcc-12" -> "gcc".
std::string tool_base_name(std::string_view program);
// Whether that name is a compiler driver (gcc, g++, cc, clang, ...).
bool is_compiler_driver(std::string_view base_name);

}  // namespace kvx
