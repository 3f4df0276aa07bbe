// strip, objcopy, the elfutils tools, elfedit, dwz, debugedit and
// sepdebugcrcfix. Each command line is walked as the tool itself walks it
// (getopt), so an option's value is never taken for a file and a file
// named after the options is never missed; the value tables hold every
// option of the tool that takes a value.
#include <cstdlib>
#include <cstring>

#include "ziv_bounded.h"
#include "ziv_cmdline.h"
#include "ziv_file_util.h"
#include "ziv_parser_kit.h"
#include "ziv_parsers_binutils.h"
#include "ziv_sysio.h"

namespace {

constexpr const char* kStripValues[] = {
    "-I", "-O", "-F", "-R", "-K", "-N", "-o", "--input-target", "--output-target", "--target",
    "--remove-section", "--remove-relocations", "--strip-symbol", "--keep-symbol", "--output-file",
    // Not in the classic table, but values all the same.
    "--keep-section",
};

constexpr const char* kDwzValues[] = {
    "-l", "-L", "-m", "-M", "-o", "--multifile-name", "--output", "--low-mem-die-limit", "--max-die-limit",
    "--multifile", "--odr-mode", "-p", "--multifile-pointer-size", "-e", "--multifile-endian", "-j", "--jobs",
};

constexpr const char* kElfcompressValues[] = {"-n", "-t", "-o", "--name", "--type", "--output"};

constexpr const char* kEuStripValues[] = {"-o", "--output", "--remove-section", "--keep-section", "-R", "-F", "-f"};

constexpr const char* kEuUnstripValues[] = {
    "-o", "--output", "-d", "--output-directory", "-e", "--executable", "--core", "--debuginfo-path",
    "-M", "--linux-process-map", "-p", "--pid",
};

constexpr const char* kElfeditValues[] = {
    "-e", "-L", "-o", "--input-mach", "--output-mach", "--input-type", "--output-type", "--input-osabi",
    "--output-osabi", "--input-abiversion", "--output-abiversion", "--enable-x86-feature",
    "--disable-x86-feature",
};

constexpr const char* kDebugeditValues[] = {
    "-b", "-d", "-l", "-s", "--base-dir", "--dest-dir", "--list-file", "--build-id-seed",
};

// Options whose value is section=file: a file added to the output or
// dumped from the input.
constexpr const char* kObjcopySectionFiles[] = {"--add-section", "--dump-section", "--update-section"};

constexpr const char* kObjcopyValues[] = {
    "-I", "-O", "-B", "-F", "-j", "-R", "-N", "-K", "-L", "-G", "-W", "-i", "--input-target", "--output-target",
    "--binary-architecture", "--target", "--only-section", "--remove-section", "--remove-relocations",
    "--strip-symbol", "--strip-unneeded-symbol", "--keep-symbol", "--localize-symbol", "--globalize-symbol",
    "--keep-global-symbol", "--weaken-symbol", "--keep-symbols", "--localize-symbols", "--globalize-symbols",
    "--keep-global-symbols", "--weaken-symbols",
    // The section files and the debug link.
    "--add-section", "--dump-section", "--update-section", "--add-gnu-debuglink",
    // Every other option of objcopy that takes a value.
    "-b", "--byte", "--keep-section", "--strip-symbols", "--strip-unneeded-symbols", "--interleave-width",
    "--gap-fill", "--pad-to", "--set-start", "--change-start", "--adjust-start", "--change-addresses",
    "--adjust-vma", "--change-section-address", "--adjust-section-vma", "--change-section-lma",
    "--change-section-vma", "--set-section-flags", "--set-section-alignment", "--rename-section",
    "--long-section-names", "--reverse-bytes", "--redefine-sym", "--redefine-syms", "--srec-len",
    "--add-symbol", "--alt-machine-code", "--prefix-symbols", "--prefix-sections", "--prefix-alloc-sections",
    "--file-alignment", "--heap", "--image-base", "--section-alignment", "--stack", "--subsystem",
    "--verilog-data-width",
};

// What a tool that writes either one new file or its files in place calls
// its output option.
struct output_options {
    const char* letter;
    const char* long_name;
};

bool is_output(const ziv_opt_item& item, output_options out)
{
    return item.value != nullptr && (ziv_opt_is(item, out.letter) || ziv_opt_is(item, out.long_name));
}

// Every existing regular file operand, rewritten in place.
void record_in_place(int argc, char** argv, ziv_opt_grammar grammar, ziv_trace_info* info)
{
    ziv_opt_scanner line(argc, argv, grammar);
    for (ziv_opt_item item; line.next(&item);) {
        if (item.kind == ziv_opt_item::operand && ziv_is_regular_input(item.text) &&
            ziv_append_trace_paired_file(item.text, item.text, &info->paired) == 0) {
            info->flags |= ZIV_TRACE_IN_PLACE;
        }
    }
}

// strip, dwz, eu-elfcompress: with an output option, the last existing
// file is written to it; without, every file is rewritten in place. For
// dwz, the common file of -m then depends on every file it rewrote.
void parse_new_or_in_place(int argc, char** argv, ziv_trace_cmd* row, ziv_opt_grammar grammar,
                           output_options out_opt, bool multifile)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return;
    }
    const char* out = nullptr;
    const char* common = nullptr;
    const char* last_file = nullptr;
    ziv_opt_scanner line(argc, argv, grammar);
    for (ziv_opt_item item; line.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            last_file = ziv_is_regular_input(item.text) ? item.text : last_file;
        } else if (is_output(item, out_opt)) {
            out = item.value;  // the tool keeps the last one
        } else if (multifile && common == nullptr && item.value != nullptr &&
                   (ziv_opt_is(item, "-m") || ziv_opt_is(item, "--multifile"))) {
            common = item.value;
        }
    }
    if (out != nullptr) {
        ziv_parse_single_in2out_cmd(last_file, out, row);
        return;
    }
    if (ziv_init_trace_info(nullptr, row) != 0) {
        return;
    }
    record_in_place(argc, argv, grammar, row->info);
    if (common != nullptr && ziv_append_trace_file(&row->info->outputs, common) == 0) {
        row->info->flags |= ZIV_TRACE_LINK_PAIRED;
    }
}

