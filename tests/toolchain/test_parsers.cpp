// The driver, linker, archiver and ranlib parsers called directly on command
// lines over real files, and the dependency-file and linker-script readers
// on well-formed and malformed input.
#include <fcntl.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "toolchain_env.h"
#include "ziv_file_util.h"
#include "ziv_parsers.h"

namespace ziv_test {
namespace {

std::vector<std::string> names(const ziv_trace_file* list)
{
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) {
        out.push_back(list->name);
    }
    return out;
}

using pair_list = std::vector<std::pair<std::string, std::string>>;

pair_list pairs(const ziv_trace_paired_file* list)
{
    pair_list out;
    for (; list != nullptr; list = list->next) {
        out.push_back({list->in_name != nullptr ? list->in_name : "<none>",
                       list->out_name != nullptr ? list->out_name : "<none>"});
    }
    return out;
}

// A command line as the parsers receive it.
class line {
public:
    line(std::initializer_list<std::string> args) : args_(args)
    {
        for (std::string& a : args_) {
            ptrs_.push_back(a.data());
        }
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(args_.size()); }
    char** argv() { return ptrs_.data(); }

private:
    std::vector<std::string> args_;
    std::vector<char*> ptrs_;
};

// What one parser call made of a line.
struct parsed {
    bool traced = false;
    int flags = 0;
    std::vector<std::string> inputs, outputs;
    std::vector<int> input_types;
    pair_list paired;
};

parsed parse(ziv_trace_parse_fn parser, line l)
{
    ziv_trace_cmd row{"test", parser, 0, 0, 0, nullptr, {}};
    char** before = l.argv();
    std::vector<std::string> copy;
    for (int i = 0; i < l.argc(); ++i) {
        copy.push_back(before[i]);
    }
    parser(l.argc(), l.argv(), &row);
    for (int i = 0; i < l.argc(); ++i) {
        EXPECT_EQ(copy[i], l.argv()[i]) << "the process's own argv changed";
    }
    parsed out;
    if (row.info == nullptr) {
        return out;
    }
    out.traced = true;
    out.flags = row.info->flags;
    out.inputs = names(row.info->inputs);
    out.outputs = names(row.info->outputs);
    for (const ziv_trace_file* f = row.info->inputs; f != nullptr; f = f->next) {
        out.input_types.push_back(f->type);
    }
    out.paired = pairs(row.info->paired);
    ziv_free_trace_info(row.info);
    free(row.info);
    return out;
}

// Every test runs in a fresh directory of its own.
class in_scratch_dir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[PATH_MAX];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        old_ = here;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_.c_str()), 0); }

    void files(std::initializer_list<std::string> names)
    {
        for (const std::string& n : names) {
            size_t slash = n.rfind('/');
            if (slash != std::string::npos) {
                std::string d = n.substr(0, slash);
                for (size_t at = 0; (at = d.find('/', at + 1)) != std::string::npos;) {
                    mkdir(d.substr(0, at).c_str(), 0755);
                }
                mkdir(d.c_str(), 0755);
            }
            write_file(n, "x\n");
        }
    }
    std::string abs(const std::string& name) const { return dir_.sub(name); }

    temp_dir dir_;
    std::string old_;
};

// --- Compiler drivers ------------------------------------------------------------

using gcc_parser = in_scratch_dir;

TEST_F(gcc_parser, CompileAndAssembleOnlyGiveOnePairPerSourceInTheWorkingDirectory)
{
    files({"src/a.c", "b.c", "Makefile", "x.o"});
    parsed p = parse(ziv_parse_gcc_cmd, {"gcc", "-c", "src/a.c", "b.c", "x.o"});
    EXPECT_EQ(p.paired, (pair_list{{"src/a.c", "a.o"}, {"b.c", "b.o"}}));  // objects are no input
    EXPECT_EQ(p.flags, ZIV_TRACE_IN_PLACE);
    EXPECT_EQ(parse(ziv_parse_gcc_cmd, {"gcc", "-S", "b.c"}).paired, (pair_list{{"b.c", "b.s"}}));
    EXPECT_EQ(parse(ziv_parse_gcc_cmd, {"gcc", "-c", "-S", "b.c"}).paired, (pair_list{{"b.c", "b.o"}}));
    EXPECT_EQ(parse(ziv_parse_gcc_cmd, {"gcc", "-c", "Makefile"}).paired, (pair_list{{"Makefile", "<none>"}}));
    // "-I" takes the next argument as its value even in paired mode.
    EXPECT_EQ(parse(ziv_parse_gcc_cmd, {"gcc", "-I", "b.c", "-c", "src/a.c"}).paired,
              (pair_list{{"src/a.c", "a.o"}}));
}

