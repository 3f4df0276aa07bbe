// Random value record and replay. A recording process keeps every real value
// a listed program drew and writes them at its end; a process that finds its
// program's file replays them in order.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_identity.h"
#include "ziv_interpose.h"
#include "ziv_lifecycle.h"
#include "ziv_random_store.h"
#include "ziv_symbols.h"

random_conf* g_random_conf = nullptr;
// Threads of a program draw values at the same time.
pthread_mutex_t g_ziv_random_store_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// The tables of a record, in file order.
using ziv_table_member = random_map_info* random_conf::*;
constexpr ziv_table_member ziv_table_order[] = {
    &random_conf::rand, &random_conf::random, &random_conf::getrandom, &random_conf::dev_random,
    &random_conf::dev_urandom};

// The process id as the program sees it, for messages only.
int ziv_message_pid() { return static_cast<int>(ziv_program_pid()); }

// Reads exactly `size` bytes through the real fread: the store's own reads
// are no random source.
bool ziv_read_exact(FILE* file, void* into, size_t size)
{
    auto real = ziv_lazy(g_pf_org_fread, "fread");
    return real != nullptr && real(into, size, 1, file) == 1;
}

// Bytes between the position and the end of the file.
uint32_t ziv_bytes_left(FILE* file)
{
    long here = ftell(file);
    if (here < 0 || fseek(file, 0, SEEK_END) != 0) {
        return 0;
    }
    long end = ftell(file);
    fseek(file, here, SEEK_SET);
    if (end <= here) {
        return 0;
    }
    return end - here < static_cast<long>(UINT32_MAX) ? static_cast<uint32_t>(end - here) : UINT32_MAX;
}

bool ziv_write_exact(FILE* file, const void* from, size_t size) { return fwrite(from, size, 1, file) == 1; }

// The record file of the current program: the resolved configured path, an
// underscore and the short name; false when it cannot be formed.
bool ziv_record_file_name(char (&name)[ZIV_PATH_SIZE], const char* caller, int line)
{
    const char* output = ziv_prog_cfg.random_record_output;
    if (std::strlen(output) >= ZIV_PATH_SIZE) {
        return false;
    }
    char resolved[ZIV_PATH_SIZE];
    if (realpath(output, resolved) == nullptr) {
        return false;
    }
    if (sprintf_s(name, sizeof name, "%s_%s", resolved, program_invocation_short_name) < 0) {
        ziv_log(LOG_INFO, "sprintf_s failed, function %s line %d\n", caller, line);
        return false;
    }
    return true;
}

uint32_t ziv_total_count(const random_conf* conf)
{
    uint32_t total = 0;
    for (auto table : ziv_table_order) {
        if (conf->*table != nullptr) {
            total += (conf->*table)->count;
        }
    }
    return total;
}

void ziv_record_value(const void* buffer, size_t length, random_map_info* table)
{
    auto* node = static_cast<random_map*>(ziv_malloc_and_init(sizeof(random_map)));
    if (node == nullptr) {
        return;
    }
    // A zero-length value is never recorded: there is nothing to allocate.
    node->len = static_cast<uint32_t>(length);
    node->data = length > 0 && length <= UINT32_MAX ? static_cast<unsigned char*>(std::malloc(length)) : nullptr;
    if (node->data == nullptr) {
        std::free(node);
        return;
    }
    int err = memcpy_s(node->data, length, buffer, length);
    if (err != EOK) {
        ziv_log(LOG_INFO, "memcpy_s failed, err = %d, function %s line %d\n", err, "ziv_random_record_repaly", 324);
        ziv_free_random_map(node);
        return;
    }
    if (table->cur == nullptr) {
        table->head = node;
    } else {
        table->cur->next = node;
    }
    table->cur = node;
    table->count += 1;
    if (ziv_logging()) {
        ziv_log(LOG_INFO, "[pid:%d] process %s get real random value.\n", ziv_message_pid(), ziv_prog_name_for_log());
    }
}

void ziv_replay_value(void* buffer, size_t length, random_map_info* table)
{
    // A request that returned no bytes was never recorded: it must not use
    // up a recorded value, or every later value would be handed to the
    // wrong request.
    if (length == 0) {
        return;
    }
    random_map* node = table->cur;
    if (node == nullptr) {
        if (ziv_logging()) {
            ziv_log(LOG_INFO, "[pid:%d] process %s get replay random value fail.\n", ziv_message_pid(),
                    ziv_prog_name_for_log());
        }
        return;
    }
    if (node->len == length) {
        int err = memcpy_s(buffer, length, node->data, length);
        if (err != EOK) {
            ziv_log(LOG_INFO, "memcpy_s failed, err = %d, function %s line %d\n", err, "ziv_random_record_repaly",
                    301);
            return;
        }
        if (ziv_logging()) {
            ziv_log(LOG_INFO, "[pid:%d] process %s get replay random value\n", ziv_message_pid(),
                    ziv_prog_name_for_log());
        }
    } else if (ziv_logging()) {
        ziv_log(LOG_INFO, "[pid:%d] process %s get replay random value fail.\n", ziv_message_pid(),
                ziv_prog_name_for_log());
    }
    table->cur = node->next;
}

