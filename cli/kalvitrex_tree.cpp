#include "kalvitrex_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "kalvitrex_common.h"

namespace kvx {

volatile sig_atomic_t g_tree_stop = 0;

namespace {

void check_stop()
{
    if (g_tree_stop != 0) {
        throw interrupted{};
    }
}

std::string join(const std::string& dir, const std::string& rel) { return rel.empty() ? dir : dir + "/" + rel; }

std::string error_text(int err) { return strerror(err); }

// An owner for a file descriptor.
struct fd_owner {
    int fd = -1;
    explicit fd_owner(int f) : fd(f) {}
    ~fd_owner()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
};

// The names in a directory, sorted; a directory the build left unreadable
// is opened up first (it is ours, a copy).
std::vector<std::string> names_in(const std::string& dir, bool open_up)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr && errno == EACCES && open_up && chmod(dir.c_str(), 0700) == 0) {
        d = opendir(dir.c_str());
    }
    if (d == nullptr) {
        throw user_error("cannot read the directory " + dir + ": " + error_text(errno));
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string link_text(const std::string& path)
{
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) {
            throw user_error("cannot read the link " + path + ": " + error_text(errno));
        }
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

void scan_into(const std::string& root, const std::string& rel, dev_t skip_dev, ino_t skip_ino,
               std::vector<tree_entry>& out)
{
    for (const std::string& name : names_in(join(root, rel), false)) {
        check_stop();
        tree_entry e;
        e.rel = rel.empty() ? name : rel + "/" + name;
        std::string path = join(root, e.rel);
        if (lstat(path.c_str(), &e.st) != 0) {
            if (errno == ENOENT) {
                continue;  // gone meanwhile
            }
            throw user_error("cannot read " + path + ": " + error_text(errno));
        }
        mode_t type = e.st.st_mode & S_IFMT;
        if (type == S_IFDIR && e.st.st_dev == skip_dev && e.st.st_ino == skip_ino) {
            continue;
        }
        if (type == S_IFSOCK || type == S_IFCHR || type == S_IFBLK) {
            continue;
        }
        if (type == S_IFLNK) {
            e.link = link_text(path);
        } else if ((type == S_IFREG || type == S_IFDIR) &&
                   access(path.c_str(), type == S_IFDIR ? R_OK | X_OK : R_OK) != 0) {
            throw user_error("cannot read " + path + ": " + error_text(errno) +
                             " (check copies the whole tree: make it readable, or run check where every file is)");
        }
        out.push_back(e);
        if (type == S_IFDIR) {
            scan_into(root, e.rel, skip_dev, skip_ino, out);
        }
    }
}

[[noreturn]] void copy_failed(int err, const std::string& what, const std::string& to)
{
    if (err == ENOSPC || err == EDQUOT) {
        throw user_error("no space left for the copy of the tree in " + to +
                         " (set TMPDIR to a file system with room for two copies)");
    }
    throw user_error("cannot copy " + what + ": " + error_text(err));
}

void copy_file(const std::string& src, const std::string& dst, const struct stat& st, const std::string& to)
{
    fd_owner in(open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.fd < 0) {
        throw user_error("cannot read " + src + ": " + error_text(errno));
    }
    fd_owner out(open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0) {
        copy_failed(errno, src, to);
    }
    char buf[1 << 16];
    for (;;) {
        ssize_t n = read(in.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            check_stop();
            continue;
        }
        if (n < 0) {
            throw user_error("cannot read " + src + ": " + error_text(errno));
        }
        if (n == 0) {
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out.fd, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno != EINTR) {
                copy_failed(errno, src, to);
            }
            done += w > 0 ? w : 0;
        }
    }
    if (fchmod(out.fd, st.st_mode & 07777) != 0) {
        copy_failed(errno, src, to);
    }
}

// Where a symbolic link of the copy points (see copy_tree).
std::string link_in_copy(const std::string& text, const std::string& rel, const std::string& from,
                         const std::string& to)
{
    auto inside = [&](const std::string& p) {
        return p == from || (p.size() > from.size() && p.compare(0, from.size(), from) == 0 && p[from.size()] == '/');
    };
    if (!text.empty() && text[0] == '/') {
        std::string p = normalize_path(text, "/");
        return inside(p) ? to + p.substr(from.size()) : text;
    }
    size_t slash = rel.rfind('/');
    std::string dir = join(from, slash == std::string::npos ? "" : rel.substr(0, slash));
    std::string p = normalize_path(text, dir);
    return inside(p) ? text : p;
}

void set_times(const std::string& path, const struct stat& st, const copy_plan& plan, const std::string& to)
{
    timespec t[2] = {st.st_atim, st.st_mtim};
    for (timespec& one : t) {
        one.tv_sec += one.tv_sec > plan.shift_after ? plan.time_shift_s : 0;
    }
    if (utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW) != 0) {
        copy_failed(errno, path, to);
    }
}

