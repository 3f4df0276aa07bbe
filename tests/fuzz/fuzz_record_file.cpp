// Random record files: five tables of length-prefixed values. Whatever was
// loaded must write back to bytes that load to the same tables.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "ziv_bounded.h"
#include "ziv_random_store.h"

namespace {

random_conf* new_conf()
{
    auto* conf = static_cast<random_conf*>(ziv_malloc_and_init(sizeof(random_conf)));
    for (random_map_info** table : {&conf->rand, &conf->random, &conf->getrandom, &conf->dev_random,
                                    &conf->dev_urandom}) {
        *table = static_cast<random_map_info*>(ziv_malloc_and_init(sizeof(random_map_info)));
    }
    return conf;
}

void release(random_conf* conf)
{
    free_random_conf(conf);
    free(conf);
}

// The tables written with the store's own writer.
std::string written(const random_conf* conf)
{
    char* bytes = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&bytes, &size);
    if (write_random_conf(out, conf) != 0) {
        abort();
    }
    fclose(out);
    std::string text(bytes, size);
    free(bytes);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (in == nullptr) {
        return 0;
    }
    random_conf* conf = new_conf();
    load_random_conf(in, conf);
    fclose(in);
    // A damaged file keeps what loaded whole; written again and loaded
    // again, that is what comes back.
    std::string first = written(conf);
    FILE* again = fmemopen(first.data(), first.size(), "rb");
    random_conf* reloaded = new_conf();
    if (load_random_conf(again, reloaded) != 0 || written(reloaded) != first) {
        abort();
    }
    fclose(again);
    release(reloaded);
    release(conf);
    return 0;
}