// A fresh temporary name beside the record file, created exclusively with
// the mode fopen would give (the umask applies).
FILE* ziv_open_temporary(const char* final_name, char (&temp_name)[ZIV_PATH_SIZE])
{
    pid_t pid = ziv_libc_getpid();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (sprintf_s(temp_name, sizeof temp_name, "%s.tmp%d.%d", final_name, static_cast<int>(pid), attempt) < 0) {
            ziv_log(LOG_INFO, "sprintf_s failed, function %s line %d\n", "write_ziv_random_conf", __LINE__);
            return nullptr;
        }
        int fd = open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            FILE* file = fdopen(fd, "w");
            if (file == nullptr) {
                close(fd);
                unlink(temp_name);
            }
            return file;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace

random_map_info* ziv_random_table(ziv_random_source source)
{
    random_conf* conf = g_random_conf;
    if (conf == nullptr) {
        return nullptr;
    }
    return conf->*ziv_table_order[static_cast<int>(source)];
}

ssize_t record_message(const void* buffer, ssize_t length)
{
    if (buffer == nullptr || length < 0 || length > (INT_MAX - 1) / 2) {
        return length;
    }
    ziv_errno_guard keep;
    size_t size = static_cast<size_t>(length) * 2 + 1;
    auto* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) {
        return length;
    }
    if (memset_s(text, size, 0, size) != EOK) {
        std::free(text);
        return length;
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    for (ssize_t i = 0; i < length; ++i) {
        size_t offset = static_cast<size_t>(i) * 2;
        if (sprintf_s(text + offset, size - offset, "%02x", bytes[i]) < 0) {
            std::free(text);
            return length;
        }
    }
    ziv_log(LOG_INFO, "%s get random: %s\n", ziv_prog_name_for_log(), text);
    std::free(text);
    return length;
}

int load_random_map(FILE* file, random_map_info* table)
{
    uint32_t count = 0;
    if (!ziv_read_exact(file, &count, sizeof count)) {
        return -1;
    }
    random_map* last = nullptr;
    int result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto* node = static_cast<random_map*>(ziv_malloc_and_init(sizeof(random_map)));
        if (node == nullptr) {
            result = -1;
            break;
        }
        // A length beyond the file's end is damage, not a value to make room
        // for.
        if (!ziv_read_exact(file, &node->len, sizeof node->len) || node->len == 0 ||
            node->len > ziv_bytes_left(file)) {
            ziv_free_random_map(node);
            result = -1;
            break;
        }
        node->data = static_cast<unsigned char*>(std::malloc(node->len));
        if (node->data == nullptr || !ziv_read_exact(file, node->data, node->len)) {
            ziv_free_random_map(node);
            result = -1;
            break;
        }
        if (last == nullptr) {
            table->head = node;
        } else {
            last->next = node;
        }
        last = node;
        // The count says what the table holds: written again, it must
        // describe the values that are there.
        table->count += 1;
    }
    // A damaged table keeps what it loaded and replays it from the start, in
    // the order it was recorded.
    table->cur = table->head;
    return result;
}

int load_random_conf(FILE* file, random_conf* conf)
{
    int result = 0;
    for (auto table : ziv_table_order) {
        if (load_random_map(file, conf->*table) != 0) {
            result = -1;
        }
    }
    return result;
}

int write_random_map(FILE* file, const random_map_info* table)
{
    uint32_t count = table != nullptr ? table->count : 0;
    if (!ziv_write_exact(file, &count, sizeof count)) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    for (const random_map* node = table->head; node != nullptr; node = node->next) {
        if (node->data == nullptr || !ziv_write_exact(file, &node->len, sizeof node->len) ||
            !ziv_write_exact(file, node->data, node->len)) {
            return -1;
        }
    }
    return 0;
}

int write_random_conf(FILE* file, const random_conf* conf)
{
    int result = 0;
    for (auto table : ziv_table_order) {
        if (write_random_map(file, conf->*table) != 0) {
            result = -1;
        }
    }
    return result;
}

