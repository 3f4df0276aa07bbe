// The driver, linker, archiver and ranlib parsers called directly on command
// lines over real files, and the dependency-file and linker-script readers
// on well-formed and malformed input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <tuple>

#include "ziv_file_util.h"
#include "ziv_parsers.h"
#include "ziv_run.h"

namespace ziv_test {
namespace {

// "a,b(lib)": names in order, link libraries marked.
std::string names(const ziv_trace_file* list)
{
    std::string out;
    for (; list != nullptr; list = list->next) {
        out += (out.empty() ? "" : ",") + std::string(list->name) + (list->type == ZIV_FILE_LINK_LIBRARY ? "(lib)" : "");
    }
    return out;
}

// What one parser call made of a command line (arguments separated by
// blanks), in one text: "in=... out=... pairs=in>out,... in-place reuse",
// empty parts left out; "untraced" when no trace record was made.
std::string parse(ziv_trace_parse_fn parser, const std::string& line)
{
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string w; words >> w;) {
        args.push_back(w);
    }
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ziv_trace_cmd row{"test", parser, 0, 0, 0, nullptr, {}};
    parser(static_cast<int>(args.size()), argv.data(), &row);
    std::string rebuilt;
    for (size_t i = 0; i < args.size(); ++i) {
        rebuilt += (i > 0 ? " " : "") + std::string(argv[i]);
    }
    EXPECT_EQ(rebuilt, line) << "the process's own arguments changed";
    if (row.info == nullptr) {
        return "untraced";
    }
    std::string pairs;
    for (const ziv_trace_paired_file* p = row.info->paired; p != nullptr; p = p->next) {
        pairs += (pairs.empty() ? "" : ",") + std::string(p->in_name != nullptr ? p->in_name : "-") + ">" +
                 (p->out_name != nullptr ? p->out_name : "-");
    }
    std::string out;
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"in=", names(row.info->inputs)},
                                     {"out=", names(row.info->outputs)}, {"pairs=", pairs}}) {
        out += value.empty() ? "" : " " + key + value;
    }
    int flags = row.info->flags;
    for (const auto& [bit, name] : {std::pair<int, const char*>{ZIV_TRACE_IN_PLACE, " in-place"},
                                    {ZIV_TRACE_REUSE_TARGET, " reuse"}}) {
        out += (flags & bit) != 0 ? name : "";
        flags &= ~bit;
    }
    out += flags != 0 ? " flags=" + std::to_string(flags) : "";
    ziv_free_trace_info(row.info);
    free(row.info);
    return out.empty() ? "" : out.substr(1);
}

// Every test runs in a fresh directory of its own, under /tmp/.
class parser_dir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[PATH_MAX];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        old_ = here;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_.c_str()), 0); }

    // Writes each file, making its directories; "%" stands for the root.
    void files(std::initializer_list<std::string> list, const std::string& text = "x\n")
    {
        for (const std::string& n : list) {
            for (size_t at = n.find('/'); at != std::string::npos; at = n.find('/', at + 1)) {
                mkdir(n.substr(0, at).c_str(), 0755);
            }
            write_file(n, root(text));
        }
    }
    std::string root(std::string text) const
    {
        for (size_t at; (at = text.find('%')) != std::string::npos;) {
            text.replace(at, 1, dir_.path());
        }
        return text;
    }

    temp_dir dir_;
    std::string old_;
};

