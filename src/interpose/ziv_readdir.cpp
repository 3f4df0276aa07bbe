// Directory streams in a stable order: a listed program reads the whole
// directory once, gets the names in ascending byte order, never a name whose
// file has gone by its turn, and, after the first listing, the names that
// appeared meanwhile.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iterator>
#include <pthread.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_interpose.h"
#include "ziv_list_sort.h"
#include "ziv_log.h"
#include "ziv_stat.h"
#include "ziv_symbols.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// On this platform both entry structures are the same record; one stored
// copy serves either.
static_assert(sizeof(struct dirent) == sizeof(struct dirent64));
static_assert(offsetof(struct dirent, d_name) == offsetof(struct dirent64, d_name));
static_assert(offsetof(struct dirent, d_reclen) == offsetof(struct dirent64, d_reclen));

// One name read from the directory.
struct ziv_dir_ent {
    ziv_dir_ent* next;
    uint32_t deleted;  // passed over because its file had gone
    union {
        struct dirent ent;
        struct dirent64 ent64;
    };
};

// One stream read with the feature on.
struct ziv_dir_state {
    int fd;
    DIR* stream;  // with fd, the key: a stream left open must not be taken for a later one
    char path[ZIV_PATH_SIZE + 1];
    ziv_dir_ent* cur;   // last handed out or passed over; null before the first and after the end
    ziv_dir_ent* head;  // in hand-out order
    ziv_dir_state* next;
};

extern "C" {

// The process-wide list of stream records, newest first, and its lock.
ZIV_EXPORT pthread_mutex_t g_ziv_mutex_r = PTHREAD_MUTEX_INITIALIZER;
ZIV_EXPORT ziv_dir_state* g_ziv_search_dir = nullptr;

}  // extern "C"

namespace {

template <typename Ent>
Ent& ziv_entry_of(ziv_dir_ent* node);
template <>
struct dirent& ziv_entry_of<struct dirent>(ziv_dir_ent* node)
{
    return node->ent;
}
template <>
struct dirent64& ziv_entry_of<struct dirent64>(ziv_dir_ent* node)
{
    return node->ent64;
}

const char* ziv_name_of(const ziv_dir_ent* node) { return node->ent.d_name; }

template <typename T>
inline T* ziv_opaque(T* pointer)
{
    asm("" : "+r"(pointer));
    return pointer;
}

// Held for the whole of a listed program's directory call, so that a fork
// on another thread always finds the records whole.
class ziv_dir_lock : public ziv_lock_hold {
public:
    ziv_dir_lock() : ziv_lock_hold(g_ziv_mutex_r) {}
};

const char* ziv_short_name()
{
    const char* name = program_invocation_short_name;
    return name != nullptr ? name : "";
}

// The next definition of a read function; a stream cannot be read without
// it, so its absence ends the process.
template <typename Fn>
Fn ziv_dir_next_definition(Fn& slot, const char* symbol)
{
    if (slot == nullptr) {
        dlerror();
        ziv_lazy(slot, symbol);
        if (slot == nullptr) {
            const char* error = dlerror();
            puts(error != nullptr ? error : symbol);
            exit(-1);
        }
    }
    return slot;
}

void ziv_release_dirs(DIR* stream, int fd);

// By name bytes; on equal names the right one goes first.
ziv_dir_ent* ziv_sort(ziv_dir_ent* head)
{
    return ziv_list_sort(head, [](const ziv_dir_ent* left, const ziv_dir_ent* right) {
        return std::strcmp(ziv_name_of(left), ziv_name_of(right)) < 0;
    });
}

int ziv_compare_names(const void* a, const void* b)
{
    return std::strcmp(ziv_name_of(*static_cast<ziv_dir_ent* const*>(a)),
                       ziv_name_of(*static_cast<ziv_dir_ent* const*>(b)));
}

}  // namespace

