// Argument vectors, response files and the command-line helpers.
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
    strings text;
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

// Works in a new temporary directory.
struct in_temp_dir {
    temp_dir dir;
    ziv_test::in_dir here{dir.path()};
};

// ziv_expand_argv's result as words, released as its callers do; "<own>"
// first when the caller's own vector came back.
strings expand(strings args)
{
    arg_vector a(std::move(args));
    int count = a.argc();
    char** vec = ziv_expand_argv(a.argc(), a.argv(), &count);
    strings out;
    if (vec == a.argv()) {
        out.push_back("<own>");
    }
    for (int i = 0; i < count; ++i) {
        out.emplace_back(vec[i]);
    }
    EXPECT_EQ(vec[count], nullptr);
    if (vec != a.argv()) {
        ziv_freeargv(vec);
        free(vec);
    }
    return out;
}

strings split(std::string text)
{
    int n = -1;
    char** words = ziv_buildargv(text.data(), &n);
    strings out(words, words + (words ? n : 0));
    EXPECT_EQ(n, words ? n : 0);
    free(words);
    return out;
}

// What a command's trace info holds, as one line ("untraced" without one);
// the info is released.
std::string traced(ziv_trace_cmd& cmd)
{
    if (cmd.info == nullptr) {
        return "untraced";
    }
    auto names = [](const ziv_trace_file* f) {
        std::string s;
        for (; f != nullptr; f = f->next) {
            s += std::string(" ") + f->name;
        }
        return s;
    };
    std::string s = "out:" + names(cmd.info->outputs) + " in:" + names(cmd.info->inputs);
    s += " pairs:";
    for (const ziv_trace_paired_file* p = cmd.info->paired; p != nullptr; p = p->next) {
        s += std::string(" ") + (p->in_name ? p->in_name : "-") + ">" + (p->out_name ? p->out_name : "-");
    }
    s += " flags " + std::to_string(cmd.info->flags);
    ziv_free_trace_info(cmd.info);
    free(cmd.info);
    cmd.info = nullptr;
    return s;
}

TEST(ResponseFile, ExpansionReplacesEachUsableFileByItsWordsOneLevelDeep)
{
    in_temp_dir here;
    const std::string nasty = "it's a \"rsp\" $(touch ran) `touch ran`;|&>x <y.rsp";
    write_file("args.rsp", "-c 'my file.c'\n-DX");
    write_file("inner.rsp", "-DINNER");
    write_file("outer.rsp", "-DA @inner.rsp --via=inner.rsp");
    write_file("empty.rsp", "");
    write_file("blanks.rsp", " \t\r\n  ");
    write_file(nasty, "'$(touch ran)' \"`touch ran`\" a;b|c&d>e <f *.c ~ $HOME");
    const char binary[] = "-DA \x01\x7f\xc3\xa9\xff x\0-DHIDDEN";
    write_file("bin.rsp", std::string(binary, sizeof binary - 1));
    ASSERT_EQ(mkfifo("pipe.rsp", 0644), 0);  // never read: the program may want its data
    const struct {
        strings args, words;
    } cases[] = {
        {{"gcc", "-c", "a.c", "--via", "x", "-o@", "a@b"}, {"<own>", "gcc", "-c", "a.c", "--via", "x", "-o@", "a@b"}},
        {{"gcc", "@args.rsp", "-o", "out.o"}, {"gcc", "-c", "my file.c", "-DX", "-o", "out.o"}},
        {{"armcc", "--via=outer.rsp", "-c", "@inner.rsp", "x.c"},
         {"armcc", "-DA", "@inner.rsp", "--via=inner.rsp", "-c", "-DINNER", "x.c"}},
        {{"ld", "@missing.rsp", "a.o", "@empty.rsp", "@.", "@inner.rsp", "@blanks.rsp", "--via=", "@", "@pipe.rsp",
          "@args.rsp/below", "b.o"},
         {"ld", "a.o", "-DINNER", "b.o"}},
        // Only unusable files: the caller's own vector, "@" arguments and all.
        {{"ld", "@missing.rsp", "--via=empty.rsp"}, {"<own>", "ld", "@missing.rsp", "--via=empty.rsp"}},
        {{"@inner.rsp", "@inner.rsp"}, {"@inner.rsp", "-DINNER"}},  // never the program name
        {{"gcc", "@" + nasty, "-o", "o;rm -rf x"},
         {"gcc", "$(touch ran)", "`touch ran`", "a;b|c&d>e", "<f", "*.c", "~", "$HOME", "-o", "o;rm -rf x"}},
        {{"cc", "@bin.rsp"}, {"cc", "-DA", "\x01\x7f\xc3\xa9\xff", "x"}},  // up to the first zero byte
    };
    errno = 1234;
    for (const auto& c : cases) {
        EXPECT_EQ(expand(c.args), c.words) << c.args[1];
    }
    EXPECT_EQ(errno, 1234);
    EXPECT_NE(access("ran", F_OK), 0);
    // A file without read permission is dropped unless running with every right.
    write_file("locked.rsp", "-DSECRET");
    chmod("locked.rsp", 0);
    strings expected = {"cc", "-DSECRET", "-DINNER"};
    if (access("locked.rsp", R_OK) != 0) {
        expected.erase(expected.begin() + 1);
    }
    EXPECT_EQ(expand({"cc", "@locked.rsp", "@inner.rsp"}), expected);

    constexpr int kWords = 200000;  // a huge file expands completely
    std::string text;
    for (int i = 0; i < kWords; ++i) {
        text += "obj/file_" + std::to_string(i) + ".o" + (i % 7 == 0 ? "\n" : " ");
    }
    write_file("huge.rsp", text);
    strings words = expand({"ld", "-o", "app", "@huge.rsp", "-lm"});
    ASSERT_EQ(words.size(), kWords + 4u);
    EXPECT_EQ(words[3], "obj/file_0.o");
    EXPECT_EQ(words[kWords + 2], "obj/file_" + std::to_string(kWords - 1) + ".o");
    EXPECT_EQ(words.back(), "-lm");
    // Beyond the cap (a sparse file, nothing written) the argument stays as it is.
    ASSERT_EQ(truncate("huge.rsp", (64 << 20) + 1), 0);
    EXPECT_EQ(expand({"ld", "@huge.rsp", "a.o"}), (strings{"<own>", "ld", "@huge.rsp", "a.o"}));
}