// The first two operands of a line and how many there are.
struct operands {
    const char* first = nullptr;
    const char* second = nullptr;
    int count = 0;

    void add(const char* text)
    {
        if (count == 0) {
            first = text;
        } else if (count == 1) {
            second = text;
        }
        ++count;
    }
};

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_parse_strip_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    parse_new_or_in_place(argc, argv, row, ziv_grammar(kStripValues), {"-o", "--output-file"}, false);
    return 0;
}

ZIV_EXPORT int ziv_parse_dwz_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    parse_new_or_in_place(argc, argv, row, ziv_grammar(kDwzValues), {"-o", "--output"}, true);
    return 0;
}

ZIV_EXPORT int ziv_parse_eu_elfcompress_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    parse_new_or_in_place(argc, argv, row, ziv_grammar(kElfcompressValues), {"-o", "--output"}, false);
    return 0;
}

ZIV_EXPORT int ziv_parse_eu_strip_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    const ziv_opt_grammar grammar = ziv_grammar(kEuStripValues);
    const char* out = nullptr;
    const char* debug = nullptr;
    const char* in = nullptr;
    ziv_opt_scanner line(argc, argv, grammar);
    for (ziv_opt_item item; line.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            in = in == nullptr && ziv_is_regular_input(item.text) ? item.text : in;
        } else if (is_output(item, {"-o", "--output"})) {
            out = item.value;
        } else if (item.value != nullptr && ziv_opt_is(item, "-f")) {
            debug = item.value;
        }
    }
    if (out == nullptr && debug == nullptr) {
        if (ziv_init_trace_info(nullptr, row) == 0) {
            record_in_place(argc, argv, grammar, row->info);
        }
        return 0;
    }
    if (ziv_init_trace_info(nullptr, row) != 0 || in == nullptr) {
        return 0;
    }
    ziv_trace_info* info = row->info;
    // Without -o the file is stripped in place; with it, the file is only read.
    const char* stripped = out != nullptr ? out : in;
    ziv_append_trace_paired_file(in, stripped, &info->paired);
    if (strcmp(in, stripped) == 0) {
        info->flags |= ZIV_TRACE_IN_PLACE;
    }
    if (debug != nullptr) {
        ziv_append_trace_file(&info->outputs, debug);
        ziv_append_trace_file(&info->inputs, in);
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_eu_unstrip_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    const char* out = nullptr;
    const char* dir = nullptr;
    operands files;
    ziv_opt_scanner line(argc, argv, ziv_grammar(kEuUnstripValues));
    for (ziv_opt_item item; line.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            files.add(item.text);
        } else if (is_output(item, {"-o", "--output"})) {
            out = item.value;
        } else if (item.value != nullptr && (ziv_opt_is(item, "-d") || ziv_opt_is(item, "--output-directory"))) {
            dir = item.value;
        } else if (ziv_opt_is(item, "-n") || ziv_opt_is(item, "--list-only")) {
            return 0;  // writes nothing
        }
    }
    // Only the form with a stripped file and its debug file names files.
    if (files.count != 2 || !ziv_is_regular_input(files.first) || !ziv_is_regular_input(files.second) ||
        ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    ziv_trace_info* info = row->info;
    if (dir == nullptr && out == nullptr) {
        // The result goes into the debug file itself.
        ziv_append_trace_paired_file(files.second, files.second, &info->paired);
        ziv_append_trace_file(&info->common_inputs, files.first);
        info->flags |= ZIV_TRACE_IN_PLACE;
        return 0;
    }
    if (dir != nullptr) {
        ziv_block<char> joined{ziv_join_path(dir, files.first)};
        ziv_append_trace_file(&info->outputs, joined.block);
    }
    if (out != nullptr) {
        ziv_append_trace_file(&info->outputs, out);
    }
    ziv_append_trace_file(&info->inputs, files.first);
    ziv_append_trace_file(&info->inputs, files.second);
    return 0;
}