TEST_F(gcc_parser, NamedOutputTakesSourcesAndLibrariesButNoObjectsAndReusesTheTarget)
{
    files({"main.o", "libx.a", "x.c", "inc", "out"});
    parsed p = parse(ziv_parse_gcc_cmd, {"gcc", "-o", "prog", "main.o", "libx.a"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"prog"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"libx.a"});
    EXPECT_EQ(p.flags, ZIV_TRACE_REUSE_TARGET);

    p = parse(ziv_parse_gcc_cmd, {"gcc", "-oprog", "x.c"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"prog"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"x.c"});

    // "inc" and "out" are existing files, but values of -I and -o.
    p = parse(ziv_parse_gcc_cmd, {"gcc", "-I", "inc", "-o", "out", "x.c"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"out"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"x.c"});

    p = parse(ziv_parse_gcc_cmd, {"gcc", "-o", "first", "x.c", "-o", "second"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"second"});

    p = parse(ziv_parse_gcc_cmd, {"gcc", "-o", "x.i", "-E", "x.c"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"x.i"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"x.c"});
}

TEST_F(gcc_parser, LinesWithNothingToTrace)
{
    files({"x.c"});
    for (line l : {line{"gcc", "-E", "x.c"}, line{"gcc", "x.c"}, line{"gcc", "-c", "x.c", "-E"},
                   line{"gcc", "-o", "/dev/null", "x.c"}, line{"gcc", "-c", "x.c", "-o", "-"},
                   line{"gcc", "-o"}}) {
        EXPECT_FALSE(parse(ziv_parse_gcc_cmd, l).traced) << l.argv()[1] << " " << l.argv()[l.argc() - 1];
    }
}

TEST_F(gcc_parser, ResponseFilesAreExpandedBeforeTheScan)
{
    files({"two words.c", "y.c"});
    write_file("args.rsp", "-c 'two words.c'\ny.c\n");
    parsed p = parse(ziv_parse_gcc_cmd, {"gcc", "@args.rsp"});
    EXPECT_EQ(p.paired, (pair_list{{"two words.c", "two words.o"}, {"y.c", "y.o"}}));
    write_file("out.rsp", "-o 'my prog' y.c");
    p = parse(ziv_parse_gcc_cmd, {"gcc", "--via=out.rsp"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"my prog"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"y.c"});
}

// --- Linkers ---------------------------------------------------------------------

using ld_parser = in_scratch_dir;

TEST_F(ld_parser, LibrariesAreRequestedOnceAndFoundInSearchOrderSharedBeforeStatic)
{
    files({"main.o", "opt/lib/libfoo.so", "d1/libbar.a", "d2/libbar.so", "d3/libbaz.a", "d3/libbaz.so",
           "d2/crt.o"});
    parsed p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "main.o", "-Lopt/lib", "-lfoo", "-lfoo"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"app"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"main.o", "opt/lib/libfoo.so"}));
    EXPECT_EQ(p.input_types, (std::vector<int>{0, ZIV_FILE_LINK_LIBRARY}));
    EXPECT_EQ(p.flags, 0);

    // Directories in order; within one, .so before .a.
    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-L", "d1", "--library-path=d2", "-Ld3", "-lbar", "-l", "baz",
                                 "--library=:crt.o", "-lnowhere"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"d1/libbar.a", "d3/libbaz.so", "d2/crt.o"}));

    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-Ld1", "-Ld2", "-l:crt.o"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"d2/crt.o"});

    // No search directory: the library is dropped.
    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "main.o", "-lfoo"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"main.o"});
}

