// The driver, linker, archiver and ranlib parsers called directly on command
// lines over real files, and the dependency-file and linker-script readers
// on well-formed and malformed input.
#include <gtest/gtest.h>
#include <fcntl.h>
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
#include "ziv_parsers_binutils.h"
#include "ziv_parsers_other.h"
#include "ziv_patch_text.h"
#include "ziv_run.h"

namespace ziv_test {
namespace {

using words = std::vector<std::string>;

// "a,b(lib)": names in order, link libraries and patch files marked.
std::string names(const ziv_trace_file* list)
{
    std::string out;
    for (; list != nullptr; list = list->next) {
        out += (out.empty() ? "" : ",") + std::string(list->name) +
               (list->type == ZIV_FILE_LINK_LIBRARY ? "(lib)" : list->type == ZIV_FILE_PATCH ? "(patch)" : "");
    }
    return out;
}

// What one parser call made of a command line, in one text:
// "in=... out=... common=... pairs=in>out,... in-place reuse ...", empty
// parts left out; "untraced" when no trace record was made. The row is
// named after the program, as the table's rows are.
std::string parse(ziv_trace_parse_fn parser, std::vector<std::string> args)
{
    const std::vector<std::string> original = args;
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::string tool = args[0].substr(args[0].rfind('/') + 1);
    ziv_trace_cmd row{tool.c_str(), parser, 0, 0, 0, nullptr, {}};
    errno = 1234;
    parser(static_cast<int>(args.size()), argv.data(), &row);
    EXPECT_EQ(errno, 1234) << args[0];
    EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.end() - 1), original) << "the process's own arguments changed";
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
                                     {"out=", names(row.info->outputs)}, {"common=", names(row.info->common_inputs)},
                                     {"pairs=", pairs}}) {
        out += value.empty() ? "" : " " + key + value;
    }
    int flags = row.info->flags;
    for (const auto& [bit, name] : {std::pair<int, const char*>{ZIV_TRACE_IN_PLACE, " in-place"},
                                    {ZIV_TRACE_OUT_SOURCE, " sources"}, {ZIV_TRACE_REUSE_TARGET, " reuse"},
                                    {ZIV_TRACE_LINK_PAIRED, " link-paired"}}) {
        out += (flags & bit) != 0 ? name : "";
        flags &= ~bit;
    }
    out += flags != 0 ? " flags=" + std::to_string(flags) : "";
    ziv_free_trace_info(row.info);
    free(row.info);
    return out.empty() ? "" : out.substr(1);
}

// The same for a line whose arguments are separated by blanks.
std::string parse(ziv_trace_parse_fn parser, const std::string& line)
{
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string w; words >> w;) {
        args.push_back(w);
    }
    return parse(parser, args);
}

// Every test runs in a fresh directory of its own, under /tmp/.
class parser_dir : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(chdir(dir_.path().c_str()), 0); }
    void TearDown() override { ASSERT_EQ(chdir("/"), 0); }

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
        // ar read as ar reads it: members last to first, an existing archive
        // read too (armar here), a missing member skipped; options anywhere
        // (the plugin's value is no member); l takes a value before the
        // archive, whatever its name. (Positioning members and counts: the
        // release build.)
        {ziv_parse_ar_cmd, "ar rcs libnew.a a.o b.o", "in=b.o,a.o out=libnew.a"},
        {ziv_parse_armar_cmd, "armar rcs libx.a a.o b.o", "in=b.o,a.o,libx.a out=libx.a in-place"},
        {ziv_parse_ar_cmd, "ar rcs libnew.a", "out=libnew.a"},
        {ziv_parse_ar_cmd, "ar -rc libnew.a a.o gone.o -v --plugin plugin.so", "in=a.o out=libnew.a"},
        {ziv_parse_ar_cmd, "ar --plugin plugin.so rcs archive a.o b.o", "in=b.o,a.o out=archive"},
        {ziv_parse_ar_cmd, "ar rcl x.o libnodot a.o", "in=a.o out=libnodot"},
        {ziv_parse_ar_cmd, "ar s libx.a", "in=libx.a out=libx.a in-place"},
        {ziv_parse_ar_cmd, "ar x libx.a a.o --output out", "in=libx.a out=out/a.o"},
        {ziv_parse_ar_cmd, "ar x libx.a", "untraced"},
        {ziv_parse_ar_cmd, "ar t libx.a a.o", "untraced"},
        {ziv_parse_ar_cmd, "ar -M", "untraced"},
        {ziv_parse_ranlib_cmd, "ranlib --plugin plugin.so libx.a liby.a gone.a",
         "pairs=libx.a>libx.a,liby.a>liby.a in-place"},
    };
    for (const auto& [parser, line, want] : cases) {
        EXPECT_EQ(parse(parser, root(line)), root(want)) << line;
    }
}

