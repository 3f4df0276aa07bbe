// The generated project built with make -j2 by the real toolchains, once
// without the library and then traced: the database holds the road from
// every source to its object, the archive, the shared library and the
// executable, and the headers of each source, the same whichever way they
// are learnt; the outputs are the same bytes and no scratch file stays
// behind. Then the headers users reach in other ways: through a symlink,
// -include, a precompiled header, __has_include, and one that is missing.
#include <gtest/gtest.h>
#include <ftw.h>

#include <map>

#include "toolchain_project.h"
#include "ziv_check.h"
#include "ziv_test_db.h"

namespace ziv_test {
namespace {

const ziv_project::shape kShape{3, 2};

// Relations between files (names relative to the root, system files absolute).
const char* kTargetSource =
    "select t.filename, s.filename from target_source_table r "
    "join target_file_table t on t.id = r.target_id join source_file_table s on s.id = r.source_id";
const char* kTargetTarget =
    "select t.filename, d.filename from target_target_table r "
    "join target_file_table t on t.id = r.target_id join target_file_table d on d.id = r.dep_id";
const char* kSourceHead =
    "select s.filename, h.filename from source_head_table r "
    "join source_file_table s on s.id = r.source_id join head_file_table h on h.id = r.head_id";

string_pairs project_only(const string_pairs& all)
{
    string_pairs out;
    for (const auto& p : all) {
        if (p.first[0] != '/' && p.second[0] != '/') {
            out.insert(p);
        }
    }
    return out;
}

// Builds the project (outputs removed first) and returns every output's bytes.
std::map<std::string, std::string> make_build(const std::string& root, const std::string& cc,
                                              const std::vector<std::string>& extra_env)
{
    std::map<std::string, std::string> bytes;
    for (const std::string& f : ziv_project::outputs(kShape)) {
        std::remove((root + "/" + f).c_str());
    }
    run_options o;
    o.exe = "/usr/bin/make";
    o.argv = {"make", "-j2", "CC=" + cc};
    o.env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "TMPDIR=/tmp"};
    o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
    o.cwd = root;
    o.timeout_s = 120;
    run_result r = run(o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    for (const std::string& f : ziv_project::outputs(kShape)) {
        bytes[f] = exists(root + "/" + f) ? read_file(root + "/" + f) : "<absent>";
    }
    return bytes;
}

int g_scratch_files = 0;

class toolchain_build : public ::testing::TestWithParam<std::string> {};

// gcc with every header tracing mode; clang, which starts no separate
// compiler proper, with those that watch the compiler's opens.
TEST_P(toolchain_build, RecordsTheRoadFromSourcesToTheExecutable)
{
    const std::string cc = GetParam();
    temp_dir dir;
    ziv_project::write(dir.path(), kShape);
    const std::map<std::string, std::string> plain = make_build(dir.path(), cc, {});
    for (const auto& [name, bytes] : plain) {
        ASSERT_NE(bytes, "<absent>") << name;
    }
    std::map<std::string, string_pairs> heads_of_mode;
    const std::vector<std::string> modes = cc == "gcc" ? std::vector<std::string>{"mm", "m", "open", "open-all"}
                                                       : std::vector<std::string>{"open", "open-all"};
    for (const std::string& mode : modes) {
        SCOPED_TRACE(cc + " " + mode);
        const std::string db_path = dir.sub(mode + ".db");
        test_db db(db_path);
        db.exec(read_file(ZIV_SCHEMA_PATH));
        EXPECT_EQ(make_build(dir.path(), cc,
                             {"LD_PRELOAD=" ZIV_LIB_PATH, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_path,
                              "ZIV_TRACE_HDEPS=" + mode}),
                  plain)
            << "traced outputs differ from the untraced build";
        g_scratch_files = 0;
        nftw(dir.path().c_str(), [](const char* path, const struct stat*, int, FTW* at) {
            g_scratch_files += std::string(path + at->base).rfind("ziv_trace", 0) == 0 ? 1 : 0;
            return 0;
        }, 16, FTW_PHYS);
        EXPECT_EQ(g_scratch_files, 0);

        string_pairs want_ts = {{"app/main.o", "app/main.c"}, {"asm/start.o", "asm/start.s"}};  // as, under make
        // ar made no symbol index (S); ranlib added it in place: the new
        // archive depends on the old. The link: objects, the archive found
        // through -Lout -lutil, the text libsh.so and the library its GROUP
        // names, all from the response file.
        string_pairs want_tt = {{"out/libutil.a", "out/libutil.a"}};
        for (const char* dep : {"app/main.o", "asm/start.o", "out/libutil.a", "out/libsh.so", "out/libsh_impl.so"}) {
            want_tt.insert({"out/app", dep});
        }
        string_pairs want_heads = {{"app/main.c", "lib/util.h"}, {"app/main.c", "shared/sh.h"},
                                   {"app/main.c", "include/common.h"}};
        for (int k = 0; k < kShape.lib_sources; ++k) {
            std::string src = ziv_project::lib_source(k);
            want_ts.insert({ziv_project::object_of(src), src});
            want_tt.insert({"out/libutil.a", ziv_project::object_of(src)});
            for (const char* h : {"lib/util.h", "include/common.h", "include/config.h"}) {
                want_heads.insert({src, h});
            }
        }
        for (int k = 0; k < kShape.shared_sources; ++k) {
            std::string src = ziv_project::shared_source(k);
            want_ts.insert({ziv_project::object_of(src), src});
            want_tt.insert({"out/libsh_impl.so", ziv_project::object_of(src)});
            for (const char* h : {"shared/sh.h", "include/common.h"}) {
                want_heads.insert({src, h});
            }
        }
        EXPECT_EQ(project_only(db.pairs(kTargetSource)), want_ts);
        string_pairs tt = db.pairs(kTargetTarget);
        EXPECT_EQ(project_only(tt), want_tt);
        // The link also read the C library through its linker script.
        EXPECT_EQ(tt.count({"out/app", "/lib/x86_64-linux-gnu/libc.so.6"}), 1u);
        EXPECT_EQ(tt.count({"out/app", "/usr/lib/x86_64-linux-gnu/libc_nonshared.a"}), 1u);
        // The executable, re-made by the linker the driver started, belongs
        // to the driver's command line.
        EXPECT_EQ(db.value("select c.command from target_file_table t join build_command_table c on "
                           "c.id = t.command_id where t.filename = 'out/app'"),
                  cc + " -o out/app app/main.o asm/start.o -Lout -lutil -lsh");

        const string_pairs heads = heads_of_mode[mode] = db.pairs(kSourceHead);
        EXPECT_EQ(project_only(heads), want_heads);
        const bool all = mode == "m" || mode == "open-all";
        long system_heads = 0;
        long compiler_heads = 0;
        for (const auto& p : heads) {
            system_heads += p.second[0] == '/' ? 1 : 0;
            compiler_heads += p.second.find("/include/stddef.h") != std::string::npos ? 1 : 0;
        }
        // System headers, the compiler's own among them, only with "m" and
        // "open-all", each once in its table however many sources read it.
        EXPECT_EQ(system_heads > 0, all);
        EXPECT_EQ(compiler_heads > 0, all);
        EXPECT_EQ(heads.count({"app/main.c", "/usr/include/stdlib.h"}), all ? 1u : 0u);
        EXPECT_EQ(heads.count({"lib/u0.c", "/usr/include/stdio.h"}), all ? 1u : 0u);
        EXPECT_EQ(db.number("select count(*) from head_file_table where filename = '/usr/include/stdio.h'"),
                  all ? 1 : 0);
    }
    if (cc == "gcc") {
        // What the compiler opened is what its dependency rule lists.
        EXPECT_EQ(heads_of_mode["open"], heads_of_mode["mm"]);
        EXPECT_EQ(heads_of_mode["open-all"], heads_of_mode["m"]);
    }
}

// Headers reached through a symlink, -include, a precompiled header and
// __has_include, and a missing one, with header tracing from opens: what
// the source names, once; nothing for the compile that fails, whose status
// and messages stay as they are.
TEST_P(toolchain_build, HeadersAsTheSourceNamesThem)
{
    const std::string cc = GetParam();
    temp_dir dir;
    for (const char* d : {"real", "inc"}) {
        mkdir(dir.sub(d).c_str(), 0755);
    }
    write_file(dir.sub("real/target.h"), "#define T 1\n");
    ASSERT_EQ(symlink("../real/target.h", dir.sub("inc/link.h").c_str()), 0);
    write_file(dir.sub("forced.h"), "#define F 2\n");
    write_file(dir.sub("inc/other.h"), "#define O 4\n");
    write_file(dir.sub("inc/probe.h"), "#define Q 5\n");
    write_file(dir.sub("pc.h"), "#include \"inc/other.h\"\n#define P 3\n");
    write_file(dir.sub("a.c"), "int a = P + O;\n");
    write_file(dir.sub("f.c"), "#if __has_include(\"inc/probe.h\")\n#endif\n#include \"inc/link.h\"\nint f = T + F;\n");
    write_file(dir.sub("bad.c"), "#include \"inc/other.h\"\n#include \"missing.h\"\nint b;\n");
    // gcc takes the precompiled form of an -include'd header by itself and
    // says so under -H ("! pc.h.gch"); clang is given it.
    const std::string pch = cc == "gcc" ? "pc.h.gch" : "pc.h.pch";
    const std::string use_pch = cc == "gcc" ? "-H -include pc.h" : "-include-pch pc.h.pch";
    const std::string script = cc + " -x c-header pc.h -o " + pch + " && " + cc + " " + use_pch +
                               " -c a.c -o a.o && " + cc + " -include forced.h -c f.c -o f.o && " + cc +
                               " -c bad.c -o bad.o";
    const std::string db_path = dir.sub("h.db");
    test_db db(db_path);
    db.exec(read_file(ZIV_SCHEMA_PATH));
    // gcc's precompiled headers differ from one run to the next anyway.
    std::vector<std::string> compared = {"a.o", "f.o"};
    if (cc != "gcc") {
        compared.push_back(pch);
    }
    std::map<std::string, std::string> outputs[2];
    run_result results[2];
    for (int traced = 0; traced < 2; ++traced) {
        std::remove(dir.sub(pch).c_str());
        for (const std::string& f : compared) {
            std::remove(dir.sub(f).c_str());
        }
        run_options o;
        o.exe = "/bin/sh";
        o.argv = {"sh", "-c", script};
        o.env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
        if (traced == 1) {
            o.env.insert(o.env.end(), {"LD_PRELOAD=" ZIV_LIB_PATH, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_path,
                                       "ZIV_TRACE_HDEPS=open"});
        }
        o.cwd = dir.path();
        results[traced] = run(o);
        for (const std::string& f : compared) {
            outputs[traced][f] = exists(dir.sub(f)) ? sha256_of(dir.sub(f)) : "<absent>";
        }
    }
    EXPECT_EQ(results[0].exit_code, 1) << describe(results[0]);
    EXPECT_NE(results[0].err.find("missing.h"), std::string::npos);
    if (cc == "gcc") {
        EXPECT_NE(results[0].err.find("! ./pc.h.gch"), std::string::npos) << results[0].err;
    }
    EXPECT_EQ(results[1].exit_code, results[0].exit_code);
    EXPECT_EQ(results[1].out, results[0].out);
    EXPECT_EQ(results[1].err, results[0].err);
    EXPECT_EQ(outputs[1], outputs[0]);
    // The precompiled header counts as the header it was made from, with
    // the headers that one has; clang opens those again, by the full names
    // it kept in the precompiled header.
    const std::string other = cc == "gcc" ? "inc/other.h" : dir.sub("inc/other.h");
    EXPECT_EQ(db.pairs(kSourceHead), (string_pairs{{"pc.h", "inc/other.h"},
                                                   {"a.c", "pc.h"},
                                                   {"a.c", other},
                                                   {"f.c", "forced.h"},
                                                   {"f.c", "inc/probe.h"},
                                                   {"f.c", "inc/link.h"}}));
    EXPECT_EQ(db.value("select checksum from head_file_table where filename = 'inc/link.h'"),
              sha256_of(dir.sub("real/target.h")));
}

INSTANTIATE_TEST_SUITE_P(Compilers, toolchain_build, ::testing::Values("gcc", "clang"),
                         [](const auto& info) { return info.param; });

// The assembler is traced only under a shell, make or a build script, and
// takes no output glued to "-o".
TEST(assembler, NamedOutputUnderAShellGluedOutputNothing)
{
    temp_dir dir;
    std::string db_path = dir.sub("build.db");
    test_db db(db_path);
    db.exec(read_file(ZIV_SCHEMA_PATH));
    write_file(dir.sub("x.s"), "\t.text\n\t.globl f\nf:\n\tret\n");
    write_file(dir.sub("args.rsp"), "-o w.o x.s\n");
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", "as -o y.o x.s && as -oz.o x.s && as --64 @args.rsp"};
    o.env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" ZIV_LIB_PATH, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_path};
    o.cwd = dir.path();
    run_result r = run(o);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_TRUE(exists(dir.sub("z.o")));
    EXPECT_EQ(db.pairs(kTargetSource), (string_pairs{{"y.o", "x.s"}, {"w.o", "x.s"}}));
    EXPECT_EQ(db.number("select count(*) from target_file_table where filename = 'z.o'"), 0);
    // The expanded line is recorded as a command of its own.
    EXPECT_EQ(db.number("select count(*) from build_command_table where command = 'as --64 -o w.o x.s'"), 1);
}

}  // namespace
}  // namespace ziv_test
