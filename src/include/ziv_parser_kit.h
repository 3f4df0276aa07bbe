// What the parsers of binary utilities, copies and patches share.
//
// Command lines of tools that parse their arguments the GNU getopt way:
// clusters of one-letter flags ("-sv"), a value glued to its letter or in
// the next argument ("-ofile", "-o file"), long options with "=" or the
// next argument ("--output=f", "--output f"), options anywhere among the
// operands, and "--" ending the options. Walking a line this way is what
// tells a file operand from an option's value, whatever order the build
// wrote them in.
#pragma once

#include <cstddef>
#include <string_view>

// The options of one tool that take a value, as the tool's manual writes
// them: "-o" (one letter) or "--output" (long).
struct ziv_opt_grammar {
    const char* const* value_options;
    int count;
};

template <size_t N>
constexpr ziv_opt_grammar ziv_grammar(const char* const (&table)[N])
{
    return ziv_opt_grammar{table, static_cast<int>(N)};
}

// One element of a command line.
struct ziv_opt_item {
    enum kind_t { operand, option } kind;
    char letter;             // one-letter option, else 0
    std::string_view name;   // long option without "--" and without "=value"
    const char* value;       // the option's value, null when it takes none or it is missing
    const char* text;        // the operand
};

// Walks argv[first..argc) element by element.
class ziv_opt_scanner {
public:
    ziv_opt_scanner(int argc, char** argv, ziv_opt_grammar grammar, int first = 1)
        : argc_(argc), argv_(argv), grammar_(grammar), at_(first)
    {
    }

    // The next element; false at the end of the line.
    bool next(ziv_opt_item* item);

    // Whether a one-letter option or a long option takes a value.
    bool letter_takes_value(char letter) const;
    bool long_takes_value(std::string_view name) const;

private:
    int argc_;
    char** argv_;
    ziv_opt_grammar grammar_;
    int at_;
    const char* cluster_ = nullptr;  // rest of a "-abc" cluster
    bool options_done_ = false;
};

// 1 when `item` is the option `option` ("-o" or "--output").
bool ziv_opt_is(const ziv_opt_item& item, const char* option);

// --- File names derived from a command line ----------------------------------

// New "dir/name" ("dirname" when `dir` already ends with "/"); null for a
// null part or no memory. free() it.
char* ziv_join_path(const char* dir, const char* name);
// The text after the last "/" (trailing slashes ignored: "a/b/" gives "b/"),
// or the whole name.
const char* ziv_base_name(const char* name);
// 1 for an existing regular file (ziv_check_input_valid), else 0.
bool ziv_is_regular_input(const char* name);