ZIV_EXPORT int ziv_parse_objcopy_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    const ziv_opt_grammar grammar = ziv_grammar(kObjcopyValues);
    operands files;
    ziv_opt_scanner line(argc, argv, grammar);
    for (ziv_opt_item item; line.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            files.add(item.text);
        }
    }
    // objcopy in [out]; anything else is refused by objcopy itself.
    if (files.count < 1 || files.count > 2 || !ziv_is_regular_input(files.first)) {
        return 0;
    }
    const char* in = files.first;
    const char* out = files.count == 2 ? files.second : in;
    bool in_place = strcmp(in, out) == 0;
    if (ziv_init_trace_info(in_place ? nullptr : out, row) != 0) {
        return 0;
    }
    ziv_trace_info* info = row->info;
    if (in_place) {
        ziv_append_trace_paired_file(in, in, &info->paired);
        info->flags |= ZIV_TRACE_IN_PLACE;
    } else {
        ziv_append_trace_file(&info->inputs, in);
    }
    // Files the command reads besides its input, and sections it dumps.
    ziv_opt_scanner options(argc, argv, grammar);
    for (ziv_opt_item item; options.next(&item);) {
        if (item.kind != ziv_opt_item::option || item.value == nullptr) {
            continue;
        }
        const char* file = nullptr;
        bool dumped = false;
        if (ziv_opt_is(item, "--add-gnu-debuglink")) {
            file = item.value;
        }
        for (const char* option : kObjcopySectionFiles) {
            // section=file; objcopy refuses the option without the "=".
            const char* eq = strchr(item.value, '=');
            if (ziv_opt_is(item, option) && eq != nullptr) {
                file = eq + 1;
                dumped = strcmp(option, "--dump-section") == 0;
            }
        }
        if (file == nullptr || file[0] == '\0') {
            continue;
        }
        if (dumped) {
            ziv_append_trace_file(&info->outputs, file);
            // A dumped section comes from the input.
            ziv_append_trace_file(&info->inputs, in);
        } else if (ziv_is_regular_input(file)) {
            ziv_append_trace_file(in_place ? &info->common_inputs : &info->inputs, file);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_elfedit_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv != nullptr && ziv_init_trace_info(nullptr, row) == 0) {
        record_in_place(argc, argv, ziv_grammar(kElfeditValues), row->info);
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_sepdebugcrcfix_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    // The debug directory comes first; being a directory, it is no file.
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (ziv_check_input_valid(argv[i]) > 0) {
            ziv_append_trace_paired_file(argv[i], argv[i], &row->info->paired);
        }
    }
    row->info->flags |= ZIV_TRACE_IN_PLACE;
    return 0;
}

ZIV_EXPORT int ziv_parse_debugedit_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    operands files;
    ziv_opt_scanner line(argc, argv, ziv_grammar(kDebugeditValues));
    for (ziv_opt_item item; line.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            files.add(item.text);
        }
    }
    if (files.count == 1 && ziv_is_regular_input(files.first)) {
        ziv_parse_single_in2out_cmd(files.first, files.first, row);
    }
    return 0;
}

}  // extern "C"
