// Whole directory trees for `check`: a temporary area that removes itself,
// copies of the user's tree made in a chosen order with chosen file times,
// and the comparison of two built trees.
#pragma once

#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

// Set by a signal handler: long loops stop at the next entry and throw.
extern volatile sig_atomic_t g_tree_stop;

// Thrown when g_tree_stop was seen.
struct interrupted {};

// Removes a tree without following symbolic links, making directories
// writable and searchable on the way (a build may leave them read-only).
// Errors are ignored: what cannot be removed stays.
void remove_tree(const std::string& path);

// A new directory "<TMPDIR or /tmp>/kalvitrex-check.XXXXXX", removed with
// everything in it when the owner goes, unless keep() was called.
class temp_area {
public:
    temp_area();
    ~temp_area();
    temp_area(const temp_area&) = delete;
    temp_area& operator=(const temp_area&) = delete;
    const std::string& path() const { return path_; }
    void keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
};

struct tree_entry {
    std::string rel;  // path below the tree's top, "" for the top itself
    struct stat st;
    std::string link;  // a symbolic link's text
};

// Every entry of the tree at `root`, parents before children, names sorted
// bytewise; the directory `skip` (by device and inode; 0 for none) and
// everything below it is left out. Sockets and device files are left out
// too (a build cannot use a copy of them). Unreadable files and
// directories are an error naming them: the copy would not be the tree.
std::vector<tree_entry> scan_tree(const std::string& root, dev_t skip_dev, ino_t skip_ino);

// Bytes the entries take on disk.
uint64_t tree_bytes(const std::vector<tree_entry>& entries);

struct copy_plan {
    bool reverse = false;      // create the entries of each directory in reverse order
    int64_t time_shift_s = 0;  // added to every access and modification time after...
    int64_t shift_after = 0;   // ...this one (seconds)
};

// How far the second copy moves the times after `build_time`: back by about
// a day, or less so that none comes to or before the build time; 0 when no
// time is after it. Times after the build time are what a checkout or an
// unpacking gives, and differ from one to the next; earlier ones came with
// the sources (a release tarball, a Debian source package), and packagers
// keep them, clamping only the later ones to the build time. Moving the
// later ones together, and not past the build time, keeps the order of all
// the times, so make decides alike.
int64_t file_time_shift(const std::vector<tree_entry>& entries, int64_t build_time);

// Copies the scanned tree of `from` to `to` (which must not exist): file
// contents, modes, symbolic links and fifos. A symbolic link into the tree,
// absolute or relative, points into the copy; a relative link that leaves
// the tree points, absolute, where it did. Throws user_error (out of disk
// space, unreadable file) or interrupted.
void copy_tree(const std::vector<tree_entry>& entries, const std::string& from, const std::string& to,
               const copy_plan& plan);

struct tree_comparison {
    std::vector<std::string> differing;  // in both trees, other contents or another kind of file
    std::vector<std::string> only_first, only_second;
    size_t made_by_both = 0;  // in both trees and changed by both builds (or differing)
};

// Compares two built copies of one tree. `first_mark` and `second_mark` are
// change times taken just before each build: an entry changed later was
// made or changed by the build. Directories are compared as being there or
// not; an entry present in one tree only is reported, not what is below.
tree_comparison compare_trees(const std::string& first, const std::string& second, const timespec& first_mark,
                              const timespec& second_mark);

}  // namespace kvx
