// The generated project built with make -j2 by the real toolchains, once
// without the library and then traced: the database holds the road from
// every source to its object, the archive, the shared library and the
// executable, and the headers of each source; the outputs are the same
// bytes and no scratch file stays behind.
#include <dirent.h>

#include <cstdio>
#include <functional>
#include <map>

#include "toolchain_env.h"
#include "toolchain_project.h"

namespace ziv_test {
namespace {

const ziv_project::shape kShape{3, 2};

std::map<std::string, std::string> output_bytes(const std::string& root)
{
    std::map<std::string, std::string> out;
    for (const std::string& f : ziv_project::outputs(kShape)) {
        std::string path = root + "/" + f;
        out[f] = exists(path) ? read_file(path) : "<absent>";
    }
    return out;
}

void remove_outputs(const std::string& root)
{
    for (const std::string& f : ziv_project::outputs(kShape)) {
        std::remove((root + "/" + f).c_str());
    }
}

// Files anywhere under `dir` whose name begins with "ziv_trace".
void find_scratch(const std::string& dir, std::vector<std::string>* found)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string path = dir + "/" + name;
        if (name.rfind("ziv_trace", 0) == 0) {
            found->push_back(path);
        }
        if (e->d_type == DT_DIR) {
            find_scratch(path, found);
        }
    }
    closedir(d);
}

run_result make_build(const std::string& root, const std::string& cc, const std::vector<std::string>& extra_env)
{
    run_options o;
    o.exe = "/usr/bin/make";
    o.argv = {"make", "-j2", "CC=" + cc};
    o.cwd = root;
    o.env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "TMPDIR=/tmp"};
    o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
    o.timeout_s = 120;
    return run(o);
}

class toolchain_build : public ::testing::TestWithParam<std::pair<std::string, std::string>> {
protected:
    void SetUp() override
    {
        ziv_project::write(dir_.path(), kShape);
        db_path_ = dir_.sub("build.db");
        make_db(db_path_);
        run_result plain = make_build(dir_.path(), compiler(), {});
        ASSERT_EQ(plain.exit_code, 0) << describe(plain);
        plain_bytes_ = output_bytes(dir_.path());
        for (const auto& [name, bytes] : plain_bytes_) {
            ASSERT_NE(bytes, "<absent>") << name;
        }
        remove_outputs(dir_.path());
        traced_ = make_build(dir_.path(), compiler(),
                             {"LD_PRELOAD=" + kLib, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_path_,
                              "ZIV_TRACE_HDEPS=" + mode()});
        ASSERT_EQ(traced_.exit_code, 0) << describe(traced_);
    }

    const std::string& compiler() const { return GetParam().first; }
    const std::string& mode() const { return GetParam().second; }

    temp_dir dir_;
    std::string db_path_;
    std::map<std::string, std::string> plain_bytes_;
    run_result traced_;
};

// Relations between files of the project (names relative to the root);
// system files (absolute names) are looked at separately.
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