void free_random_map_info(random_map_info* table)
{
    if (table == nullptr) {
        return;
    }
    random_map* node = table->head;
    while (node != nullptr) {
        random_map* next = node->next;
        ziv_free_random_map(node);
        node = next;
    }
    std::free(table);
}

void free_random_conf(random_conf* conf)
{
    if (conf == nullptr) {
        return;
    }
    for (auto table : ziv_table_order) {
        free_random_map_info(conf->*table);
        conf->*table = nullptr;
    }
}

void ziv_random_store_after_fork()
{
    random_conf* conf = g_random_conf;
    if (conf == nullptr || conf->mode != ZIV_RANDOM_MODE_REPLAY) {
        return;
    }
    for (auto table : ziv_table_order) {
        if (conf->*table != nullptr) {
            (conf->*table)->cur = nullptr;
        }
    }
}

void ziv_random_store_finish()
{
    ziv_lock_hold lock(g_ziv_random_store_mutex);
    random_conf* conf = g_random_conf;
    if (conf == nullptr) {
        return;
    }
    if (conf->mode == ZIV_RANDOM_MODE_RECORD) {
        write_ziv_random_conf();
    }
    free_random_conf(conf);
    std::free(conf);
    g_random_conf = nullptr;
}

extern "C" {

ZIV_EXPORT void ziv_free_random_map(random_map* node)
{
    if (node != nullptr) {
        std::free(node->data);
        std::free(node);
    }
}

ZIV_EXPORT void ziv_random_record_repaly(void* buffer, ssize_t length, random_map_info* table)
{
    // Without a store the real value stands.
    if (g_random_conf == nullptr || table == nullptr || buffer == nullptr || length < 0) {
        return;
    }
    ziv_errno_guard keep;
    ziv_lock_hold lock(g_ziv_random_store_mutex);
    // Read again under the lock: the end of the process releases the store.
    random_conf* conf = g_random_conf;
    if (conf == nullptr) {
        return;
    }
    if (conf->mode == ZIV_RANDOM_MODE_REPLAY) {
        ziv_replay_value(buffer, static_cast<size_t>(length), table);
    } else {
        ziv_record_value(buffer, static_cast<size_t>(length), table);
    }
}

ZIV_EXPORT void init_ziv_random_conf(void)
{
    ziv_errno_guard keep;
    auto* conf = static_cast<random_conf*>(ziv_malloc_and_init(sizeof(random_conf)));
    if (conf == nullptr) {
        return;
    }
    bool complete = true;
    for (auto table : ziv_table_order) {
        conf->*table = static_cast<random_map_info*>(ziv_malloc_and_init(sizeof(random_map_info)));
        complete = complete && conf->*table != nullptr;
    }
    g_random_conf = conf;
    char name[ZIV_PATH_SIZE];
    if (complete && ziv_record_file_name(name, "init_ziv_random_conf", 242)) {
        // The file is replaced by rename, never rewritten in place: whatever
        // opens here is one complete file.
        FILE* file = fopen(name, "r");
        if (file != nullptr) {
            conf->mode = ZIV_RANDOM_MODE_REPLAY;
            if (load_random_conf(file, conf) != 0) {
                ziv_log(LOG_INFO, "########## load urandom conf fail ##########\n");
            }
            fclose(file);
        }
    }
    ziv_log(LOG_INFO, "########## start %s mode ##########\n",
            conf->mode == ZIV_RANDOM_MODE_REPLAY ? "replay" : "record");
}

ZIV_EXPORT void write_ziv_random_conf(void)
{
    random_conf* conf = g_random_conf;
    if (conf == nullptr) {
        return;
    }
    ziv_errno_guard keep;
    if (ziv_total_count(conf) == 0) {
        ziv_log(LOG_INFO, "########## no random value record, do not write ##########\n");
        return;
    }
    char name[ZIV_PATH_SIZE];
    if (!ziv_record_file_name(name, "write_ziv_random_conf", 277)) {
        return;
    }
    // Other processes of the program may be loading the file right now:
    // the new content goes to a temporary file that then replaces it whole.
    char temp_name[ZIV_PATH_SIZE];
    FILE* file = ziv_open_temporary(name, temp_name);
    if (file == nullptr) {
        return;
    }
    bool written = write_random_conf(file, conf) == 0;
    bool closed = fclose(file) == 0;
    if (!written || !closed) {
        ziv_log(LOG_INFO, "########## write random conf fail ##########\n");
        unlink(temp_name);
        return;
    }
    if (rename(temp_name, name) != 0) {
        unlink(temp_name);
    }
}

}  // extern "C"