extern "C" {

ZIV_EXPORT void ziv_free_ent(ziv_dir_ent* list)
{
    while (list != nullptr) {
        ziv_dir_ent* next = list->next;
        free(list);
        list = next;
    }
}

ZIV_EXPORT ziv_dir_ent* ziv_remove_ent(ziv_dir_ent* list, ziv_dir_ent* entry)
{
    if (list == entry) {
        return list->next;
    }
    for (ziv_dir_ent* p = list; p != nullptr; p = p->next) {
        if (p->next == entry) {
            p->next = entry->next;
            break;
        }
    }
    return list;
}

ZIV_EXPORT void ziv_concat_list(ziv_dir_ent** destination, ziv_dir_ent** source)
{
    ziv_dir_ent** tail = destination;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = *source;
    *source = nullptr;
}

// The caller holds g_ziv_mutex_r.
ZIV_EXPORT ziv_dir_state* ziv_get_cur_dir(DIR* stream, int fd)
{
    for (ziv_dir_state* p = g_ziv_search_dir; p != nullptr; p = p->next) {
        if (p->fd == fd && p->stream == stream) {
            return p;
        }
    }
    return nullptr;
}

// The link text of a descriptor, for messages, into a buffer of `size`
// bytes; empty when unreadable.
ZIV_EXPORT void ziv_get_fd_name(int fd, char* buffer, size_t size)
{
    ziv_errno_guard keep;
    buffer[0] = '\0';
    char link[32];
    int err = sprintf_s(link, sizeof link, "/proc/self/fd/%d", fd);
    if (err < 0) {
        ziv_log(LOG_INFO, "sprintf_s failed, err = %d, function %s line %d\n", err, "ziv_get_fd_name", __LINE__);
        return;
    }
    ssize_t length = readlink(link, buffer, size - 1);
    if (length < 0) {
        ziv_log(LOG_INFO, "readlink failed,err = %s, function %s line %d\n", strerror(errno), "ziv_get_fd_name",
                __LINE__);
        length = 0;
    }
    buffer[length] = '\0';
}

// The directory's absolute path, kept with the record for messages.
ZIV_EXPORT void ziv_get_dir_path(char* path, int fd)
{
    if (fd < 0) {
        return;
    }
    ziv_errno_guard keep;
    char link[255];
    int err = sprintf_s(link, sizeof link, "/proc/self/fd/%d", fd);
    if (err < 0) {
        ziv_log(LOG_INFO, "sprintf_s failed, err = %d, function %s line %d\n", err, "ziv_get_dir_path", __LINE__);
        return;
    }
    if (readlink(link, path, ZIV_PATH_SIZE) < 0) {
        ziv_log(LOG_INFO, "readlink failed,err = %s, function %s line %d\n", strerror(errno), "ziv_get_dir_path",
                __LINE__);
    }
}

ZIV_EXPORT ziv_dir_state* ziv_init_dir(int fd)
{
    auto* record = static_cast<ziv_dir_state*>(malloc(sizeof(ziv_dir_state)));
    if (record == nullptr) {
        return nullptr;
    }
    int err = memset_s(record->path, sizeof record->path, 0, sizeof record->path);
    if (err != EOK) {
        ZIV_LOG_FAILED("memset_s", err);
    }
    record->fd = fd;
    record->stream = nullptr;
    ziv_get_dir_path(record->path, fd);
    record->path[ZIV_PATH_SIZE] = '\0';
    record->cur = nullptr;
    record->head = nullptr;
    record->next = nullptr;
    return record;
}

ZIV_EXPORT ziv_dir_ent* ziv_get_next_ent(ziv_dir_state* record)
{
    return record->cur != nullptr ? record->cur->next : record->head;
}

// 0 when the entry's file is still there, -1 when it has gone. Asked of the
// directory's own descriptor with the next definition, so the program's
// status normalisation plays no part and the answer does not depend on the
// directory's path.
ZIV_EXPORT int ziv_file_is_exist(int dirfd, const char* name, unsigned char type)
{
    (void)type;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return 0;
    }
    auto real = ziv_lazy(g_pf_org_fstatat, "fstatat");
    if (real == nullptr) {
        ziv_log(LOG_INFO, "get lxstat failed, err = %d, function %s line %d\n", static_cast<int>(std::strlen(name)),
                "ziv_file_is_exist", __LINE__);
        return -1;
    }
    struct stat status;
    if (real(dirfd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        return -1;
    }
    return 0;
}

// Frees the entries passed over as gone and returns the entry after which
// new names continue. The list's last entry stays even when passed over: a
// later reading must not hand its name out again.
ZIV_EXPORT ziv_dir_ent* ziv_remove_deleted_ent(ziv_dir_state* record)
{
    if (record == nullptr || record->head == nullptr) {
        return nullptr;
    }
    ziv_dir_ent* previous = nullptr;
    ziv_dir_ent* p = record->head;
    while (p != nullptr && p->next != nullptr) {
        if (p->deleted != 0) {
            ziv_dir_ent* next = p->next;
            if (previous == nullptr) {
                record->head = next;
            } else {
                previous->next = next;
            }
            free(p);
            p = next;
        } else {
            if (p->next->deleted != 0) {
                ziv_dir_ent* gone = p->next;
                p->next = gone->next;
                free(gone);
            }
            previous = p;
            p = p->next;
        }
    }
    return p != nullptr ? p : previous;
}

// 1: go on with `*candidate`; 0: read the directory again first.
ZIV_EXPORT int ziv_go_real_dir(ziv_dir_state* record, ziv_dir_ent** candidate)
{
    *candidate = nullptr;
    if (record != nullptr && record->cur != nullptr) {
        if (record->cur->next != nullptr) {
            *candidate = record->cur->next;
            return 1;
        }
        if (ziv_feature_on(ZIV_F_DIRONCELIST)) {
            return 1;
        }
    }
    if (record != nullptr) {
        bool was_last = record->cur != nullptr;
        record->cur = ziv_remove_deleted_ent(record);
        if (was_last) {
            ziv_log(LOG_INFO, "process %s %s update_dir_list .................. line %d\n", ziv_prog_name_for_log(),
                    "ziv_go_real_dir", __LINE__);
        }
    }
    return 0;
}

}  // extern "C"