TEST_P(toolchain_build, RecordsTheRoadFromSourcesToTheExecutable)
{
    EXPECT_EQ(output_bytes(dir_.path()), plain_bytes_) << "traced outputs differ from the untraced build";
    std::vector<std::string> scratch;
    find_scratch(dir_.path(), &scratch);
    EXPECT_TRUE(scratch.empty()) << scratch.front();

    build_db db(db_path_);
    string_pairs want_ts;
    string_pairs want_tt;
    for (int k = 0; k < kShape.lib_sources; ++k) {
        std::string src = ziv_project::lib_source(k);
        want_ts.insert({ziv_project::object_of(src), src});
        want_tt.insert({"out/libutil.a", ziv_project::object_of(src)});
    }
    for (int k = 0; k < kShape.shared_sources; ++k) {
        std::string src = ziv_project::shared_source(k);
        want_ts.insert({ziv_project::object_of(src), src});
        want_tt.insert({"out/libsh_impl.so", ziv_project::object_of(src)});
    }
    want_ts.insert({"app/main.o", "app/main.c"});
    want_ts.insert({"asm/start.o", "asm/start.s"});  // as, started by make
    // ar made no symbol index (S); ranlib added it in place: the new archive
    // depends on the old.
    want_tt.insert({"out/libutil.a", "out/libutil.a"});
    // The link: objects, the archive found through -Lout -lutil, the text
    // libsh.so and the library its GROUP names, all from the response file.
    for (const char* dep : {"app/main.o", "asm/start.o", "out/libutil.a", "out/libsh.so", "out/libsh_impl.so"}) {
        want_tt.insert({"out/app", dep});
    }
    EXPECT_EQ(project_only(db.pairs(kTargetSource)), want_ts);
    EXPECT_EQ(project_only(db.pairs(kTargetTarget)), want_tt);

    // The link also read the C library through its linker script.
    string_pairs tt = db.pairs(kTargetTarget);
    EXPECT_EQ(tt.count({"out/app", "/lib/x86_64-linux-gnu/libc.so.6"}), 1u);
    EXPECT_EQ(tt.count({"out/app", "/usr/lib/x86_64-linux-gnu/libc_nonshared.a"}), 1u);

    // Each output is attributed to the command that made it: the executable
    // re-made by the driver (flag 4) belongs to the gcc/clang command line.
    EXPECT_EQ(db.rows("select c.command from target_file_table t join build_command_table c on c.id = t.command_id "
                      "where t.filename = 'out/app'")
                  .at(0)
                  .at(0),
              compiler() + " -o out/app app/main.o asm/start.o -Lout -lutil -lsh");

    string_pairs heads = db.pairs(kSourceHead);
    if (compiler() == "clang") {
        // No separate compiler proper: no header is ever learnt.
        EXPECT_TRUE(heads.empty());
        EXPECT_EQ(db.number("select count(*) from head_file_table"), 0);
        return;
    }
    string_pairs want_heads;
    for (int k = 0; k < kShape.lib_sources; ++k) {
        for (const char* h : {"lib/util.h", "include/common.h", "include/config.h"}) {
            want_heads.insert({ziv_project::lib_source(k), h});
        }
    }
    for (int k = 0; k < kShape.shared_sources; ++k) {
        for (const char* h : {"shared/sh.h", "include/common.h"}) {
            want_heads.insert({ziv_project::shared_source(k), h});
        }
    }
    for (const char* h : {"lib/util.h", "shared/sh.h", "include/common.h"}) {
        want_heads.insert({"app/main.c", h});
    }
    EXPECT_EQ(project_only(heads), want_heads);
    long system_heads = 0;
    for (const auto& p : heads) {
        system_heads += p.second[0] == '/' ? 1 : 0;
    }
    if (mode() == "mm") {
        EXPECT_EQ(system_heads, 0);
    } else {
        EXPECT_EQ(heads.count({"app/main.c", "/usr/include/stdlib.h"}), 1u);
        EXPECT_EQ(heads.count({"lib/u0.c", "/usr/include/stdio.h"}), 1u);
        // Every system header once in its table, however many sources read it.
        EXPECT_EQ(db.number("select count(*) from head_file_table where filename = '/usr/include/stdio.h'"), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Compilers, toolchain_build,
                         ::testing::Values(std::make_pair(std::string("gcc"), std::string("mm")),
                                           std::make_pair(std::string("gcc"), std::string("m")),
                                           std::make_pair(std::string("clang"), std::string("mm"))),
                         [](const auto& info) { return info.param.first + "_" + info.param.second; });

// The assembler is traced only under a shell, make or a build script, and
// takes no output glued to "-o".
TEST(assembler, NamedOutputUnderAShellGluedOutputNothing)
{
    temp_dir dir;
    std::string db_path = dir.sub("build.db");
    make_db(db_path);
    write_file(dir.sub("x.s"), "\t.text\n\t.globl f\nf:\n\tret\n");
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", "as -o y.o x.s && as -oz.o x.s && as --64 @args.rsp"};
    o.cwd = dir.path();
    o.env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + kLib, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_path};
    write_file(dir.sub("args.rsp"), "-o w.o x.s\n");
    run_result r = run(o);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_TRUE(exists(dir.sub("z.o")));
    build_db db(db_path);
    EXPECT_EQ(db.pairs(kTargetSource), (string_pairs{{"y.o", "x.s"}, {"w.o", "x.s"}}));
    EXPECT_EQ(db.number("select count(*) from target_file_table where filename = 'z.o'"), 0);
    // The expanded line is recorded as a command of its own.
    EXPECT_EQ(db.number("select count(*) from build_command_table where command = 'as --64 -o w.o x.s'"), 1);
}

}  // namespace
}  // namespace ziv_test