// Component-wise order, parents first; `reverse` reverses the order of the
// names within each directory.
bool creation_order(const std::string& a, const std::string& b, bool reverse)
{
    size_t i = 0, j = 0;
    for (;;) {
        if (i >= a.size() || j >= b.size()) {
            return i >= a.size() && j < b.size();
        }
        size_t ea = a.find('/', i), eb = b.find('/', j);
        ea = ea == std::string::npos ? a.size() : ea;
        eb = eb == std::string::npos ? b.size() : eb;
        int c = a.compare(i, ea - i, b, j, eb - j);
        if (c != 0) {
            return reverse ? c > 0 : c < 0;
        }
        i = ea + 1;
        j = eb + 1;
    }
}

struct found {
    struct stat st;
    std::string link;
};

void walk_built(const std::string& root, const std::string& rel, std::map<std::string, found>& out)
{
    for (const std::string& name : names_in(join(root, rel), true)) {
        check_stop();
        std::string r = rel.empty() ? name : rel + "/" + name;
        found f;
        std::string path = join(root, r);
        if (lstat(path.c_str(), &f.st) != 0) {
            continue;
        }
        if (S_ISLNK(f.st.st_mode)) {
            f.link = link_text(path);
        }
        bool dir = S_ISDIR(f.st.st_mode);
        out.emplace(r, std::move(f));
        if (dir) {
            walk_built(root, r, out);
        }
    }
}

int open_readable(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EACCES && chmod(path.c_str(), 0600) == 0) {
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        throw user_error("cannot read " + path + ": " + error_text(errno));
    }
    return fd;
}

bool same_contents(const std::string& a, const std::string& b)
{
    fd_owner fa(open_readable(a)), fb(open_readable(b));
    static char ba[1 << 16], bb[1 << 16];
    for (;;) {
        check_stop();
        ssize_t na = read(fa.fd, ba, sizeof ba);
        ssize_t nb = na > 0 ? read(fb.fd, bb, static_cast<size_t>(na)) : read(fb.fd, bb, 1);
        if (na < 0 || nb < 0) {
            throw user_error("cannot read " + (na < 0 ? a : b) + ": " + error_text(errno));
        }
        if (na != nb || memcmp(ba, bb, static_cast<size_t>(na)) != 0) {
            return false;
        }
        if (na == 0) {
            return true;
        }
    }
}

bool after(const timespec& t, const timespec& mark)
{
    return t.tv_sec > mark.tv_sec || (t.tv_sec == mark.tv_sec && t.tv_nsec > mark.tv_nsec);
}

}  // namespace

void remove_tree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    if ((st.st_mode & 0700) != 0700) {
        chmod(path.c_str(), 0700);
    }
    if (DIR* d = opendir(path.c_str())) {
        std::vector<std::string> names;
        while (dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(d);
        for (const std::string& n : names) {
            remove_tree(path + "/" + n);
        }
    }
    rmdir(path.c_str());
}

temp_area::temp_area()
{
    const char* tmp = getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    std::string tmpl = normalize_path(base, "/") + "/kalvitrex-check.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        throw user_error("cannot make a temporary directory in " + base + ": " + error_text(errno) +
                         " (set TMPDIR to a writable place)");
    }
    path_ = tmpl;
}

temp_area::~temp_area()
{
    if (!keep_) {
        remove_tree(path_);
    }
}

std::vector<tree_entry> scan_tree(const std::string& root, dev_t skip_dev, ino_t skip_ino)
{
    std::vector<tree_entry> out;
    scan_into(root, "", skip_dev, skip_ino, out);
    return out;
}

uint64_t tree_bytes(const std::vector<tree_entry>& entries)
{
    uint64_t n = 0;
    for (const tree_entry& e : entries) {
        n += static_cast<uint64_t>(e.st.st_blocks) * 512;
    }
    return n;
}