TEST_F(parser_dir, CommandLinesOfDriversLinkersArchiversAndRanlib)
{
    files({"src/a.c", "b.c", "Makefile", "x.o", "y.o", "main.o", "a.o", "b.o", "libx.a", "liby.a", "x.c", "y.c",
           "two words.c", "inc", "out", "noext", "map.d", "plugin.so", "opt/lib/libfoo.so", "d1/libbar.a",
           "d2/libbar.so", "d3/libbaz.a", "d3/libbaz.so", "d2/crt.o", "sys/libc.so.6", "sys/libc_nonshared.a",
           "sys/ld-linux.so.2", "sys/after.a", "lib/libreal.so.1", "more/libextra.a", "deep/name with blank.o"});
    files({"args.rsp"}, "-c 'two words.c'\ny.c\n");
    files({"out.rsp"}, "-o 'my prog' y.c");
    // A C library script, one spread over lines with comments, quotes,
    // SEARCH_DIR and -l, a script given with -T, two naming each other.
    files({"lib/libc.so"}, "/* GNU ld script */\nOUTPUT_FORMAT(elf64-x86-64)\nGROUP ( %/sys/libc.so.6 "
                           "%/sys/libc_nonshared.a  AS_NEEDED ( %/sys/ld-linux.so.2 ) %/sys/after.a )\n");
    files({"lib/libmulti.so"}, "INPUT(\n  /* a comment ( with parens ) */ libreal.so.1,\n  -lextra\n)\n"
                               "SEARCH_DIR(more)\nGROUP(\"deep/name with blank.o\")\n");
    files({"link.ld"}, "SECTIONS { .text : { *(.text) } }\nINPUT(x.o)\n");
    files({"liba.so"}, "GROUP(-lb x.o)\n");
    files({"libb.so"}, "GROUP(-la)\n");
    // A search directory deeper than 256 bytes.
    std::string deep = "%/d";
    while (root(deep).size() < 300) {
        deep += "/dddddddddddddddddddddddddddddd";
    }
    files({deep.substr(2) + "/libdeep.a"});
    ASSERT_EQ(dir_.path().rfind("/tmp/", 0), 0u);

    const std::vector<std::tuple<ziv_trace_parse_fn, std::string, std::string>> cases = {
        // Compile and assemble only: one pair per source, in the working
        // directory; objects are no input; "-I" takes its value even here.
        {ziv_parse_gcc_cmd, "gcc -c src/a.c b.c x.o", "pairs=src/a.c>a.o,b.c>b.o in-place"},
        {ziv_parse_gcc_cmd, "gcc -S b.c", "pairs=b.c>b.s in-place"},
        {ziv_parse_gcc_cmd, "gcc -c -S b.c", "pairs=b.c>b.o in-place"},
        {ziv_parse_gcc_cmd, "gcc -c Makefile", "pairs=Makefile>- in-place"},
        {ziv_parse_gcc_cmd, "gcc -I b.c -c src/a.c", "pairs=src/a.c>a.o in-place"},
        // A named output takes sources and libraries, no objects, and reuses
        // the target; "inc" and "out" exist but are values of -I and -o.
        {ziv_parse_gcc_cmd, "gcc -o prog main.o libx.a", "in=libx.a out=prog reuse"},
        {ziv_parse_gcc_cmd, "gcc -oprog x.c", "in=x.c out=prog reuse"},
        {ziv_parse_gcc_cmd, "gcc -I inc -o out x.c", "in=x.c out=out reuse"},
        {ziv_parse_gcc_cmd, "gcc -o first x.c -o second", "in=x.c out=second reuse"},
        {ziv_parse_gcc_cmd, "gcc -o x.i -E x.c", "in=x.c out=x.i reuse"},
        {ziv_parse_gcc_cmd, "gcc -E x.c", "untraced"},
        {ziv_parse_gcc_cmd, "gcc x.c", "untraced"},
        {ziv_parse_gcc_cmd, "gcc -c x.c -E", "untraced"},
        {ziv_parse_gcc_cmd, "gcc -o /dev/null x.c", "untraced"},
        {ziv_parse_gcc_cmd, "gcc -c x.c -o -", "untraced"},
        {ziv_parse_gcc_cmd, "gcc -o", "untraced"},
        // Response files are expanded before the scan.
        {ziv_parse_gcc_cmd, "gcc @args.rsp", "pairs=two words.c>two words.o,y.c>y.o in-place"},
        {ziv_parse_gcc_cmd, "gcc --via=out.rsp", "in=y.c out=my prog reuse"},
        // Libraries requested once, found in search order, .so before .a
        // within a directory; without a search directory dropped.
        {ziv_parse_ld_cmd, "ld -o app main.o -Lopt/lib -lfoo -lfoo", "in=main.o,opt/lib/libfoo.so(lib) out=app"},
        {ziv_parse_ld_cmd, "ld -o app -L d1 --library-path=d2 -Ld3 -lbar -l baz --library=:crt.o -lnowhere",
         "in=d1/libbar.a(lib),d3/libbaz.so(lib),d2/crt.o(lib) out=app"},
        {ziv_parse_ld_cmd, "ld -o app -Ld1 -Ld2 -l:crt.o", "in=d2/crt.o(lib) out=app"},
        {ziv_parse_ld_cmd, "ld -o app main.o -lfoo", "in=main.o out=app"},
        {ziv_parse_ld_cmd, "ld -L" + deep + " -o app -ldeep", "in=" + deep + "/libdeep.a(lib) out=app"},
        // No output, or one thrown away; options' values and objects under
        // /tmp/ (a driver's temporary files) are no inputs.
        {ziv_parse_ld_cmd, "ld -o /dev/null x.o", "untraced"},
        {ziv_parse_ld_cmd, "ld -o - x.o", "untraced"},
        {ziv_parse_ld_cmd, "ld x.o", "untraced"},
        {ziv_parse_ld_cmd, "ld --output=app x.o %/y.o noext -MD map.d -plugin plugin.so -o", "in=x.o out=app"},
        // Text libraries are scripts: references resolve in place, files a
        // script names directly follow; each library is requested once, so
        // scripts naming each other end.
        {ziv_parse_ld_cmd, "ld -o app x.o -Llib -lc",
         "in=x.o,lib/libc.so(lib),%/sys/libc.so.6,%/sys/libc_nonshared.a,%/sys/ld-linux.so.2,%/sys/after.a out=app"},
        {ziv_parse_ld_cmd, "ld -o app -Llib -lmulti",
         "in=lib/libmulti.so(lib),lib/libreal.so.1(lib),more/libextra.a(lib),deep/name with blank.o out=app"},
        {ziv_parse_ld_cmd, "ld -o app -T link.ld", "in=x.o out=app"},
        {ziv_parse_ld_cmd, "ld -o app --script=link.ld", "in=x.o out=app"},
        {ziv_parse_ld_cmd, "ld -o app -L. -la", "in=./liba.so(lib),./libb.so(lib),x.o out=app"},
        // Members walked backwards; an existing archive is read too (armar
        // here); a missing member is skipped, an option ends the walk.
        {ziv_parse_ar_cmd, "ar rcs libnew.a a.o b.o", "in=b.o,a.o out=libnew.a"},
        {ziv_parse_armar_cmd, "armar rcs libx.a a.o b.o", "in=b.o,a.o,libx.a out=libx.a in-place"},
        {ziv_parse_ar_cmd, "ar rcs libnew.a", ""},
        {ziv_parse_ar_cmd, "ar rcs libnew.a a.o gone.o", "in=a.o out=libnew.a"},
        {ziv_parse_ar_cmd, "ar rcs libnew.a --plugin a.o", "in=a.o"},
        {ziv_parse_ar_cmd, "ar rcs archive a.o b.o", "in=b.o,a.o out=archive"},
        {ziv_parse_ranlib_cmd, "ranlib --plugin plugin.so libx.a liby.a gone.a",
         "pairs=libx.a>libx.a,liby.a>liby.a in-place"},
    };
    for (const auto& [parser, line, want] : cases) {
        EXPECT_EQ(parse(parser, root(line)), root(want)) << line;
    }
}