namespace {

// The names a record already lists, sorted, so that a new reading can
// skip them without allocating them first.
class ziv_listed_names {
public:
    explicit ziv_listed_names(const ziv_dir_state* record)
    {
        for (const ziv_dir_ent* p = record != nullptr ? record->head : nullptr; p != nullptr; p = p->next) {
            ++count_;
        }
        if (count_ == 0) {
            return;
        }
        names_ = static_cast<const ziv_dir_ent**>(malloc(count_ * sizeof(ziv_dir_ent*)));
        if (names_ == nullptr) {
            return;
        }
        size_t i = 0;
        bool sorted = true;
        for (const ziv_dir_ent* p = record->head; p != nullptr; p = p->next, ++i) {
            names_[i] = p;
            sorted = sorted && (i == 0 || std::strcmp(ziv_name_of(names_[i - 1]), ziv_name_of(p)) < 0);
        }
        // Usually one sorted run: the first reading, and nothing since.
        if (!sorted) {
            qsort(names_, count_, sizeof *names_, ziv_compare_names);
        }
    }
    ~ziv_listed_names() { free(names_); }
    ziv_listed_names(const ziv_listed_names&) = delete;
    ziv_listed_names& operator=(const ziv_listed_names&) = delete;

    // False when the index could not be made: the caller compares pairs.
    bool usable() const { return count_ == 0 || names_ != nullptr; }

