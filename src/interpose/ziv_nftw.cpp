// Tree walks in path order: for a listed program the C library walks the
// whole tree first, and the program's function then sees every entry in
// ascending byte order of its path.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <tuple>
#include <type_traits>

#include "ziv_bounded.h"
#include "ziv_interpose.h"
#include "ziv_list_sort.h"
#include "ziv_log.h"
#include "ziv_stat.h"
#include "ziv_symbols.h"

static_assert(sizeof(struct stat) == sizeof(struct stat64));

namespace {

template <typename Fn>
struct ziv_args;
template <typename R, typename... A>
struct ziv_args<R (*)(A...)> {
    using type = std::tuple<A...>;
};
template <typename Fn>
using ziv_args_of = typename ziv_args<Fn>::type;

// One entry the walk reported.
struct file_node {
    char* fpath;
    struct stat* sb;
    int typeflag;
    struct FTW* ftwbuf;
    file_node* next;
};

// The entries of the walk in progress on this thread, in walk order. Each
// call keeps its own list, so a walk started from a program's function, or
// on another thread, does not mix with this one. The library is loaded at
// start-up, so its thread data can live in the static block.
__attribute__((tls_model("initial-exec"))) thread_local file_node* g_file_list = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local file_node** g_file_tail = nullptr;

void free_file_node(file_node* node)
{
    free(node->fpath);
    free(node->sb);
    free(node->ftwbuf);
    free(node);
}

// The status is copied whole; both status structures have one layout here.
int file_node_process_fpath(file_node* node, const char* fpath, const void* sb)
{
    int fpath_size = static_cast<int>(strlen(fpath) + 1);
    if (fpath_size <= 0) {
        perror("fpath_size <= 0\n");
        return -1;
    }
    node->fpath = static_cast<char*>(malloc(static_cast<size_t>(fpath_size)));
    if (node->fpath == nullptr) {
        perror("malloc file_node->fpath failed\n");
        return -1;
    }
    int err = memset_s(node->fpath, static_cast<size_t>(fpath_size), 0, static_cast<size_t>(fpath_size));
    if (err != EOK) {
        ZIV_LOG_FAILED("memset_s", err);
        return -1;
    }
    err = memcpy_s(node->fpath, static_cast<size_t>(fpath_size), fpath, static_cast<size_t>(fpath_size));
    if (err != EOK) {
        ZIV_LOG_FAILED("memcpy_s", err);
        return -1;
    }
    node->sb = static_cast<struct stat*>(malloc(sizeof(struct stat)));
    if (node->sb == nullptr) {
        perror("malloc file_node->sb failed\n");
        return -1;
    }
    err = memset_s(node->sb, sizeof(struct stat), 0, sizeof(struct stat));
    if (err != EOK) {
        ZIV_LOG_FAILED("memset_s", err);
        return -1;
    }
    if (sb != nullptr) {
        err = memcpy_s(node->sb, sizeof(struct stat), sb, sizeof(struct stat));
        if (err != EOK) {
            ZIV_LOG_FAILED("memcpy_s", err);
            return -1;
        }
    }
    return 0;
}

int file_node_process_ftwbuf(file_node* node, int typeflag, const struct FTW* ftwbuf)
{
    node->typeflag = typeflag;
    node->ftwbuf = static_cast<struct FTW*>(malloc(sizeof(struct FTW)));
    if (node->ftwbuf == nullptr) {
        perror("malloc file_node->ftwbuf failed\n");
        return -1;
    }
    int err = memset_s(node->ftwbuf, sizeof(struct FTW), 0, sizeof(struct FTW));
    if (err != EOK) {
        ZIV_LOG_FAILED("memset_s", err);
        return -1;
    }
    if (ftwbuf != nullptr) {
        err = memcpy_s(node->ftwbuf, sizeof(struct FTW), ftwbuf, sizeof(struct FTW));
        if (err != EOK) {
            ZIV_LOG_FAILED("memcpy_s", err);
            return -1;
        }
    }
    return 0;
}

// The function handed to the real walk: records one entry. A refusal (-1)
// ends the walk.
template <typename Status>
int input_file_to_list(const char* fpath, const Status* sb, int typeflag, struct FTW* ftwbuf)
{
    ziv_errno_guard keep;
    auto* node = static_cast<file_node*>(ziv_malloc_and_init(static_cast<int>(sizeof(file_node))));
    if (node == nullptr) {
        perror("create strcut file_node failed\n");
        return -1;
    }
    if (fpath == nullptr || file_node_process_fpath(node, fpath, sb) != 0 ||
        file_node_process_ftwbuf(node, typeflag, ftwbuf) != 0) {
        free_file_node(node);
        return -1;
    }
    *g_file_tail = node;
    g_file_tail = &node->next;
    return 0;
}

// Stable, by path bytes: equal paths keep the walk's order.
file_node* ziv_sort_paths(file_node* head)
{
    return ziv_list_sort(head, [](const file_node* left, const file_node* right) {
        return strcmp(left->fpath, right->fpath) <= 0;
    });
}

// Every collected entry goes to the program's function, whatever it
// answers, and is freed right after.
template <typename Fn>
void output_file_from_list(Fn fn, file_node* list)
{
    using Status = std::remove_pointer_t<std::tuple_element_t<1, ziv_args_of<Fn>>>;
    while (list != nullptr) {
        file_node* node = list;
        list = node->next;
        fn(node->fpath, reinterpret_cast<Status*>(node->sb), node->typeflag, node->ftwbuf);
        free_file_node(node);
    }
}

// The walk for both entry points; `Fn` is the program's function type, the
// next definition takes the same.
template <typename Fn>
int ziv_nftw(int (*real)(const char*, Fn, int, int), const char* name, const char* dir, Fn fn, int nopenfd,
             int flags)
{
    if (real == nullptr) {
        return -1;
    }
    file_node* walked = nullptr;
    int result = 0;
    int walk_errno = 0;
    {
        ziv_reentry_guard guard;
        if (guard.reentered()) {
            return real(dir, fn, nopenfd, flags);
        }
        ziv_log_enter(name, __LINE__);
        if (!ziv_feature_on(ZIV_F_NFTWLIST)) {
            ziv_log(LOG_INFO, "%s %s get real nftw\n", ziv_prog_name_for_log(), name);
        } else {
            file_node* outer_list = g_file_list;
            file_node** outer_tail = g_file_tail;
            g_file_list = nullptr;
            g_file_tail = &g_file_list;
            using Status = std::remove_pointer_t<std::tuple_element_t<1, ziv_args_of<Fn>>>;
            result = real(dir, input_file_to_list<std::remove_const_t<Status>>, nopenfd, flags);
            walk_errno = errno;
            walked = ziv_sort_paths(g_file_list);
            g_file_list = outer_list;
            g_file_tail = outer_tail;
        }
    }
    // The program's function is the program's own code again: it runs
    // outside the guard, so that its calls keep their normalisation.
    if (!ziv_feature_on(ZIV_F_NFTWLIST)) {
        return real(dir, fn, nopenfd, flags);
    }
    output_file_from_list(fn, walked);
    if (ziv_logging()) {
        ziv_reentry_guard guard;
        ziv_log(LOG_INFO, "%s %s get ziv nftw\n", ziv_prog_name_for_log(), name);
    }
    // The caller sees the walk's own outcome.
    errno = walk_errno;
    return result;
}

}  // namespace

extern "C" {

ZIV_EXPORT int nftw(const char* dir, __nftw_func_t fn, int nopenfd, int flags)
{
    return ziv_nftw(ziv_lazy(g_pf_org_nftw, "nftw"), "nftw", dir, fn, nopenfd, flags);
}

// What programs built with 64-bit file offsets call; the same structures
// on this platform.
ZIV_EXPORT int nftw64(const char* dir, __nftw64_func_t fn, int nopenfd, int flags)
{
    return ziv_nftw(ziv_lazy(g_pf_org_nftw64, "nftw64"), "nftw64", dir, fn, nopenfd, flags);
}

}  // extern "C"
