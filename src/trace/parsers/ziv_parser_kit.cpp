// The getopt walk of a tool's command line and the file names parsers
// derive from one.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ziv_bounded.h"
#include "ziv_file_util.h"

#include "ziv_parser_kit.h"

bool ziv_opt_scanner::letter_takes_value(char letter) const
{
    for (int i = 0; i < grammar_.count; ++i) {
        const char* o = grammar_.value_options[i];
        if (o != nullptr && o[0] == '-' && o[1] == letter && o[2] == '\0') {
            return true;
        }
    }
    return false;
}

bool ziv_opt_scanner::long_takes_value(std::string_view name) const
{
    for (int i = 0; i < grammar_.count; ++i) {
        const char* o = grammar_.value_options[i];
        if (o != nullptr && o[0] == '-' && o[1] == '-' && std::string_view(o + 2) == name) {
            return true;
        }
    }
    return false;
}

bool ziv_opt_scanner::next(ziv_opt_item* item)
{
    *item = ziv_opt_item{ziv_opt_item::option, 0, {}, nullptr, nullptr};
    if (cluster_ != nullptr && *cluster_ != '\0') {
        char letter = *cluster_++;
        item->letter = letter;
        if (letter_takes_value(letter)) {
            // The rest of the cluster, or else the next argument, is the value.
            if (*cluster_ != '\0') {
                item->value = cluster_;
            } else if (at_ < argc_ && argv_[at_] != nullptr) {
                item->value = argv_[at_++];
            }
            cluster_ = nullptr;
        }
        return true;
    }
    cluster_ = nullptr;
    if (at_ >= argc_ || argv_ == nullptr || argv_[at_] == nullptr) {
        return false;
    }
    const char* arg = argv_[at_++];
    if (options_done_ || arg[0] != '-' || arg[1] == '\0') {
        // "-" alone names standard input or output: an operand.
        *item = ziv_opt_item{ziv_opt_item::operand, 0, {}, nullptr, arg};
        return true;
    }
    if (arg[1] == '-') {
        if (arg[2] == '\0') {
            options_done_ = true;
            return next(item);
        }
        const char* eq = strchr(arg + 2, '=');
        item->name = eq != nullptr ? std::string_view(arg + 2, static_cast<size_t>(eq - arg - 2))
                                   : std::string_view(arg + 2);
        if (eq != nullptr) {
            item->value = eq + 1;
        } else if (long_takes_value(item->name) && at_ < argc_ && argv_[at_] != nullptr) {
            item->value = argv_[at_++];
        }
        return true;
    }
    cluster_ = arg + 1;
    return next(item);
}

bool ziv_opt_is(const ziv_opt_item& item, const char* option)
{
    if (item.kind != ziv_opt_item::option || option == nullptr || option[0] != '-') {
        return false;
    }
    if (option[1] == '-') {
        return item.letter == 0 && item.name == std::string_view(option + 2);
    }
    return item.letter != 0 && option[1] == item.letter && option[2] == '\0';
}

char* ziv_join_path(const char* dir, const char* name)
{
    if (dir == nullptr || name == nullptr) {
        return nullptr;
    }
    size_t dir_len = strlen(dir);
    bool slash = dir_len > 0 && dir[dir_len - 1] == '/';
    size_t size = dir_len + strlen(name) + 2;
    if (size >= INT_MAX) {
        return nullptr;
    }
    char* joined = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)));
    if (joined == nullptr) {
        return nullptr;
    }
    if (sprintf_s(joined, size, slash ? "%s%s" : "%s/%s", dir, name) < 0) {
        free(joined);
        return nullptr;
    }
    return joined;
}

const char* ziv_base_name(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    size_t end = strlen(name);
    while (end > 1 && name[end - 1] == '/') {
        --end;
    }
    for (size_t i = end; i > 0; --i) {
        if (name[i - 1] == '/') {
            return name + i;
        }
    }
    return name;
}

bool ziv_is_regular_input(const char* name) { return ziv_check_input_valid(name) == 1; }