TEST_F(ld_parser, OutputsAndInputsThatAreNot)
{
    files({"x.o", "y.o", "noext", "map.d", "plugin.so"});
    EXPECT_FALSE(parse(ziv_parse_ld_cmd, {"ld", "-o", "/dev/null", "x.o"}).traced);
    EXPECT_FALSE(parse(ziv_parse_ld_cmd, {"ld", "-o", "-", "x.o"}).traced);
    EXPECT_FALSE(parse(ziv_parse_ld_cmd, {"ld", "x.o"}).traced);
    parsed p = parse(ziv_parse_ld_cmd, {"ld", "--output=app", "x.o", abs("y.o"), "noext", "-MD", "map.d",
                                        "-plugin", "plugin.so", "-o"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"app"});
    // Our scratch directory lies under /tmp/: like a driver's temporary
    // objects, absolute names there are not inputs.
    ASSERT_EQ(abs("y.o").rfind("/tmp/", 0), 0u);
    EXPECT_EQ(p.inputs, std::vector<std::string>{"x.o"});
}

TEST_F(ld_parser, TextLibraryIsAScriptWhoseGroupAddsItsFiles)
{
    files({"sys/libc.so.6", "sys/libc_nonshared.a", "sys/ld-linux.so.2", "sys/after.a", "lib/libreal.so.1",
           "x.o"});
    write_file("lib/libc.so", "/* GNU ld script */\nOUTPUT_FORMAT(elf64-x86-64)\nGROUP ( " + abs("sys/libc.so.6") +
                                  " " + abs("sys/libc_nonshared.a") + "  AS_NEEDED ( " +
                                  abs("sys/ld-linux.so.2") + " ) " + abs("sys/after.a") + " )\n");
    parsed p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "x.o", "-Llib", "-lc"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"x.o", "lib/libc.so", abs("sys/libc.so.6"),
                                                  abs("sys/libc_nonshared.a"), abs("sys/ld-linux.so.2"),
                                                  abs("sys/after.a")}));

    // Spread over lines, commented, quoted, relative names searched along
    // the path (SEARCH_DIR included), -l inside a script.
    files({"more/libextra.a", "deep/name with blank.o"});
    write_file("lib/libmulti.so", "INPUT(\n  /* a comment ( with parens ) */ libreal.so.1,\n  -lextra\n)\n"
                                  "SEARCH_DIR(more)\nGROUP(\"deep/name with blank.o\")\n");
    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-Llib", "-lmulti"});
    // References resolve in place; files a script names directly follow.
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"lib/libmulti.so", "lib/libreal.so.1", "more/libextra.a",
                                                  "deep/name with blank.o"}));

    // -T and --script= name scripts directly.
    write_file("link.ld", "SECTIONS { .text : { *(.text) } }\nINPUT(x.o)\n");
    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-T", "link.ld"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"x.o"});
    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "--script=link.ld"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"x.o"});
}

TEST_F(ld_parser, MalformedScriptsNeverEscapeTheirFile)
{
    files({"x.o", "y.o"});
    std::string huge(5 * 1024 * 1024, ' ');
    huge += "INPUT(x.o)\n";
    std::string binary = "INPUT(y.o)\n";
    std::mt19937 gen(7);
    for (int i = 0; i < 4096; ++i) {
        binary += static_cast<char>(gen());
    }
    std::string long_name = "INPUT(" + std::string(10000, 'n') + " x.o)";
    const std::vector<std::pair<std::string, std::vector<std::string>>> scripts = {
        {"INPUT(x.o /* never closed y.o)", {"x.o"}},      // the comment eats the rest
        {"INPUT(\"x.o y.o)", {}},                          // unclosed quote ends the script
        {"INPUT(x.o y.o", {"x.o", "y.o"}},                 // missing ")": what was named
        {"GROUP(((x.o)))) ) INPUT(y.o)", {"x.o", "y.o"}},  // unbalanced parentheses
        {"INPUTX(x.o) input(y.o) GROUP", {}},              // not statements
        {huge, {}},                                        // too big to be read
        {binary, {"y.o"}},
        {long_name, {"x.o"}},                              // over-long name skipped
        {"INPUT(/no/such/file.a missing.o)", {}},          // neither exists nor found
    };
    for (const auto& [text, want] : scripts) {
        SCOPED_TRACE(text.substr(0, 60));
        write_file("bad.ld", text);
        parsed p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-T", "bad.ld"});
        EXPECT_EQ(p.inputs, want);
        EXPECT_EQ(g_ziv_ld_input, nullptr);
        EXPECT_EQ(g_ziv_ld_path, nullptr);
        EXPECT_EQ(g_ziv_ld_lib, nullptr);
    }
}