TEST(ResponseFile, TextSplitting)
{
    const struct {
        std::string text;
        strings words;
    } cases[] = {
        // As the GNU tools read them: a backslash takes the next byte as it
        // is, quotes group and may sit inside a word, any blank separates.
        {"a\\\\b", {"a\\b"}},        {"a\\ b", {"a b"}},
        {"a\tb\r\nc\vd\f  e", {"a", "b", "c", "d", "e"}},
        {"C:\\dir\\x.c", {"C:dirx.c"}}, {"'two words' \"and three more\"", {"two words", "and three more"}},
        {"''", {""}},                 {"'a'b -I'inc dir'", {"ab", "-Iinc dir"}},
        {"\"-DMSG=\\\"hi there\\\"\" '-DQ=\\''", {"-DMSG=\"hi there\"", "-DQ='"}},
        {"it's here", {"its here"}},  {"x 'open  ended text ", {"x", "open  ended text "}},
        {"x \"open", {"x", "open"}},    {"'\"mixed' \"it's\"", {"\"mixed", "it's"}},
        {"", {}},                     {"   \n\t ", {}},
        {"'", {""}},                  {"end\\", {"end"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split(c.text), c.words) << c.text;
    }
    int n = 5;
    EXPECT_EQ(ziv_buildargv(nullptr, &n), nullptr);
    // Many words grow the array, with or without a trailing blank.
    std::string text;
    strings many;
    for (int i = 0; i < 100; ++i) {
        many.push_back("w" + std::to_string(i));
        text += many.back() + " ";
    }
    EXPECT_EQ(split(text), many);
    text.pop_back();
    EXPECT_EQ(split(text), many);
}

int takes_value(const char* a) { return strcmp(a, "-MF") == 0 || strcmp(a, "-I") == 0 ? 1 : 0; }

// The compiler parsers cover the usual gcc descriptor; here what they do
// not use, and the helpers of the smaller parsers.
TEST(CommandLine, ScannerAndHelpers)
{
    in_temp_dir here;
    for (const char* f : {"a.c", "a.h", "a.o", "b.o", "dep.d"}) {
        write_file(f, "x");
    }
    ziv_trace_cmd cmd{};
    auto scan = [&cmd](ziv_cmdline_desc desc, strings args) {
        arg_vector line(std::move(args));
        desc.cmd = &cmd;
        EXPECT_EQ(ziv_parse_cmdline(line.argc(), line.argv(), &desc), 0);
        return traced(cmd);
    };
    auto inside = [](const char* a) -> const char* { return strncmp(a, "-o", 2) == 0 && a[2] ? a + 2 : nullptr; };
    auto ends_in_c = [](const char* a) { return strlen(a) > 2 && strcmp(a + strlen(a) - 2, ".c") == 0 ? 1 : 0; };
    EXPECT_EQ(scan({0, nullptr, inside, nullptr, ends_in_c, nullptr},
                   {"cc", "-oprog", "a.h", "a.c", "v.c", "a.o", "a.c"}),
              "out: prog in: a.c v.c pairs: flags 0");
    EXPECT_EQ(scan({1, nullptr, nullptr, takes_value, nullptr, nullptr},
                   {"strip", "-I", "a.c", "b.o", "--strip-debug", "a.o", "b.o", "none.o"}),
              "out: in: pairs: b.o>b.o a.o>a.o flags 1");
    EXPECT_EQ(scan({1, nullptr, nullptr, takes_value, nullptr, nullptr}, {"strip", "--help"}),
              "out: in: pairs: flags 0");

    // The first occurrence of an option wins, unlike the output search.
    arg_vector as({"as", "-o", "one.o", "-otwo.o", "-o", "three.o", "--out"});
    EXPECT_STREQ(ziv_get_cmdline_filename(as.argc(), as.argv(), "-o", nullptr), "one.o");
    EXPECT_STREQ(ziv_get_cmdline_filename(as.argc(), as.argv(), nullptr, "-o"), "one.o");
    // The same from "one.o" on, as the program name of a shorter line.
    EXPECT_STREQ(ziv_get_cmdline_filename(as.argc() - 2, as.argv() + 2, nullptr, "-o"), "two.o");
    EXPECT_STREQ(ziv_get_cmdline_filename(as.argc() - 2, as.argv() + 2, "-o", nullptr), "three.o");
    EXPECT_EQ(ziv_get_cmdline_filename(as.argc(), as.argv(), "--out", nullptr), nullptr);  // no value
    EXPECT_EQ(ziv_get_cmdline_filename(as.argc(), as.argv(), "-x", "-y"), nullptr);
    EXPECT_EQ(ziv_get_cmdline_filename(as.argc(), as.argv(), nullptr, nullptr), nullptr);
    // The last existing file that is no option value.
    arg_vector in({"as", "a.c", "-MF", "dep.d", "a.h", "-MF", "dep.d", "missing.s", "-W"});
    EXPECT_STREQ(ziv_get_cmdline_single_input(in.argc(), in.argv(), takes_value), "a.h");
    EXPECT_STREQ(ziv_get_cmdline_single_input(in.argc(), in.argv(), nullptr), "dep.d");
    EXPECT_EQ(ziv_get_cmdline_single_input(3, in.argv() + 6, nullptr), nullptr);

    ziv_parse_single_in2out_cmd("f.o", "f.o", &cmd);
    EXPECT_EQ(traced(cmd), "out: in: pairs: f.o>f.o flags 1");
    ziv_parse_single_in2out_cmd("f.in", "f.out", &cmd);
    EXPECT_EQ(traced(cmd), "out: in: pairs: f.in>f.out flags 0");
    ziv_parse_single_in2out_cmd(nullptr, "f.out", &cmd);
    ziv_parse_single_in2out_cmd("f.in", nullptr, &cmd);
    EXPECT_EQ(traced(cmd), "untraced");
    // sortextable, recordmcount: every readable file is edited in place.
    arg_vector files({"sortextable", "a.o", "-v", "@b.o", "gone", "b.o"});
    ziv_parse_simple_paired_cmd(files.argc(), files.argv(), &cmd);
    EXPECT_EQ(traced(cmd), "out: in: pairs: a.o>a.o b.o>b.o flags 1");
    arg_vector gone({"recordmcount", "nothing.o"});
    ziv_parse_simple_paired_cmd(gone.argc(), gone.argv(), &cmd);
    EXPECT_EQ(traced(cmd), "out: in: pairs: flags 1");
}

}  // namespace