TEST_F(parser_dir, BinaryUtilitiesCopiesNasmAndKernelHelpers)
{
    files({"in.so", "a.so", "b.so", "in.o", "out.o", "app", "app.debug", "note.bin", ".comment", "x86_64", "4",
           "build/libx.so.1.2", "a/libx.so", "b/libx.so", "libx.so", "libx.so.1", "lib/libx.so.1", "a.txt", "bin/keep",
           "dir/keep", "boot.asm", "sub.d/plain", "key.pem", "cert.x509", "mod.ko", "scripts/sign-file", "setup.bin",
           "vmlinux.bin", "zoffset.h", "in.efi", "debug/keep", "it's a \"file\"\n$(touch pwned);.so"});
    const std::string hostile = "it's a \"file\"\n$(touch pwned);.so";
    const std::vector<std::tuple<ziv_trace_parse_fn, std::vector<std::string>, std::string>> cases = {
        // A new file from the last input, or every input rewritten in place;
        // values of options are never files, options after files count.
        {ziv_parse_strip_cmd, {"strip", "-o", "out.so", "in.so"}, "pairs=in.so>out.so"},
        {ziv_parse_strip_cmd, {"strip", "a.so", "b.so", "gone.so"}, "pairs=a.so>a.so,b.so>b.so in-place"},
        {ziv_parse_strip_cmd, {"strip", "-R", ".comment", "--output-file=out", "in.so"}, "pairs=in.so>out"},
        {ziv_parse_strip_cmd, {"strip", "-sRx", "in.so", "-oout", "--keep-section", ".comment"}, "pairs=in.so>out"},
        {ziv_parse_strip_cmd, {"strip", "in.so", "-o", "in.so"}, "pairs=in.so>in.so in-place"},
        {ziv_parse_strip_cmd, {"strip", "--", hostile}, "pairs=" + hostile + ">" + hostile + " in-place"},
        {ziv_parse_dwz_cmd, {"dwz", "-j", "4", "-m", "common.debug", "a.so", "b.so"},
         "out=common.debug pairs=a.so>a.so,b.so>b.so in-place link-paired"},
        {ziv_parse_dwz_cmd, {"dwz", "--multifile", "c.debug", "-M", "/usr/lib/debug/c", "a.so"},
         "out=c.debug pairs=a.so>a.so in-place link-paired"},
        {ziv_parse_dwz_cmd, {"dwz", "-o", "out", "-m", "c.debug", "in.so"}, "pairs=in.so>out"},
        {ziv_parse_eu_elfcompress_cmd, {"eu-elfcompress", "-t", "zlib", "--output=out", "in.so"}, "pairs=in.so>out"},
        {ziv_parse_eu_elfcompress_cmd, {"eu-elfcompress", "-q", "a.so"}, "pairs=a.so>a.so in-place"},
        // eu-strip: the stripped file in place or anew, the debug file made
        // from the input.
        {ziv_parse_eu_strip_cmd, {"eu-strip", "-f", "app.debug", "app"}, "in=app out=app.debug pairs=app>app in-place"},
        {ziv_parse_eu_strip_cmd, {"eu-strip", "-o", "out", "-f", "dbg", "in.so"}, "in=in.so out=dbg pairs=in.so>out"},
        {ziv_parse_eu_strip_cmd, {"eu-strip", "--remove-comment", "-R", ".comment", "a.so"}, "pairs=a.so>a.so in-place"},
        {ziv_parse_eu_strip_cmd, {"eu-strip", "-f", "app.debug", "gone"}, ""},
        {ziv_parse_eu_unstrip_cmd, {"eu-unstrip", "app", "app.debug"}, "common=app pairs=app.debug>app.debug in-place"},
        {ziv_parse_eu_unstrip_cmd, {"eu-unstrip", "-d", "debug/", "app", "app.debug"}, "in=app,app.debug out=debug/app"},
        {ziv_parse_eu_unstrip_cmd, {"eu-unstrip", "-o", "full", "app", "app.debug"}, "in=app,app.debug out=full"},
        {ziv_parse_eu_unstrip_cmd, {"eu-unstrip", "-n", "-e", "app"}, "untraced"},
        // objcopy in [out]: an output that exists is overwritten, not read;
        // in place it is a pair; added files are read, dumped ones written.
        {ziv_parse_objcopy_cmd, {"objcopy", "--add-section", ".note=note.bin", "in.o", "out.o"},
         "in=in.o,note.bin out=out.o"},
        {ziv_parse_objcopy_cmd, {"objcopy", "--only-keep-debug", "app", "app.debug"}, "in=app out=app.debug"},
        {ziv_parse_objcopy_cmd, {"objcopy", "-O", "binary", "in.o"}, "pairs=in.o>in.o in-place"},
        {ziv_parse_objcopy_cmd, {"objcopy", "--dump-section", ".text=text.bin", "in.o"},
         "in=in.o out=text.bin pairs=in.o>in.o in-place"},
        {ziv_parse_objcopy_cmd, {"objcopy", "in.o", "new.o", "-R", ".comment"}, "in=in.o out=new.o"},
        {ziv_parse_objcopy_cmd, {"objcopy", "in.o", "a.so", "b.so"}, "untraced"},
        {ziv_parse_objcopy_cmd, {"objcopy", "-"}, "untraced"},
        {ziv_parse_elfedit_cmd, {"elfedit", "--output-mach", "x86_64", "a.so"}, "pairs=a.so>a.so in-place"},
        {ziv_parse_sepdebugcrcfix_cmd, {"sepdebugcrcfix", "debug", "a.so", "gone"}, "pairs=a.so>a.so in-place"},
        {ziv_parse_debugedit_cmd, {"debugedit", "-b", "/b", "-l", "in.so", "a.so", "-i"}, "pairs=a.so>a.so in-place"},
        {ziv_parse_debugedit_cmd, {"debugedit", "-i"}, "untraced"},
        // Copies: one source and one destination, programs and libraries
        // under a new name or into a directory (as installs into a staging
        // tree do), stripped copies always (install -s into a directory and
        // ln -s beside its target: the release build).
        {ziv_prase_cp_cmd, {"cp", "build/libx.so.1.2", "out/libx.so.1"}, "in=build/libx.so.1.2 out=out/libx.so.1"},
        {ziv_prase_cp_cmd, {"cp", "a/libx.so", "b/libx.so"}, "in=a/libx.so out=b/libx.so"},
        {ziv_prase_cp_cmd, {"install", "-c", "app", "dir"}, "in=app out=dir/app"},
        {ziv_prase_cp_cmd, {"cp", "libx.so", "./libx.so"}, "untraced"},
        {ziv_prase_cp_cmd, {"ln", "-s", "libx.so", "dir"}, "untraced"},
        {ziv_prase_cp_cmd, {"cp", "a.txt", "b.txt"}, "untraced"},
        {ziv_prase_cp_cmd, {"cp", "-a", "app", "a.txt", "in.o", "dir/"}, "pairs=app>dir/app,in.o>dir/in.o"},
        {ziv_prase_cp_cmd, {"cp", "app", "in.o", "new"}, "untraced"},
        {ziv_prase_cp_cmd, {"cp", "-S", ".bak", "libx.so", "liby.so"}, "untraced"},
        {ziv_prase_cp_cmd, {"cp", "--sparse", "always", "app", "prog"}, "in=app out=prog"},
        {ziv_prase_cp_cmd, {"install", "-sm755", "app", "bin/"}, "in=app out=bin/app"},
        {ziv_prase_cp_cmd, {"install", "--strip", "-t", "bin", "app"}, "in=app out=bin/app"},
        {ziv_prase_cp_cmd, {"cp", "-s", "app", "bin/prog"}, "in=app out=bin/prog"},
        {ziv_prase_cp_cmd, {"ln", "-sf", "libx.so.1", "lib/libx.so"}, "in=lib/libx.so.1 out=lib/libx.so"},
        {ziv_prase_cp_cmd, {"ln", "-sr", "libx.so.1", "lib/libx.so"}, "in=libx.so.1 out=lib/libx.so"},
        {ziv_prase_cp_cmd, {"mv", "--", hostile, "x.so"}, "in=" + hostile + " out=x.so"},
        // nasm: a named output, or the name nasm derives for the format.
        {ziv_parse_nasm_cmd, {"nasm", "-oglued.o", "boot.asm"}, "in=boot.asm out=glued.o reuse"},
        {ziv_parse_nasm_cmd, {"nasm", "-f", "bin", "boot.asm"}, "pairs=boot.asm>boot"},
        {ziv_parse_nasm_cmd, {"nasm", "-felf64", "-I", "boot.asm", "sub.d/plain"}, "pairs=sub.d/plain>sub.o"},
        {ziv_parse_nasm_cmd, {"nasm", "-f", "win64", "-I", "inc/", "boot.asm"}, "pairs=boot.asm>boot.obj"},
        {ziv_parse_nasm_cmd, {"nasm", "-f", "nosuch", "boot.asm"}, "untraced"},
        // Kernel helpers and signing.
        {ziv_parse_perl_cmd, {"perl", "./scripts/sign-file", "sha512", "key.pem", "cert.x509", "mod.ko"},
         "in=./scripts/sign-file,key.pem,cert.x509,mod.ko out=mod.ko"},
        {ziv_parse_perl_cmd, {"perl", "-w", "/usr/bin/dh_strip_nondeterminism", "-v"}, "untraced"},
        {ziv_parse_perl_cmd, {"perl", "-e", "1"}, "untraced"},
        {ziv_parse_build_cmd, {root("%/arch/x86/boot/tools/build"), "setup.bin", "vmlinux.bin", "zoffset.h", "bzImage"},
         "in=setup.bin,vmlinux.bin,zoffset.h out=bzImage"},
        {ziv_parse_build_cmd, {"build", "setup.bin", "bzImage"}, "untraced"},
        {ziv_parse_pesign_cmd, {"pesign", "-i", "in.efi", "--out=out.efi"}, "pairs=in.efi>out.efi"},
        {ziv_parse_pesign_cmd, {"pesign", "-i", "in.efi"}, "untraced"},
        {ziv_parse_recordmcount_cmd, {"recordmcount", "-w", "in.o", "gone.o", "@in.o"}, "pairs=in.o>in.o in-place"},
        {ziv_parse_sortextable_cmd, {"sortextable", "gone"}, "in-place"},
    };
    for (const auto& [parser, args, want] : cases) {
        std::string line;
        for (const std::string& a : args) {
            line += a + " ";
        }
        EXPECT_EQ(parse(parser, args), want) << line;
    }
    EXPECT_NE(access("pwned", F_OK), 0);
}