TEST_F(ld_parser, ScriptsNamingEachOtherEndAndLibraryPathsOutgrowingOldBuffers)
{
    // a -> b -> a: each library is requested once, so the walk ends.
    write_file("liba.so", "GROUP(-lb x.o)\n");
    write_file("libb.so", "GROUP(-la)\n");
    files({"x.o"});
    parsed p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-L.", "-la"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"./liba.so", "./libb.so", "x.o"}));

    // A search directory deeper than 256 bytes still finds its library.
    std::string deep = "d";
    while (abs(deep).size() < 300) {
        deep += "/dddddddddddddddddddddddddddddd";
    }
    files({deep + "/libdeep.a"});
    p = parse(ziv_parse_ld_cmd, {"ld", "-o", "app", "-L" + abs(deep), "-ldeep"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{abs(deep) + "/libdeep.a"});
}

// --- Archivers -------------------------------------------------------------------

using ar_parser = in_scratch_dir;

TEST_F(ar_parser, MembersAreWalkedBackwardsAndAnExistingArchiveIsAlsoRead)
{
    files({"a.o", "b.o"});
    parsed p = parse(ziv_parse_ar_cmd, {"ar", "rcs", "libx.a", "a.o", "b.o"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"libx.a"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"b.o", "a.o"}));
    EXPECT_EQ(p.flags, 0);

    files({"libx.a"});
    p = parse(ziv_parse_armar_cmd, {"armar", "rcs", "libx.a", "a.o", "b.o"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"b.o", "a.o", "libx.a"}));
    EXPECT_EQ(p.flags, ZIV_TRACE_IN_PLACE);

    p = parse(ziv_parse_ar_cmd, {"ar", "rcs", "libx.a"});
    EXPECT_TRUE(p.traced);
    EXPECT_TRUE(p.inputs.empty() && p.outputs.empty());

    // A member that does not exist is no input but does not end the walk;
    // an option does.
    p = parse(ziv_parse_ar_cmd, {"ar", "rcs", "liby.a", "a.o", "gone.o"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"liby.a"});
    EXPECT_EQ(p.inputs, std::vector<std::string>{"a.o"});
    p = parse(ziv_parse_ar_cmd, {"ar", "rcs", "liby.a", "--plugin", "a.o"});
    EXPECT_TRUE(p.outputs.empty());

    // An archive without a suffix is still the archive, not its last member.
    p = parse(ziv_parse_ar_cmd, {"ar", "rcs", "archive", "a.o", "b.o"});
    EXPECT_EQ(p.outputs, std::vector<std::string>{"archive"});
    EXPECT_EQ(p.inputs, (std::vector<std::string>{"b.o", "a.o"}));
}

TEST_F(ar_parser, RanlibEditsEachArchiveInPlace)
{
    files({"libx.a", "liby.a", "plugin.so"});
    parsed p = parse(ziv_parse_ranlib_cmd, {"ranlib", "--plugin", "plugin.so", "libx.a", "liby.a", "gone.a"});
    EXPECT_EQ(p.paired, (pair_list{{"libx.a", "libx.a"}, {"liby.a", "liby.a"}}));
    EXPECT_EQ(p.flags, ZIV_TRACE_IN_PLACE);
}

// --- Dependency files ------------------------------------------------------------

