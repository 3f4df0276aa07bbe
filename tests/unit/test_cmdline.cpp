// Argument vectors, response files and the generic command-line scanner.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ziv_cmdline.h"
#include "ziv_run.h"
#include "ziv_trace.h"

namespace {

using ziv_test::temp_dir;
using ziv_test::write_file;
using strings = std::vector<std::string>;

// A caller-owned argument vector (the traced process's own argv).
struct arg_vector {
    std::vector<std::string> text;
    std::vector<char*> ptrs;
    explicit arg_vector(strings args) : text(std::move(args))
    {
        for (auto& s : text) {
            ptrs.push_back(s.data());
        }
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(text.size()); }
    char** argv() { return ptrs.data(); }
};

// The result of ziv_expand_argv, released as its callers do.
struct expansion {
    arg_vector& original;
    char** vec;
    int count;
    explicit expansion(arg_vector& args) : original(args), count(args.argc())
    {
        vec = ziv_expand_argv(args.argc(), args.argv(), &count);
    }
    ~expansion()
    {
        if (vec != original.argv()) {
            ziv_freeargv(vec);
            free(vec);
        }
    }
    bool replaced() const { return vec != original.ptrs.data(); }
    strings words() const
    {
        strings out;
        for (int i = 0; i < count; ++i) {
            out.emplace_back(vec[i]);
        }
        return out;
    }
    bool terminated() const { return vec[count] == nullptr; }
};

strings split(std::string text)
{
    int n = -1;
    char** words = ziv_buildargv(text.data(), &n);
    strings out;
    for (int i = 0; words != nullptr && i < n; ++i) {
        out.emplace_back(words[i]);
    }
    if (words == nullptr) {
        EXPECT_EQ(n, 0);
    }
    free(words);
    return out;
}

// A trace command row whose trace info is released at scope end.
struct row {
    ziv_trace_cmd cmd{};
    ~row()
    {
        ziv_free_trace_info(cmd.info);
        free(cmd.info);
    }
    strings inputs() const { return names(cmd.info->inputs); }
    strings outputs() const { return names(cmd.info->outputs); }
    std::vector<std::pair<std::string, std::string>> pairs() const
    {
        std::vector<std::pair<std::string, std::string>> out;
        for (auto* p = cmd.info->paired; p != nullptr; p = p->next) {
            out.emplace_back(p->in_name ? p->in_name : "<null>", p->out_name ? p->out_name : "<null>");
        }
        return out;
    }
    static strings names(const ziv_trace_file* list)
    {
        strings out;
        for (; list != nullptr; list = list->next) {
            out.emplace_back(list->name);
        }
        return out;
    }
};

// A gcc-like descriptor: "-o x" and "-ox", "-MF x" and "-I x" take values.
int gcc_out_opt(const char* a) { return strcmp(a, "-o") == 0; }
const char* gcc_out_inside(const char* a) { return strncmp(a, "-o", 2) == 0 && a[2] != '\0' ? a + 2 : nullptr; }
int gcc_value_opt(const char* a) { return strcmp(a, "-MF") == 0 || strcmp(a, "-I") == 0 ? 1 : 0; }
int ends_in_c(const char* a)
{
    size_t n = strlen(a);
    return n > 2 && strcmp(a + n - 2, ".c") == 0 ? 1 : 0;
}

class cmdline_files : public ::testing::Test {
protected:
    temp_dir dir;
    std::string file(const std::string& name, const std::string& content = "x")
    {
        write_file(dir.sub(name), content);
        return dir.sub(name);
    }
};

// --- Response files ------------------------------------------------------------

TEST(ResponseFile, LineWithoutResponseFileIsTheCallersOwnVector)
{
    arg_vector args({"gcc", "-c", "a.c", "--via", "x", "-o@", "a@b"});
    expansion e(args);
    EXPECT_FALSE(e.replaced());
    EXPECT_EQ(e.count, 7);
}

TEST_F(cmdline_files, ExpandsResponseFileInPlaceOfItsArgument)
{
    std::string rsp = file("args.rsp", "-c 'my file.c'\n-DX");
    arg_vector args({"gcc", "@" + rsp, "-o", "out.o"});
    expansion e(args);
    ASSERT_TRUE(e.replaced());
    EXPECT_EQ(e.words(), (strings{"gcc", "-c", "my file.c", "-DX", "-o", "out.o"}));
    EXPECT_TRUE(e.terminated());
    // The caller's vector is untouched.
    EXPECT_EQ(args.text[1], "@" + rsp);
}

TEST_F(cmdline_files, ViaOptionReadsLikeAtAndExpansionIsOneLevelDeep)
{
    std::string inner = file("inner.rsp", "-DINNER");
    std::string outer = file("outer.rsp", "-DA @" + inner + " --via=" + inner);
    std::string second = file("second.rsp", "-DB");
    arg_vector args({"armcc", "--via=" + outer, "-c", "@" + second, "x.c"});
    expansion e(args);
    EXPECT_EQ(e.words(), (strings{"armcc", "-DA", "@" + inner, "--via=" + inner, "-c", "-DB", "x.c"}));
    EXPECT_TRUE(e.terminated());
}

TEST_F(cmdline_files, UnusableResponseFilesAreDropped)
{
    std::string good = file("good.rsp", "-O2");
    std::string empty = file("empty.rsp", "");
    std::string blanks = file("blanks.rsp", " \t\r\n  ");
    arg_vector args({"ld", "@" + dir.sub("missing.rsp"), "a.o", "@" + empty, "@" + dir.path(), "@" + good,
                     "@" + blanks, "--via=", "@", "b.o"});
    expansion e(args);
    EXPECT_EQ(e.words(), (strings{"ld", "a.o", "-O2", "b.o"}));
    EXPECT_TRUE(e.terminated());
}

TEST_F(cmdline_files, OnlyUnusableResponseFilesLeaveTheOwnVector)
{
    std::string empty = file("empty.rsp", "");
    arg_vector args({"ld", "@" + dir.sub("missing.rsp"), "--via=" + empty, "a.o"});
    expansion e(args);
    EXPECT_FALSE(e.replaced());
    EXPECT_EQ(e.count, 4);
}

TEST_F(cmdline_files, UnreadableResponseFileIsDropped)
{
    // A FIFO is never read (the program may want its data); a file without
    // read permission cannot be opened unless running with every right.
    std::string fifo = dir.sub("pipe.rsp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string locked = file("locked.rsp", "-DSECRET");
    chmod(locked.c_str(), 0);
    bool can_read_all = access(locked.c_str(), R_OK) == 0;
    std::string good = file("good.rsp", "-DOK");
    arg_vector args({"cc", "@" + fifo, "@" + locked, "@" + good, "@" + dir.sub("file.rsp/below")});
    errno = 1234;
    expansion e(args);
    EXPECT_EQ(errno, 1234);
    if (can_read_all) {
        EXPECT_EQ(e.words(), (strings{"cc", "-DSECRET", "-DOK"}));
    } else {
        EXPECT_EQ(e.words(), (strings{"cc", "-DOK"}));
    }
}

TEST_F(cmdline_files, ProgramNameIsNeverAResponseFile)
{
    std::string rsp = file("prog.rsp", "-DX");
    arg_vector args({"@" + rsp, "@" + rsp});
    expansion e(args);
    EXPECT_EQ(e.words(), (strings{"@" + rsp, "-DX"}));
}

TEST_F(cmdline_files, NamesWithQuotesBlanksAndShellCharactersKeptExactlyNothingRun)
{
    std::string marker = dir.sub("ran");
    const std::string nasty_name = "it's a \"rsp\" $(touch ran) `touch ran`;|&>x <y.rsp";
    std::string rsp = file(nasty_name,
                           "'$(touch " + marker + ")' \"`touch " + marker + "`\" a;b|c&d>e <f *.c ~ $HOME");
    arg_vector args({"gcc", "@" + rsp, "-o", "o;rm -rf x"});
    expansion e(args);
    EXPECT_EQ(e.words(), (strings{"gcc", "$(touch " + marker + ")", "`touch " + marker + "`", "a;b|c&d>e", "<f",
                                  "*.c", "~", "$HOME", "-o", "o;rm -rf x"}));
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    EXPECT_NE(access("ran", F_OK), 0);
}

TEST_F(cmdline_files, HugeResponseFileExpandsCompletely)
{
    std::string text;
    constexpr int kWords = 200000;
    for (int i = 0; i < kWords; ++i) {
        text += "obj/file_" + std::to_string(i) + ".o" + (i % 7 == 0 ? "\n" : " ");
    }
    std::string rsp = file("huge.rsp", text);
    arg_vector args({"ld", "-o", "app", "@" + rsp, "-lm"});
    expansion e(args);
    ASSERT_EQ(e.count, kWords + 4);
    EXPECT_STREQ(e.vec[3], "obj/file_0.o");
    EXPECT_STREQ(e.vec[3 + kWords - 1], ("obj/file_" + std::to_string(kWords - 1) + ".o").c_str());
    EXPECT_STREQ(e.vec[kWords + 3], "-lm");
    EXPECT_TRUE(e.terminated());
}

TEST_F(cmdline_files, BinaryResponseFileStopsAtItsFirstZeroByte)
{
    std::string bytes = std::string("-DA \x01\x7f\xc3\xa9\xff x") + std::string(1, '\0') + "-DHIDDEN";
    std::string rsp = file("bin.rsp", bytes);
    arg_vector args({"cc", "@" + rsp});
    expansion e(args);
    EXPECT_EQ(e.words(), (strings{"cc", "-DA", "\x01\x7f\xc3\xa9\xff", "x"}));
}

// --- Splitting response text -------------------------------------------------

TEST(ResponseText, BackslashesAreDeletedAndLineBreaksSeparate)
{
    EXPECT_EQ(split("a\\\\b"), (strings{"ab"}));
    EXPECT_EQ(split("a\\ b"), (strings{"a", "b"}));
    EXPECT_EQ(split("a\tb\r\nc\nd  e"), (strings{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(split("C:\\dir\\x.c"), (strings{"C:dirx.c"}));
}

TEST(ResponseText, Quotes)
{
    EXPECT_EQ(split("'two words' \"and three more\""), (strings{"two words", "and three more"}));
    EXPECT_EQ(split("''"), (strings{""}));
    EXPECT_EQ(split("'a'b"), (strings{"a", "b"}));
    EXPECT_EQ(split("it's here"), (strings{"it's", "here"}));
    EXPECT_EQ(split("x 'open  ended text "), (strings{"x", "open  ended text "}));
    EXPECT_EQ(split("x \"open"), (strings{"x", "open"}));
    EXPECT_EQ(split("'\"mixed' \"it's\""), (strings{"\"mixed", "it's"}));
}

TEST(ResponseText, NoWords)
{
    EXPECT_EQ(split(""), strings{});
    EXPECT_EQ(split("   \n\t "), strings{});
    EXPECT_EQ(split("'"), strings{});
    int n = 5;
    EXPECT_EQ(ziv_buildargv(nullptr, &n), nullptr);
}

TEST(ResponseText, ManyWordsGrowTheArray)
{
    std::string text;
    strings expected;
    for (int i = 0; i < 100; ++i) {
        expected.push_back("w" + std::to_string(i));
        text += expected.back() + " ";
    }
    EXPECT_EQ(split(text), expected);
    EXPECT_EQ(split(text.substr(0, text.size() - 1)), expected);  // no trailing blank
}

// --- Vector helpers ----------------------------------------------------------

TEST(ArgVector, ReallocFreeAndAppend)
{
    char a[] = "a", b[] = "b";
    char* old[] = {a, b};
    char** grown = ziv_realloc_argv(2, old, 5);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[0], a);
    EXPECT_EQ(grown[1], b);
    EXPECT_EQ(grown[2], nullptr);
    EXPECT_EQ(grown[4], nullptr);
    free(grown);
    EXPECT_EQ(ziv_realloc_argv(3, old, 2), nullptr);

    char w1[] = "x", w2[] = "y";
    char* words[] = {w1, w2};
    int count = 2;
    EXPECT_EQ(ziv_append_file_argv(4, old, &count, 2, words), nullptr);  // no room for the terminator
    EXPECT_EQ(ziv_append_file_argv(9, nullptr, &count, 2, words), nullptr);
    EXPECT_EQ(ziv_append_file_argv(9, old, &count, 2, nullptr), nullptr);
    EXPECT_EQ(count, 2);
    char** merged = ziv_append_file_argv(5, old, &count, 2, words);
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(count, 4);
    EXPECT_STREQ(merged[0], "a");
    EXPECT_STREQ(merged[3], "y");
    EXPECT_NE(merged[3], w2);  // copies
    EXPECT_EQ(merged[4], nullptr);
    ziv_freeargv(merged);
    EXPECT_EQ(merged[0], nullptr);
    EXPECT_EQ(merged[3], nullptr);
    free(merged);
    ziv_freeargv(nullptr);
}

// --- Generic scanner -----------------------------------------------------------

TEST_F(cmdline_files, OutputModeFindsLastOutputAndExistingInputs)
{
    std::string a = file("a.c"), b = file("b.c"), dep = file("dep.d"), inc = file("incdir");
    row r;
    ziv_cmdline_desc desc{0, gcc_out_opt, gcc_out_inside, gcc_value_opt, nullptr, &r.cmd};
    arg_vector args({"gcc", "-o", "first.o", a, "-MF", dep, "-I", inc, dir.sub("missing.c"), "-c", b, a,
                     "-osecond.o", "-o", "last.o"});
    EXPECT_EQ(ziv_parse_cmdline(args.argc(), args.argv(), &desc), 0);
    ASSERT_NE(r.cmd.info, nullptr);
    EXPECT_EQ(r.outputs(), (strings{"last.o"}));
    EXPECT_EQ(r.inputs(), (strings{a, b}));
    EXPECT_EQ(r.cmd.info->flags, 0);
}

TEST_F(cmdline_files, OutputModeWithoutUsableOutputRecordsNothing)
{
    std::string a = file("a.c");
    ziv_cmdline_desc desc{0, gcc_out_opt, gcc_out_inside, gcc_value_opt, nullptr, nullptr};
    for (const strings& line : {strings{"gcc", "-c", a}, strings{"gcc", a, "-o", "-"},
                                strings{"gcc", a, "-o", "/dev/null"}, strings{"gcc", a, "-o"}}) {
        row r;
        desc.cmd = &r.cmd;
        arg_vector args(line);
        EXPECT_EQ(ziv_parse_cmdline(args.argc(), args.argv(), &desc), 0);
        EXPECT_EQ(r.cmd.info, nullptr) << line.back();
    }
}

TEST_F(cmdline_files, OutputFromInsideOptionAndInputPredicate)
{
    std::string a = file("a.c"), h = file("a.h");
    row r;
    ziv_cmdline_desc desc{0, nullptr, gcc_out_inside, nullptr, ends_in_c, &r.cmd};
    arg_vector args({"cc", "-oprog", h, a, "virtual.c", "x.o"});
    ziv_parse_cmdline(args.argc(), args.argv(), &desc);
    ASSERT_NE(r.cmd.info, nullptr);
    EXPECT_EQ(r.outputs(), (strings{"prog"}));
    EXPECT_EQ(r.inputs(), (strings{a, "virtual.c"}));
}

TEST_F(cmdline_files, PairedModeRecordsFilesEditedInPlace)
{
    std::string a = file("a.o"), b = file("b.o");
    row r;
    ziv_cmdline_desc desc{1, nullptr, nullptr, gcc_value_opt, nullptr, &r.cmd};
    arg_vector args({"strip", "-I", a, b, "--strip-debug", a, dir.sub("none.o")});
    ziv_parse_cmdline(args.argc(), args.argv(), &desc);
    ASSERT_NE(r.cmd.info, nullptr);
    EXPECT_EQ(r.pairs(), (std::vector<std::pair<std::string, std::string>>{{b, b}, {a, a}}));
    EXPECT_EQ(r.cmd.info->flags, ZIV_TRACE_IN_PLACE);
    EXPECT_EQ(r.cmd.info->outputs, nullptr);

    row empty;
    desc.cmd = &empty.cmd;
    arg_vector none({"strip", "--help"});
    ziv_parse_cmdline(none.argc(), none.argv(), &desc);
    ASSERT_NE(empty.cmd.info, nullptr);
    EXPECT_EQ(empty.cmd.info->paired, nullptr);
    EXPECT_EQ(empty.cmd.info->flags, 0);
}

// --- Option helpers --------------------------------------------------------------

TEST(OptionValue, FirstOccurrenceWins)
{
    arg_vector args({"as", "-o", "one.o", "-otwo.o", "-o", "three.o", "--out"});
    EXPECT_STREQ(ziv_get_cmdline_filename(args.argc(), args.argv(), "-o", nullptr), "one.o");
    EXPECT_STREQ(ziv_get_cmdline_filename(args.argc(), args.argv(), nullptr, "-o"), "one.o");
    arg_vector joined({"as", "-otwo.o", "-o", "three.o"});
    EXPECT_STREQ(ziv_get_cmdline_filename(joined.argc(), joined.argv(), nullptr, "-o"), "two.o");
    EXPECT_EQ(ziv_get_cmdline_filename(joined.argc(), joined.argv(), "-o", nullptr), std::string("three.o"));
    EXPECT_EQ(ziv_get_cmdline_filename(args.argc(), args.argv(), "--out", nullptr), nullptr);  // no value
    EXPECT_EQ(ziv_get_cmdline_filename(args.argc(), args.argv(), "-x", "-y"), nullptr);
    EXPECT_EQ(ziv_get_cmdline_filename(args.argc(), args.argv(), nullptr, nullptr), nullptr);
}

TEST_F(cmdline_files, LastInputSkipsOptionValues)
{
    std::string a = file("a.s"), b = file("b.s"), dep = file("dep.d");
    arg_vector args({"as", a, "-MF", dep, b, "-MF", dep, "missing.s", "-W"});
    EXPECT_EQ(ziv_get_cmdline_single_input(args.argc(), args.argv(), gcc_value_opt), b);
    EXPECT_EQ(ziv_get_cmdline_single_input(args.argc(), args.argv(), nullptr), dep);
    arg_vector none({"as", "-W", "missing.s"});
    EXPECT_EQ(ziv_get_cmdline_single_input(none.argc(), none.argv(), nullptr), nullptr);
}

TEST(OnePair, EqualNamesMarkTheEditInPlace)
{
    row same;
    ziv_parse_single_in2out_cmd("f.o", "f.o", &same.cmd);
    ASSERT_NE(same.cmd.info, nullptr);
    EXPECT_EQ(same.pairs(), (std::vector<std::pair<std::string, std::string>>{{"f.o", "f.o"}}));
    EXPECT_EQ(same.cmd.info->flags, ZIV_TRACE_IN_PLACE);

    row differ;
    ziv_parse_single_in2out_cmd("f.in", "f.out", &differ.cmd);
    ASSERT_NE(differ.cmd.info, nullptr);
    EXPECT_EQ(differ.pairs(), (std::vector<std::pair<std::string, std::string>>{{"f.in", "f.out"}}));
    EXPECT_EQ(differ.cmd.info->flags, 0);

    row missing;
    ziv_parse_single_in2out_cmd(nullptr, "f.out", &missing.cmd);
    ziv_parse_single_in2out_cmd("f.in", nullptr, &missing.cmd);
    EXPECT_EQ(missing.cmd.info, nullptr);
}

TEST_F(cmdline_files, SimplePairedRecordsReadableFilesOnly)
{
    std::string a = file("vmlinux"), b = file("mod.ko");
    row r;
    arg_vector args({"sortextable", a, "-v", "@" + b, dir.sub("gone"), b});
    ziv_parse_simple_paired_cmd(args.argc(), args.argv(), &r.cmd);
    ASSERT_NE(r.cmd.info, nullptr);
    EXPECT_EQ(r.pairs(), (std::vector<std::pair<std::string, std::string>>{{a, a}, {b, b}}));
    EXPECT_EQ(r.cmd.info->flags, ZIV_TRACE_IN_PLACE);

    row none;
    arg_vector missing({"recordmcount", dir.sub("nothing.o")});
    ziv_parse_simple_paired_cmd(missing.argc(), missing.argv(), &none.cmd);
    ASSERT_NE(none.cmd.info, nullptr);
    EXPECT_EQ(none.cmd.info->paired, nullptr);
    EXPECT_EQ(none.cmd.info->flags, ZIV_TRACE_IN_PLACE);
}

}  // namespace
