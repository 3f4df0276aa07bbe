// Every entry below a directory, to tell whether a build or a kalvitrex
// command left a tree as it was, or made the same files as another build.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "ziv_run.h"

namespace ziv_test {

// Relative name -> a file's bytes, a link's target ("-> target"), "" for a
// directory; links are not followed. With `status`, each value begins with
// the entry's mode and modification time. Empty when `dir` cannot be read.
inline std::map<std::string, std::string> tree_of(const std::string& dir, bool status = false)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().string();
        struct stat st {};
        lstat(path.c_str(), &st);
        std::string& v = tree[path.substr(dir.size() + 1)];
        if (status) {
            v = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                std::to_string(st.st_mtim.tv_nsec) + " ";
        }
        v += S_ISLNK(st.st_mode) ? "-> " + fs::read_symlink(it->path()).string()
             : S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0 ? read_file(path)
                                                                      : "";
    }
    return tree;
}

}  // namespace ziv_test