// Header names of a rule, read from just after its source name.
std::vector<std::string> headers_of(const std::string& text)
{
    std::string copy = text.empty() ? std::string(1, '\n') : text;
    FILE* f = fmemopen(copy.data(), copy.size(), "r");
    EXPECT_NE(f, nullptr);
    char buffer[32768] = "";
    ziv_trace_file* list = ziv_get_hdep_input(f, buffer, sizeof buffer, 0);
    fclose(f);
    std::vector<std::string> out = names(list);
    ziv_free_trace_file(list);
    return out;
}

TEST(dependency_file, RulesAsCompilersWriteThem)
{
    EXPECT_EQ(headers_of(" x.h \\\n y.h \\\n /usr/include/z.h\n"),
              (std::vector<std::string>{"x.h", "y.h", "/usr/include/z.h"}));
    // make's quoting undone: blanks, hash and dollar; quotes and colons as is.
    EXPECT_EQ(headers_of(" sp\\ ace/b\\ c.h q\\#x$$y.h it's.h \"d\".h co:lon.h\n"),
              (std::vector<std::string>{"sp ace/b c.h", "q#x$y.h", "it's.h", "\"d\".h", "co:lon.h"}));
    // -MP phony rules after the first rule are not headers of it.
    EXPECT_EQ(headers_of(" x.h\nx.h:\n"), std::vector<std::string>{"x.h"});
    // CR LF line ends, tabs, doubled blanks and repeated names.
    EXPECT_EQ(headers_of("\tx.h  x.h \\\r\n y.h\r\n"), (std::vector<std::string>{"x.h", "y.h"}));
    EXPECT_TRUE(headers_of("\n").empty());
}

TEST(dependency_file, TruncatedAndMalformed)
{
    EXPECT_TRUE(headers_of("").empty());
    EXPECT_EQ(headers_of(" x.h \\"), std::vector<std::string>{"x.h"});
    EXPECT_EQ(headers_of(" x.h y"), (std::vector<std::string>{"x.h", "y"}));
    EXPECT_EQ(headers_of(" x.h\\"), std::vector<std::string>{"x.h"});
    EXPECT_EQ(headers_of(std::string(" x.h\0 y.h\n", 10)), std::vector<std::string>{"x.h"});
}

TEST(dependency_file, HugeAndBinaryInputStayBounded)
{
    // More headers than any translation unit has: the list stops at its cap.
    std::string many;
    for (int i = 0; i < 120000; ++i) {
        many += " \\\n h" + std::to_string(i) + ".h";
    }
    std::vector<std::string> h = headers_of(many + "\n");
    EXPECT_EQ(h.size(), 100000u);
    EXPECT_EQ(h.front(), "h0.h");

    // A name longer than any path is skipped; the names after it are kept,
    // even across the reader's buffer refills.
    EXPECT_EQ(headers_of(" " + std::string(100000, 'n') + " y.h " + std::string(40000, 'm') + ".h z.h\n"),
              (std::vector<std::string>{"y.h", "z.h"}));

    std::mt19937 gen(11);
    for (int round = 0; round < 20; ++round) {
        std::string noise(70000, '\0');
        for (char& c : noise) {
            c = static_cast<char>(gen());
        }
        for (const std::string& name : headers_of(noise)) {
            EXPECT_LT(name.size(), 4096u);
            EXPECT_EQ(name.find('\0'), std::string::npos);
        }
    }
}

TEST(dependency_file, HeaderWalkContinuesFromABufferIntoItsStream)
{
    std::string rest = " y.h \\\n z.h\nphony.h:\n";
    FILE* f = fmemopen(rest.data(), rest.size(), "r");
    ASSERT_NE(f, nullptr);
    char buffer[64] = "x.h \\\n";
    ziv_trace_file* list = ziv_get_hdep_input(f, buffer, sizeof buffer, 0);
    fclose(f);
    EXPECT_EQ(names(list), (std::vector<std::string>{"x.h", "y.h", "z.h"}));
    ziv_free_trace_file(list);
}

}  // namespace
}  // namespace ziv_test
