#include "kalvitrex_common.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx {

namespace {

std::string self_dir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        throw user_error("cannot find the program's own location");
    }
    buf[n] = '\0';
    std::string exe(buf);
    return exe.substr(0, exe.rfind('/'));
}

std::string real(const std::string& path)
{
    char* r = realpath(path.c_str(), nullptr);
    if (r == nullptr) {
        return path;
    }
    std::string out(r);
    free(r);
    return out;
}

}  // namespace

install_layout find_layout()
{
    std::string dir = self_dir();
    if (real(dir) == real(KVX_BUILD_BIN_DIR)) {
        return {KVX_BUILD_LIBRARY, KVX_SOURCE_SCHEMA, KVX_SOURCE_PROFILES};
    }
    std::string lib = normalize_path(std::string(KVX_REL_LIBDIR) + "/libziv_env.so", dir);
    std::string data = normalize_path(KVX_REL_DATADIR, dir);
    return {lib, data + "/ziv_schema.sql", data};
}

std::string counted(long long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string current_dir()
{
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        throw user_error(std::string("cannot read the current directory: ") + strerror(errno));
    }
    std::string out(cwd);
    free(cwd);
    return out;
}

std::string normalize_path(std::string_view path, std::string_view base)
{
    std::string full = !path.empty() && path[0] == '/' ? std::string(path)
                                                       : std::string(base) + "/" + std::string(path);
    std::vector<std::string_view> parts;
    std::string_view rest(full);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (std::string_view p : parts) {
        out += '/';
        out += p;
    }
    return out.empty() ? "/" : out;
}

std::string relative_to(const std::string& path, const std::string& root)
{
    if (root == "/") {
        return path.size() > 1 ? path.substr(1) : path;
    }
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/') {
        return path.substr(root.size() + 1);
    }
    return path;
}

void write_file_atomically(const std::string& path, std::string_view text)
{
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        throw user_error("cannot write " + path + ": " + strerror(errno));
    }
    auto fail = [&](int err) {
        close(fd);
        unlink(tmp.c_str());
        throw user_error("cannot write " + path + ": " + strerror(err));
    };
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
        fail(errno);
    }
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) {
        fail(errno);
    }
    if (close(fd) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        throw user_error("cannot write " + path + ": " + strerror(err));
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        throw user_error("cannot write " + path + ": " + strerror(err));
    }
}

namespace {

// Length of the valid UTF-8 sequence at `s`, or 0 when it is not one.
size_t utf8_length(std::string_view s)
{
    auto c = static_cast<unsigned char>(s[0]);
    size_t n;
    unsigned min;
    if (c < 0x80) {
        return 1;
    } else if ((c & 0xe0) == 0xc0) {
        n = 2;
        min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        n = 3;
        min = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < n) {
        return 0;
    }
    unsigned cp = c & (0x7f >> n);
    for (size_t i = 1; i < n; ++i) {
        auto k = static_cast<unsigned char>(s[i]);
        if ((k & 0xc0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (k & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
        return 0;
    }
    return n;
}

}  // namespace

namespace {

// Quotes `text`: whole UTF-8 sequences are kept as they are, every other
// byte goes through `escape`, which appends it in the format's own way.
template <typename Escape>
std::string quote_utf8(std::string_view text, Escape escape)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8_length(text.substr(i));
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        // A byte that starts no valid sequence (n == 0) is escaped alone.
        escape(out, static_cast<unsigned char>(text[i]), n == 0);
        ++i;
    }
    return out + '"';
}

}  // namespace

std::string json_quote(std::string_view text, bool* not_utf8)
{
    return quote_utf8(text, [not_utf8](std::string& out, unsigned char c, bool invalid) {
        char hex[8];
        if (invalid) {
            if (not_utf8 != nullptr) {
                *not_utf8 = true;
            }
            snprintf(hex, sizeof hex, "\\udc%02x", c);
            out += hex;
            return;
        }
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    });
}

std::string dot_quote(std::string_view text)
{
    return quote_utf8(text, [](std::string& out, unsigned char c, bool invalid) {
        char ent[16];
        if (invalid || ((c < 0x20 || c == 0x7f) && c != '\n')) {
            snprintf(ent, sizeof ent, "&#%u;", c);
            out += ent;
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += static_cast<char>(c);
        }
    });
}

std::vector<std::string> split_command_log(std::string_view log)
{
    std::vector<std::string> args;
    if (log.empty()) {
        return args;
    }
    size_t at = 0;
    for (;;) {
        size_t sp = log.find(' ', at);
        args.emplace_back(log.substr(at, sp == std::string_view::npos ? std::string_view::npos : sp - at));
        if (sp == std::string_view::npos) {
            break;
        }
        at = sp + 1;
    }
    return args;
}

std::string shell_quote(std::string_view arg)
{
    auto plain = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("%+,-./:=@_").find(static_cast<char>(c)) != std::string_view::npos;
    };
    if (!arg.empty() && std::all_of(arg.begin(), arg.end(), plain)) {
        return std::string(arg);
    }
    bool printable = true;
    for (size_t i = 0; i < arg.size() && printable;) {
        auto c = static_cast<unsigned char>(arg[i]);
        size_t n = utf8_length(arg.substr(i));
        printable = n > 0 && c >= 0x20 && c != 0x7f;
        i += n > 0 ? n : 1;
    }
    if (printable) {
        std::string out = "'";
        for (char c : arg) {
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return out + "'";
    }
    std::string out = "$'";
    for (size_t i = 0; i < arg.size();) {
        auto c = static_cast<unsigned char>(arg[i]);
        size_t n = utf8_length(arg.substr(i));
        if (n > 1) {
            out.append(arg.substr(i, n));
            i += n;
            continue;
        }
        char hex[8];
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (n == 0 || c < 0x20 || c == 0x7f) {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "'";
}

std::string shell_command(const std::vector<std::string>& argv)
{
    std::string out;
    for (size_t i = 0; i < argv.size(); ++i) {
        std::string word = shell_quote(argv[i]);
        // A first word with '=' would be read as an assignment.
        if (i == 0 && word == argv[i] && word.find('=') != std::string::npos) {
            word = "'" + word + "'";
        }
        out += (i == 0 ? "" : " ") + word;
    }
    return out;
}

namespace {

constexpr std::string_view k_drivers[] = {
    "gcc", "g++", "cc", "c++", "xcc", "xgcc", "xg++", "gfortran", "f77", "f95",
    "clang", "clang++", "clang.real", "vrnc",
};

bool is_driver_exact(std::string_view name)
{
    for (std::string_view d : k_drivers) {
        if (d == name) {
            return true;
        }
    }
    return false;
}

// "gcc-12", "clang-15.0.1": the name with its "-<digits and dots>" suffix cut.
std::string_view without_version(std::string_view name)
{
    size_t dash = name.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == name.size()) {
        return name;
    }
    for (char c : name.substr(dash + 1)) {
        if ((c < '0' || c > '9') && c != '.') {
            return name;
        }
    }
    return name.substr(0, dash);
}

}  // namespace

std::string tool_base_name(std::string_view program)
{
    std::string_view argv0 = program;
    size_t slash = argv0.rfind('/');
    std::string_view name = slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
    name = without_version(name);
    if (is_driver_exact(name)) {
        return std::string(name);
    }
    size_t dash = name.rfind('-');
    if (dash != std::string_view::npos && is_driver_exact(name.substr(dash + 1))) {
        return std::string(name.substr(dash + 1));
    }
    return std::string(name);
}

bool is_compiler_driver(std::string_view base_name) { return is_driver_exact(base_name); }

}  // namespace kvx