TEST_F(parser_dir, MalformedScriptsNeverEscapeTheirFile)
{
    files({"x.o", "y.o"});
    std::string binary = "INPUT(y.o)\n";
    std::mt19937 gen(7);
    for (int i = 0; i < 4096; ++i) {
        binary += static_cast<char>(gen());
    }
    const std::vector<std::pair<std::string, std::string>> scripts = {
        {"INPUT(x.o /* never closed y.o)", "in=x.o"},         // the comment eats the rest
        {"INPUT(\"x.o y.o)", ""},                              // unclosed quote ends the script
        {"INPUT(x.o y.o", "in=x.o,y.o"},                       // missing ")": what was named
        {"GROUP(((x.o)))) ) INPUT(y.o)", "in=x.o,y.o"},        // unbalanced parentheses
        {"INPUTX(x.o) input(y.o) GROUP", ""},                  // not statements
        {std::string(5 * 1024 * 1024, ' ') + "INPUT(x.o)", ""},  // too big to be read
        {binary, "in=y.o"},
        {"INPUT(" + std::string(10000, 'n') + " x.o)", "in=x.o"},  // over-long name skipped
        {"INPUT(/no/such/file.a missing.o)", ""},              // neither exists nor found
    };
    for (const auto& [text, want] : scripts) {
        write_file("bad.ld", text);
        EXPECT_EQ(parse(ziv_parse_ld_cmd, "ld -o app -T bad.ld"), want + (want.empty() ? "" : " ") + "out=app")
            << text.substr(0, 60);
        EXPECT_EQ(g_ziv_ld_input, nullptr);
        EXPECT_EQ(g_ziv_ld_path, nullptr);
        EXPECT_EQ(g_ziv_ld_lib, nullptr);
    }
}

