// The commands; each takes the arguments after its name and returns the
// program's exit status.
#pragma once

#include <string>
#include <vector>

#include "kalvitrex_env.h"

namespace kvx {

using args = std::vector<std::string>;

int run_command(const args& a);
int report_command(const args& a);
int impact_command(const args& a);
int diff_command(const args& a);
int check_command(const args& a);

extern const char* const k_run_help;
extern const char* const k_report_help;
extern const char* const k_impact_help;
extern const char* const k_diff_help;
extern const char* const k_check_help;

// "--name VALUE" and "--name=VALUE": true when a[i] is the option; the value
// goes to `value` and i moves past it. Throws when the value is missing.
bool option_value(const args& a, size_t& i, const char* name, std::string& value);

// The options run and check share: --profile P and --set NAME=VALUE (checked
// as it is taken, repeatable).
struct profile_options {
    std::string profile;  // as given; empty: the shipped default
    std::vector<setting> sets;
    // True when a[i] is one of them; i moves past its value.
    bool take(const args& a, size_t& i);
};

}  // namespace kvx
