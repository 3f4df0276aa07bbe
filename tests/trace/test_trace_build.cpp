// A whole build traced: make and sh running known tools, unknown programs,
// white-listed programs, a script and a nested make. The same build without
// the library gives the same bytes.
#include <regex>
#include <set>

#include "trace_test_env.h"

namespace ziv_test {
namespace {

const char* kMakefile =
    ".PHONY: all unknown white skipped nested viashell script launched fail\n"
    "all: a.o prog lib.a unknown white skipped nested viashell script launched fail\n"
    "a.o:\n"
    "\tgcc -c a.c -o a.o -DMSG=\"it's\" \"two words\"\n"
    "prog: a.o\n"
    "\tld a.o -o prog\n"
    "lib.a: a.o\n"
    "\tar rcs lib.a a.o\n"
    "unknown:\n"
    "\tmyunknown --probe-sleep=40 u\n"
    "white:\n"
    "\tsed -n p\n"
    "skipped:\n"
    "\tmyskipped s\n"
    "nested:\n"
    "\t$(MAKE) -C sub\n"
    "viashell:\n"
    "\tsh -c 'as y.s -o y.o; true'\n"
    "script:\n"
    "\tsh step.sh\n"
    "launched:\n"
    "\tlauncher --probe-run myunknown2 --probe-run gcc -c l.c -o l.o\n"
    "fail:\n"
    "\tgcc -c bad.c -o bad.o --probe-exit=3\n";

const std::vector<std::string> kOutputs = {"src/a.o", "src/prog", "src/lib.a", "src/sub/s.o",
                                           "src/y.o", "src/l.o",  "src/bad.o"};

void lay_out(const trace_build& b)
{
    b.tools({"gcc", "ld", "ar", "as", "myunknown", "myunknown2", "myunknown3", "sed", "myskipped", "launcher"});
    mkdir(b.src("sub").c_str(), 0755);
    b.file("src/Makefile", kMakefile);
    b.file("src/sub/Makefile", "all:\n\tgcc -c s.c -o s.o\n");
    b.file("src/step.sh", "myunknown3 st\ntrue\n");
    b.file("src/build.sh", "make -k all\nstatus=$?\nexit $status\n");
    for (const char* f : {"src/a.c", "src/sub/s.c", "src/y.s", "src/l.c", "src/bad.c"}) {
        b.file(f, "int x;\n");
    }
}

struct build_bytes {
    run_result run;
    std::map<std::string, std::string> files;
};

build_bytes build_once(const trace_build& b, preload with)
{
    build_bytes out;
    for (const std::string& f : kOutputs) {
        std::remove((b.root() + "/" + f).c_str());
    }
    out.run = b.run({"sh", "build.sh"}, "src", with, {"ZIV_TRACE_WHITELIST=myskipped"});
    for (const std::string& f : kOutputs) {
        std::string path = b.root() + "/" + f;
        out.files[f] = access(path.c_str(), F_OK) == 0 ? read_file(path) : "<absent>";
    }
    return out;
}

// id, command, tool file, tool digest, directory, parent, run time
struct command_row {
    long id, parent, runtime;
    std::string start, command, tool, digest, dir;
};

std::map<std::string, command_row> command_rows(trace_db& db)
{
    std::map<std::string, command_row> out;
    for (const auto& r :
         db.rows("select c.id, c.start_time, c.command, t.filename, t.checksum, p.filename, c.parent_id, c.runtime "
                 "from build_command_table c join tool_file_table t on t.id = c.tool_id "
                 "join path_file_table p on p.id = c.path_file_id")) {
        command_row row{std::stol(r[0]), std::stol(r[6]), std::stol(r[7]), r[1], r[2], r[3], r[4], r[5]};
        EXPECT_EQ(out.count(row.command), 0u) << "recorded twice: " << row.command;
        out[row.command] = row;
    }
    return out;
}

TEST(TraceBuild, MakeAndShellBuildRecordsEveryCommandWithItsParentAndLeavesTheBuildUnchanged)
{
    trace_build b;
    lay_out(b);
    build_bytes plain = build_once(b, preload::none);
    ASSERT_EQ(plain.run.exit_code, 2) << describe(plain.run);  // the failing step, under make -k
    ASSERT_TRUE(b.reports().size() > 0 && b.reports()[0].at("row") == "none");
    b.clear_reports();
    {
        trace_db db(b.db_path());
        ASSERT_EQ(db.count("build_command_table"), 0);
    }

    build_bytes traced = build_once(b, preload::library);
    EXPECT_EQ(traced.run.exit_code, plain.run.exit_code);
    EXPECT_EQ(traced.run.out, plain.run.out);
    EXPECT_EQ(traced.run.err, plain.run.err);
    EXPECT_EQ(traced.files, plain.files);
    EXPECT_NE(plain.run.out.find("gcc: -c a.c -o a.o -DMSG=it's two words\n"), std::string::npos) << plain.run.out;

    trace_db db(b.db_path());
    std::map<std::string, command_row> rows = command_rows(db);
    const std::string src = b.src();
    const std::string probe_digest = sha256_of(kTraceProbe);
    struct expected {
        std::string command, tool, dir, parent;
    };
    // The parent is named by its command text; "" is the first traced command.
    const std::vector<expected> wanted = {
        {"make -k all", "/usr/bin/make", src, ""},
        {"gcc -c a.c -o a.o -DMSG=it's two words", b.bin() + "/gcc", src, "make -k all"},
        {"ld a.o -o prog", b.bin() + "/ld", src, "make -k all"},
        {"ar rcs lib.a a.o", b.bin() + "/ar", src, "make -k all"},
        {"myunknown --probe-sleep=40 u", b.bin() + "/myunknown", src, "make -k all"},
        {"make -C sub", "/usr/bin/make", src, "make -k all"},
        {"gcc -c s.c -o s.o", b.bin() + "/gcc", src + "/sub", "make -C sub"},
        {"as y.s -o y.o", b.bin() + "/as", src, "make -k all"},
        {"sh step.sh", "/usr/bin/sh", src, "make -k all"},
        {"myunknown3 st", b.bin() + "/myunknown3", src, "sh step.sh"},
        {"launcher --probe-run myunknown2 --probe-run gcc -c l.c -o l.o", b.bin() + "/launcher", src, "make -k all"},
        // myunknown2's parent (launcher) does not qualify: untraced, so gcc
        // names launcher.
        {"gcc -c l.c -o l.o", b.bin() + "/gcc", src,
         "launcher --probe-run myunknown2 --probe-run gcc -c l.c -o l.o"},
        {"gcc -c bad.c -o bad.o --probe-exit=3", b.bin() + "/gcc", src, "make -k all"},
    };
    std::set<std::string> recorded;
    for (const auto& [command, row] : rows) {
        recorded.insert(command);
    }
    std::set<std::string> expected_set;
    for (const expected& e : wanted) {
        expected_set.insert(e.command);
    }
    // Not here: sh -c, sed (white list), myskipped (ZIV_TRACE_WHITELIST),
    // myunknown2 (parent does not qualify), true (white list).
    EXPECT_EQ(recorded, expected_set);

    const std::regex time_text(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    for (const expected& e : wanted) {
        SCOPED_TRACE(e.command);
        auto it = rows.find(e.command);
        if (it == rows.end()) {
            continue;
        }
        const command_row& row = it->second;
        EXPECT_EQ(row.tool, e.tool);
        std::string real_tool = e.tool.rfind(b.bin(), 0) == 0 ? kTraceProbe : e.tool;
        EXPECT_EQ(row.digest, e.tool.rfind(b.bin(), 0) == 0 ? probe_digest : sha256_of(real_tool));
        EXPECT_EQ(row.dir, e.dir);
        long parent = e.parent.empty() ? 0 : rows.count(e.parent) ? rows[e.parent].id : -2;
        EXPECT_EQ(row.parent, parent);
        EXPECT_GE(row.runtime, 0) << "run time not set at exit";
        EXPECT_TRUE(std::regex_match(row.start, time_text)) << row.start;
    }
    EXPECT_GE(rows["myunknown --probe-sleep=40 u"].runtime, 40);
    // Each tool file once, whatever the number of its commands.
    EXPECT_EQ(db.value("select count(*) from tool_file_table where filename = " + sql_quote(b.bin() + "/gcc")), "1");

    // What each probe saw at main: its own row and command id exported for
    // its children; untraced probes keep the id of the command above them.
    for (const probe_line& l : b.reports_of("gcc")) {
        SCOPED_TRACE(l.at("args"));
        EXPECT_EQ(l.at("row"), "gcc");
        EXPECT_EQ(l.at("pcommand"), l.at("cmd"));
        EXPECT_EQ(std::stol(l.at("cmd")), rows["gcc " + l.at("args")].id);
    }
    ASSERT_EQ(b.reports_of("myunknown").size(), 1u);
    EXPECT_EQ(b.reports_of("myunknown")[0].at("row"), "default");
    for (const char* untraced : {"sed", "myskipped"}) {
        ASSERT_EQ(b.reports_of(untraced).size(), 1u) << untraced;
        EXPECT_EQ(b.reports_of(untraced)[0].at("row"), "none") << untraced;
        EXPECT_EQ(b.reports_of(untraced)[0].at("pcommand"), std::to_string(rows["make -k all"].id)) << untraced;
    }
    ASSERT_EQ(b.reports_of("myunknown2").size(), 1u);
    EXPECT_EQ(b.reports_of("myunknown2")[0].at("row"), "none");
    EXPECT_EQ(b.reports_of("myunknown2")[0].at("pcommand"), std::to_string(rows[wanted[10].command].id));
}

}  // namespace
}  // namespace ziv_test