// dh_strip_nondeterminism: the archives, catalogs and EPUB documents under
// ./debian, found by content, whatever their names; links not followed.
TEST_F(parser_dir, PackagingStepFindsWhatItNormalisesWithoutAShell)
{
    const std::string odd = "debian/pkg/usr/share/it's \"odd\"\n$(touch pwned).bin";
    files({"debian/pkg/usr/lib/libx.a"}, "!<arch>\nmember");
    files({"debian/pkg/usr/share/java/x.jar"}, std::string("PK\x03\x04zip", 7));
    files({"debian/pkg/usr/share/locale/de.mo"}, std::string("\xde\x12\x04\x95rest", 8));
    files({"debian/pkg/usr/share/doc/README", "debian/pkg/archive.txt"}, "an archive in words only\n");
    files({odd}, std::string(257, 'x') + "ustar  \n");
    ASSERT_EQ(symlink("usr/lib/libx.a", "debian/pkg/link.a"), 0);
    std::string got = parse(ziv_parse_perl_cmd, words{"perl", "-w", "/usr/bin/dh_strip_nondeterminism"});
    for (const std::string& f : std::vector<std::string>{"./debian/pkg/usr/lib/libx.a", "./debian/pkg/usr/share/java/x.jar",
                                                         "./debian/pkg/usr/share/locale/de.mo", "./" + odd}) {
        EXPECT_NE(got.find(f + ">" + f), std::string::npos) << f << " in " << got;
    }
    EXPECT_EQ(std::count(got.begin(), got.end(), '>'), 4) << got;
    EXPECT_EQ(got.substr(got.size() - 9), " in-place");
    EXPECT_NE(access("pwned", F_OK), 0);
    ASSERT_EQ(rename("debian", "elsewhere"), 0);
    EXPECT_EQ(parse(ziv_parse_dh_strip_cmd, words{"perl"}), "in-place");  // nothing found: still traced
}