int64_t file_time_shift(const std::vector<tree_entry>& entries, int64_t build_time)
{
    constexpr int64_t k_day_and_more = 86400 + 3600 + 17;
    int64_t first_later = INT64_MAX;
    for (const tree_entry& e : entries) {
        for (int64_t t : {int64_t{e.st.st_atim.tv_sec}, int64_t{e.st.st_mtim.tv_sec}}) {
            first_later = t > build_time ? std::min(first_later, t) : first_later;
        }
    }
    if (first_later == INT64_MAX) {
        return 0;
    }
    return -std::min(k_day_and_more, first_later - build_time - 1);
}

void copy_tree(const std::vector<tree_entry>& entries, const std::string& from, const std::string& to,
               const copy_plan& plan)
{
    if (mkdir(to.c_str(), 0700) != 0) {
        copy_failed(errno, from, to);
    }
    std::vector<const tree_entry*> order;
    for (const tree_entry& e : entries) {
        order.push_back(&e);
    }
    std::stable_sort(order.begin(), order.end(), [&](const tree_entry* a, const tree_entry* b) {
        return creation_order(a->rel, b->rel, plan.reverse);
    });
    std::vector<const tree_entry*> dirs;
    for (const tree_entry* e : order) {
        check_stop();
        std::string src = join(from, e->rel), dst = join(to, e->rel);
        switch (e->st.st_mode & S_IFMT) {
        case S_IFDIR:
            if (mkdir(dst.c_str(), 0700) != 0) {
                copy_failed(errno, src, to);
            }
            dirs.push_back(e);
            continue;  // mode and times once its entries are in
        case S_IFREG:
            copy_file(src, dst, e->st, to);
            break;
        case S_IFLNK:
            if (symlink(link_in_copy(e->link, e->rel, from, to).c_str(), dst.c_str()) != 0) {
                copy_failed(errno, src, to);
            }
            break;
        case S_IFIFO:
            if (mkfifo(dst.c_str(), e->st.st_mode & 07777) != 0) {
                copy_failed(errno, src, to);
            }
            break;
        default:
            continue;
        }
        set_times(dst, e->st, plan, to);
    }
    // Deepest first: setting a directory's times must come after its last
    // entry is made, and a read-only one after everything below it.
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
        std::string dst = join(to, (*it)->rel);
        if (chmod(dst.c_str(), (*it)->st.st_mode & 07777) != 0) {
            copy_failed(errno, dst, to);
        }
        set_times(dst, (*it)->st, plan, to);
    }
}

tree_comparison compare_trees(const std::string& first, const std::string& second, const timespec& first_mark,
                              const timespec& second_mark)
{
    std::map<std::string, found> a, b;
    walk_built(first, "", a);
    walk_built(second, "", b);
    tree_comparison out;
    // An entry in one tree only is reported once, without what is below it.
    std::set<std::string> gone;
    auto below_gone = [&](const std::string& rel) {
        for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
            if (gone.count(rel.substr(0, slash)) != 0) {
                return true;
            }
        }
        return false;
    };
    for (const auto& [rel, fa] : a) {
        auto it = b.find(rel);
        if (it == b.end()) {
            if (!below_gone(rel)) {
                out.only_first.push_back(rel);
                gone.insert(rel);
            }
            continue;
        }
        const found& fb = it->second;
        if (S_ISDIR(fa.st.st_mode) && S_ISDIR(fb.st.st_mode)) {
            continue;
        }
        bool same = (fa.st.st_mode & S_IFMT) == (fb.st.st_mode & S_IFMT);
        if (same && S_ISLNK(fa.st.st_mode)) {
            same = fa.link == fb.link;
        } else if (same && S_ISREG(fa.st.st_mode)) {
            same = fa.st.st_size == fb.st.st_size && same_contents(join(first, rel), join(second, rel));
        }
        if (!same) {
            out.differing.push_back(rel);
        }
        if (!same || (after(fa.st.st_ctim, first_mark) && after(fb.st.st_ctim, second_mark))) {
            ++out.made_by_both;
        }
    }
    gone.clear();
    for (const auto& [rel, fb] : b) {
        if (a.count(rel) == 0 && !below_gone(rel)) {
            out.only_second.push_back(rel);
            gone.insert(rel);
        }
    }
    return out;
}

}  // namespace kvx