    bool contains(const char* name) const
    {
        size_t low = 0;
        size_t high = names_ != nullptr ? count_ : 0;
        while (low < high) {
            size_t mid = low + (high - low) / 2;
            int order = std::strcmp(ziv_name_of(names_[mid]), name);
            if (order == 0) {
                return true;
            }
            if (order < 0) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        return false;
    }

private:
    const ziv_dir_ent** names_ = nullptr;
    size_t count_ = 0;
};

// Drops from `fresh` every name the record already lists, one comparison
// per pair: only when there was no room for an index.
ziv_dir_ent* ziv_drop_listed(const ziv_dir_state* record, ziv_dir_ent* fresh)
{
    for (const ziv_dir_ent* old = record->head; old != nullptr; old = old->next) {
        for (ziv_dir_ent* p = fresh; p != nullptr; p = p->next) {
            if (std::strcmp(ziv_name_of(p), ziv_name_of(old)) == 0) {
                fresh = ziv_remove_ent(fresh, p);
                free(p);
                break;
            }
        }
    }
    return fresh;
}

// The directory's path for a message: the record's, or read for the
// stream's first reading.
const char* ziv_dir_name(const ziv_dir_state* record, int fd, char* buffer, size_t size)
{
    if (record != nullptr) {
        return record->path;
    }
    ziv_get_fd_name(fd, buffer, size);
    return buffer;
}

// Reads the whole directory again with the next definition (`read_next`)
// and attaches the names the record does not list yet, sorted, at its end.
// Creates the record on the stream's first reading. The caller holds
// g_ziv_mutex_r.
template <typename Ent, typename Reader>
void update_ziv_dir(DIR* stream, ziv_dir_state*& record, int fd, Reader& read_next)
{
    if (record == nullptr) {
        record = ziv_get_cur_dir(stream, fd);
    }
    ziv_listed_names listed(record);
    rewinddir(stream);
    ziv_dir_ent* fresh = nullptr;
    while (const Ent* entry = read_next()) {
        if (listed.contains(entry->d_name)) {
            continue;
        }
        auto* node = static_cast<ziv_dir_ent*>(malloc(sizeof(ziv_dir_ent)));
        if (node == nullptr) {
            char name[256] = {};
            printf("ZIV_ENV: %s read dir %s: no memory about readdir\n", ziv_short_name(),
                   ziv_dir_name(record, fd, name, sizeof name));
            exit(-1);
        }
        node->deleted = 0;
        // A whole structure, though the C library's record may end at
        // d_reclen, inside its own buffer: the rest stays zero.
        Ent& copy = ziv_entry_of<Ent>(node);
        size_t length = entry->d_reclen < sizeof(Ent) ? entry->d_reclen : sizeof(Ent);
        int err = memset_s(&copy, sizeof copy, 0, sizeof copy);
        if (err == EOK) {
            err = memmove_s(&copy, sizeof copy, entry, length);
        }
        if (err != EOK) {
            char name[256] = {};
            printf("ZIV_ENV: %s read dir %s: memmove_s failed, err = %d, function %s line %d\n", ziv_short_name(),
                   ziv_dir_name(record, fd, name, sizeof name), err, "update_ziv_dir", __LINE__);
            exit(-1);
        }
        copy.d_name[sizeof copy.d_name - 1] = '\0';
        node->next = fresh;
        fresh = node;
    }
    fresh = ziv_sort(fresh);

    if (record == nullptr) {
        record = ziv_init_dir(fd);
        if (record == nullptr) {
            puts("\n\nZIV_ENV *** update dir no memory about readdir");
            exit(-1);
        }
        record->stream = stream;
        record->next = g_ziv_search_dir;
        g_ziv_search_dir = record;
    } else if (!listed.usable()) {
        fresh = ziv_drop_listed(record, fresh);
    }
    ziv_concat_list(&record->head, &fresh);
}

// The next entry of a listed program's stream, or null at its end. The
// caller holds g_ziv_mutex_r.
template <typename Ent, typename Reader>
ziv_dir_ent* ziv_hand_out(DIR* stream, Reader& read_next, const char* function)
{
    int fd = dirfd(stream);
    ziv_release_dirs(nullptr, -1);
    ziv_dir_state* record = ziv_get_cur_dir(stream, fd);
    ziv_dir_ent* candidate = nullptr;
    if (ziv_go_real_dir(record, &candidate) == 0) {
        update_ziv_dir<Ent>(stream, record, fd, read_next);
        candidate = ziv_get_next_ent(record);
    }
    while (candidate != nullptr) {
        if (ziv_file_is_exist(fd, ziv_name_of(candidate), candidate->ent.d_type) == 0) {
            record->cur = candidate;
            return candidate;
        }
        candidate->deleted = 1;
        record->cur = candidate;
        candidate = candidate->next;
        if (candidate == nullptr) {
            if (ziv_feature_on(ZIV_F_DIRONCELIST)) {
                break;
            }
            ziv_log(LOG_INFO, "process %s %s update_dir_list .................. line %d\n", ziv_prog_name_for_log(),
                    function, __LINE__);
            record->cur = ziv_remove_deleted_ent(record);
            update_ziv_dir<Ent>(stream, record, fd, read_next);
            candidate = ziv_get_next_ent(record);
        }
    }
    if (record != nullptr) {
        record->cur = nullptr;
    }
    return nullptr;
}

template <typename Ent, typename Fn>
Ent* ziv_readdir_any(DIR* stream, Fn real, const char* function)
{
    ziv_errno_guard keep;
    auto read_next = [&]() -> const Ent* { return real(stream); };
    ziv_dir_lock lock;
    ziv_dir_ent* found = ziv_hand_out<Ent>(stream, read_next, function);
    return found != nullptr ? &ziv_entry_of<Ent>(found) : nullptr;
}

template <typename Ent, typename Fn>
int ziv_readdir_r_any(DIR* stream, Ent* entry, Ent** result, Fn real, const char* function)
{
    ziv_errno_guard keep;
    // The directory is read into a structure of our own: the caller's keeps
    // what it held until an entry is handed out.
    Ent scratch;
    auto read_next = [&]() -> const Ent* {
        Ent* got = nullptr;
        real(stream, &scratch, &got);
        return got;
    };
    ziv_dir_lock lock;
    ziv_dir_ent* found = ziv_hand_out<Ent>(stream, read_next, function);
    entry = ziv_opaque(entry);
    result = ziv_opaque(result);
    if (found == nullptr) {
        if (result != nullptr) {
            *result = nullptr;
        }
        return 0;
    }
    int err = memmove_s(entry, sizeof(Ent), &ziv_entry_of<Ent>(found), sizeof(Ent));
    if (err != EOK) {
        printf("ZIV_ENV: %s memmove_s failed, err = %d, function %s line %d\n", ziv_short_name(), err, function,
               __LINE__);
        exit(-1);
    }
    if (result != nullptr) {
        *result = entry;
    }
    return 0;
}

// Streams closed by a call that came back into the library, which may
// neither lock nor free: their records are released by the next call that
// holds the lock, before it looks any record up.
DIR* g_ziv_closed_streams[8] = {};

void ziv_forget_dir(DIR* stream)
{
    for (DIR*& slot : g_ziv_closed_streams) {
        DIR* empty = nullptr;
        if (__atomic_compare_exchange_n(&slot, &empty, stream, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
            return;
        }
    }
}

// Frees the records of `stream` (all of them when `fd` is -1), and of the
// streams closed meanwhile by calls that came back. The caller holds
// g_ziv_mutex_r.
void ziv_release_dirs(DIR* stream, int fd)
{
    DIR* closed[std::size(g_ziv_closed_streams)];
    bool any = stream != nullptr;
    for (size_t i = 0; i < std::size(closed); ++i) {
        closed[i] = nullptr;
        if (__atomic_load_n(&g_ziv_closed_streams[i], __ATOMIC_RELAXED) != nullptr) {
            closed[i] = __atomic_exchange_n(&g_ziv_closed_streams[i], nullptr, __ATOMIC_ACQ_REL);
            any = any || closed[i] != nullptr;
        }
    }
    if (!any) {
        return;
    }
    ziv_dir_state** link = &g_ziv_search_dir;
    while (*link != nullptr) {
        ziv_dir_state* record = *link;
        bool gone = stream != nullptr && record->stream == stream && (fd == -1 || record->fd == fd);
        for (DIR* c : closed) {
            gone = gone || (c != nullptr && record->stream == c);
        }
        if (gone) {
            *link = record->next;
            ziv_free_ent(record->head);
            free(record);
        } else {
            link = &record->next;
        }
    }
}

inline bool ziv_dir_listed(DIR* stream) { return stream != nullptr && ziv_feature_on(ZIV_F_DIRLIST); }

// What the four readdir entry points share: the next definition, called
// with `stream` and `rest`, unless the stream is listed and the call is the
// program's own; then `treat(real, stream)`.
template <typename Fn, typename Treat, typename... Rest>
auto ziv_dir_read(Fn& slot, const char* function, DIR* stream, Treat treat, Rest... rest)
{
    auto real = ziv_dir_next_definition(slot, function);
    stream = ziv_opaque(stream);
    if (!ziv_dir_listed(stream)) {
        return real(stream, rest...);
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real(stream, rest...);
    }
    return treat(real, stream);
}

}  // namespace

extern "C" {

ZIV_EXPORT struct dirent* readdir(DIR* stream)
{
    return ziv_dir_read(g_pf_org_readdir, "readdir", stream,
                        [](auto real, DIR* s) { return ziv_readdir_any<struct dirent>(s, real, "readdir"); });
}

ZIV_EXPORT struct dirent64* readdir64(DIR* stream)
{
    return ziv_dir_read(g_pf_org_readdir64, "readdir64", stream,
                        [](auto real, DIR* s) { return ziv_readdir_any<struct dirent64>(s, real, "readdir64"); });
}

ZIV_EXPORT int readdir_r(DIR* stream, struct dirent* entry, struct dirent** result)
{
    return ziv_dir_read(
        g_pf_org_readdir_r, "readdir_r", stream,
        [&](auto real, DIR* s) { return ziv_readdir_r_any<struct dirent>(s, entry, result, real, "readdir_r"); },
        entry, result);
}

ZIV_EXPORT int readdir64_r(DIR* stream, struct dirent64* entry, struct dirent64** result)
{
    return ziv_dir_read(
        g_pf_org_readdir64_r, "readdir64_r", stream,
        [&](auto real, DIR* s) { return ziv_readdir_r_any<struct dirent64>(s, entry, result, real, "readdir64_r"); },
        entry, result);
}

ZIV_EXPORT int closedir(DIR* stream)
{
    auto real = ziv_lazy(g_pf_org_closedir, "closedir");
    stream = ziv_opaque(stream);
    if (ziv_dir_listed(stream)) {
        ziv_errno_guard keep;
        ziv_reentry_guard guard;
        if (guard.reentered()) {
            // The lock may be held by the very call this one interrupted, and
            // freeing could meet the allocator's own: the record is released
            // by the next call that holds the lock.
            ziv_forget_dir(stream);
        } else {
            ziv_dir_lock lock;
            ziv_release_dirs(stream, dirfd(stream));
        }
    }
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(stream);
}

}  // extern "C"