// patch: the files each header stands for, as patch picks them, with the
// patch file as their common input; malformed patches give what they hold.
TEST_F(parser_dir, PatchFilesAsPatchReadsThem)
{
    files({"src/x.c", "x.c", "new/keep", "sub/y.c", "my file.c", "only.c"});
    const std::string hunk = "@@ -1 +1 @@\n-a\n+b\n";
    std::string long_line(100000, 'z');
    std::string binary;
    std::mt19937 gen(3);
    for (int i = 0; i < 20000; ++i) {
        binary += static_cast<char>(gen());
    }
    // patch text, arguments after "patch", what is recorded.
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> cases = {
        // A new file; a hunk whose lines look like headers; a context diff
        // whose ranges look like headers; CR LF line ends.
        {"--- /dev/null\n+++ b/new/n.c\n@@ -0,0 +1 @@\n+n\n", {"-Np1", "--input=fix.patch"}, "pairs=->new/n.c"},
        {"--- a/x.c\n+++ b/x.c\n@@ -1,2 +1,2 @@\n a\n--- not/a.c\n+++ not/b.c\n--- a/src/x.c\n+++ b/src/x.c\n" + hunk,
         {"-p1", "-i", "fix.patch"}, "pairs=->x.c,->src/x.c"},
        {"*** a/x.c\n--- b/x.c\n***************\n*** 0 ****\n--- 1,2 ----\n+ a\n+ b\n", {"-p", "1", "-i", "fix.patch"},
         "pairs=->x.c"},
        {"--- a/x.c\r\n+++ b/x.c\r\n" + hunk, {"--strip=1", "-i", "fix.patch"}, "pairs=->x.c"},
        // Names: quoted with escapes, blanks before a tab, the one of the
        // two that exists, base names without -p, too few components.
        {"--- \"a/it's \\\"q\\\"\\n\\303\\251.c\"\n+++ \"b/it's \\\"q\\\"\\n\\303\\251.c\"\n" + hunk,
         {"-p1", "-i", "fix.patch"}, "pairs=->it's \"q\"\n\xc3\xa9.c"},
        {"--- a/my file.c\t\n+++ b/my file.c\t\n" + hunk, {"-p1", "-i", "fix.patch"}, "pairs=->my file.c"},
        {"--- only.c.orig\n+++ only.c\n" + hunk, {"-i", "fix.patch"}, "pairs=->only.c"},
        {"--- a/deep/er/x.c\n+++ b/deep/er/x.c\n" + hunk, {"-i", "fix.patch"}, "pairs=->x.c"},
        {"--- x.c\n+++ x.c\n" + hunk, {"-p2", "-i", "fix.patch"}, "untraced"},
        // Where the results go: -d (absolute names), -o, the one file named.
        {"--- a/y.c\n+++ b/y.c\n" + hunk, {"-d", "sub", "-p1", "-i", "../fix.patch"}, "pairs=->%/sub/y.c"},
        {"--- a/x.c\n+++ b/x.c\n" + hunk, {"-p1", "-o", "out.c", "-i", "fix.patch"}, "pairs=->out.c"},
        {"--- a/y.c\n+++ b/y.c\n" + hunk, {"x.c", "fix.patch"}, "pairs=->x.c"},
        {"--- a/x.c\n+++ b/x.c\n" + hunk, {"--dry-run", "-p1", "-i", "fix.patch"}, "untraced"},
        {"--- a/x.c\n+++ b/x.c\n" + hunk, {"-p1", "-o", "-", "-i", "fix.patch"}, "untraced"},
        // Malformed: no header, an unfinished one, an unclosed quote, binary
        // noise, a line longer than any header before a good one.
        {"just text\n", {"-i", "fix.patch"}, "untraced"},
        {"--- a/x.c", {"-p1", "-i", "fix.patch"}, "untraced"},
        {"--- \"a/x.c\n+++ b/x.c\n", {"-p1", "-i", "fix.patch"}, "pairs=->x.c"},
        {"--- \"a/x.c\\000.evil\"\n+++ \"b/x.c\\000.evil\"\n" + hunk, {"-p1", "-i", "fix.patch"}, "untraced"},
        {binary, {"-i", "fix.patch"}, "untraced"},
        {long_line + "\n--- a/x.c\n+++ b/x.c\n" + hunk, {"-p1", "-i", "fix.patch"}, "pairs=->x.c"},
    };
    for (const auto& [text, args, want] : cases) {
        write_file("fix.patch", text);
        std::vector<std::string> line = {"patch"};
        line.insert(line.end(), args.begin(), args.end());
        std::string common = args.front() == "-d" ? "common=%/sub/../fix.patch(patch) " : "common=fix.patch(patch) ";
        std::string expected = want == "untraced" ? want : common + want + " sources";
        EXPECT_EQ(parse(ziv_parse_patch_cmd, line), root(expected)) << text.substr(0, 80);
        // The scan of a text in memory (what a fuzzer drives) finds what the
        // scan of the file finds.
        int fd = open("fix.patch", O_RDONLY);
        EXPECT_EQ(ziv_scan_patch_text(text.data(), text.size(), nullptr, nullptr),
                  ziv_scan_patch_fd(fd, 1 << 30, nullptr, nullptr)) << text.substr(0, 80);
        close(fd);
    }
    // Beyond the size read, a header is not looked for; a FIFO without a
    // writer is no patch and holds nothing up.
    write_file("fix.patch", "");
    ASSERT_EQ(truncate("fix.patch", 300L << 20), 0);
    {
        std::FILE* f = std::fopen("fix.patch", "a");
        std::fputs("\n--- a/x.c\n+++ b/x.c\n", f);
        std::fclose(f);
    }
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-p1", "-i", "fix.patch"}), "untraced");
    ASSERT_EQ(mkfifo("fifo.patch", 0600), 0);
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-p1", "-i", "fifo.patch"}), "untraced");
    // The patch file missing, or no file at all.
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-i", "gone.patch"}), "untraced");
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-i", "sub"}), "untraced");
}

// A patch on standard input is read where it lies, never consumed: from a
// regular file it is traced and the offset stays; from a pipe it is not
// read at all.
TEST_F(parser_dir, PatchOnStandardInputIsNeverConsumed)
{
    files({"x.c"});
    const std::string text = "--- a/x.c\n+++ b/x.c\n@@ -1 +1 @@\n-a\n+b\n";
    write_file("in.patch", text);
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    int file = open("in.patch", O_RDONLY);
    ASSERT_GE(file, 0);
    ASSERT_EQ(lseek(file, 4, SEEK_SET), 4);
    ASSERT_EQ(dup2(file, 0), 0);
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-p1"}), root("common=%/in.patch(patch) pairs=->x.c sources"));
    EXPECT_EQ(lseek(0, 0, SEEK_CUR), 4);
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-p1", "-i", "-"}), root("common=%/in.patch(patch) pairs=->x.c sources"));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    EXPECT_EQ(parse(ziv_parse_patch_cmd, words{"patch", "-p1"}), "untraced");
    char back[64] = {};
    EXPECT_EQ(read(0, back, sizeof back), static_cast<ssize_t>(text.size()));
    dup2(saved, 0);
    close(saved);
    close(file);
    close(fds[0]);
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