// The header list of a rule, read from just after its source name: the rule
// continues from `start` in a buffer of `size` bytes into the stream.
ziv_trace_file* header_list(std::string text, const std::string& start = "", size_t size = 32768)
{
    text = text.empty() ? "\n" : text;
    FILE* f = fmemopen(text.data(), text.size(), "r");
    EXPECT_NE(f, nullptr);
    std::vector<char> buffer(size);
    start.copy(buffer.data(), size - 1);
    ziv_trace_file* list = ziv_get_hdep_input(f, buffer.data(), static_cast<int>(size), 0);
    fclose(f);
    return list;
}

std::string headers_of(const std::string& text, const std::string& start = "", size_t size = 32768)
{
    ziv_trace_file* list = header_list(text, start, size);
    std::string out = names(list);
    ziv_free_trace_file(list);
    return out;
}

TEST(dependency_file, RulesAsCompilersWriteThemAndMalformedOnes)
{
    const std::vector<std::pair<std::string, std::string>> rules = {
        {" x.h \\\n y.h \\\n /usr/include/z.h\n", "x.h,y.h,/usr/include/z.h"},
        // make's quoting undone: blanks, hash and dollar; quotes and colons as is.
        {" sp\\ ace/b\\ c.h q\\#x$$y.h it's.h \"d\".h co:lon.h\n", "sp ace/b c.h,q#x$y.h,it's.h,\"d\".h,co:lon.h"},
        {" x.h\nx.h:\n", "x.h"},  // -MP phony rules are not headers of the rule
        {"\tx.h  x.h \\\r\n y.h\r\n", "x.h,y.h"},  // CR LF, tabs, doubled blanks, repeats
        {"\n", ""},
        {"", ""},
        {" x.h \\", "x.h"},
        {" x.h y", "x.h,y"},
        {" x.h\\", "x.h"},
        {std::string(" x.h\0 y.h\n", 10), "x.h"},
        // A name longer than any path is skipped; the names after it are
        // kept, even across the reader's buffer refills.
        {" " + std::string(100000, 'n') + " y.h " + std::string(40000, 'm') + ".h z.h\n", "y.h,z.h"},
    };
    for (const auto& [text, want] : rules) {
        EXPECT_EQ(headers_of(text), want) << text.substr(0, 60);
    }
    EXPECT_EQ(headers_of(" y.h \\\n z.h\nphony.h:\n", "x.h \\\n", 64), "x.h,y.h,z.h");

    // More headers than any translation unit has: the list stops at its cap.
    std::string many;
    for (int i = 0; i < 120000; ++i) {
        many += " \\\n h" + std::to_string(i) + ".h";
    }
    std::string h = headers_of(many + "\n");
    EXPECT_EQ(std::count(h.begin(), h.end(), ',') + 1, 100000);
    EXPECT_EQ(h.substr(0, 10), "h0.h,h1.h,");
    std::mt19937 gen(11);
    for (int round = 0; round < 20; ++round) {
        std::string noise(70000, '\0');
        for (char& c : noise) {
            c = static_cast<char>(gen());
        }
        ziv_trace_file* list = header_list(noise);
        for (const ziv_trace_file* n = list; n != nullptr; n = n->next) {
            EXPECT_LT(std::strlen(n->name), 4096u);
        }
        ziv_free_trace_file(list);
    }
}

}  // namespace
}  // namespace ziv_test
