// A whole build traced: make and sh running known tools, unknown programs,
// white-listed programs, a script and a nested make. The same build without
// the library gives the same bytes.
#include <array>
#include <regex>

#include "trace_test_env.h"

namespace ziv_test {
namespace {

const char* kMakefile =
    ".PHONY: all unknown white skipped nested viashell script launched fail\n"
    "all: a.o prog lib.a unknown white skipped nested viashell script launched fail\n"
    "a.o:\n\tgcc -c a.c -o a.o -DMSG=\"it's\" \"two words\"\n"
    "prog: a.o\n\tld a.o -o prog\n"
    "lib.a: a.o\n\tar rcs lib.a a.o\n"
    "unknown:\n\tmyunknown --probe-sleep=40 u\n"
    "white:\n\tsed -n p\n"
    "skipped:\n\tmyskipped s\n"
    "nested:\n\t$(MAKE) -C sub\n"
    "viashell:\n\tsh -c 'bash -c \"as y.s -o y.o; true\"; true'\n"
    "script:\n\tbash step.sh\n"
    "launched:\n\tlauncher --probe-run myunknown2 --probe-run gcc -c l.c -o l.o\n"
    "fail:\n\tgcc -c bad.c -o bad.o --probe-exit=3\n";

const char* kOutputs[] = {"a.o", "prog", "lib.a", "sub/s.o", "y.o", "l.o", "bad.o"};

struct build_bytes {
    run_result run;
    std::map<std::string, std::string> files;
};

build_bytes build_once(const trace_build& b, preload with)
{
    for (const char* f : kOutputs) {
        std::remove(b.src(f).c_str());
    }
    build_bytes out{b.run({"sh", "build.sh"}, "src", with, {"ZIV_TRACE_WHITELIST=myskipped"}), {}};
    for (const char* f : kOutputs) {
        out.files[f] = exists(b.src(f)) ? read_file(b.src(f)) : "<absent>";
    }
    return out;
}

TEST(TraceBuild, MakeAndShellBuildRecordsEveryCommandWithItsParentAndLeavesTheBuildUnchanged)
{
    trace_build b;
    b.tools({"gcc", "ld", "ar", "as", "myunknown", "myunknown2", "myunknown3", "sed", "myskipped", "launcher"});
    mkdir(b.src("sub").c_str(), 0755);
    b.file("src/Makefile", kMakefile);
    b.file("src/sub/Makefile", "all:\n\tgcc -c s.c -o s.o\n");
    b.file("src/step.sh", "myunknown3 st\ntrue\n");
    b.file("src/build.sh", "make -k all\nstatus=$?\nexit $status\n");
    for (const char* f : {"src/a.c", "src/sub/s.c", "src/y.s", "src/l.c", "src/bad.c"}) {
        b.file(f, "int x;\n");
    }

    build_bytes plain = build_once(b, preload::none);
    ASSERT_EQ(plain.run.exit_code, 2) << describe(plain.run);  // the failing step, under make -k
    ASSERT_EQ(b.reports().at(0).at("row"), "none");
    b.clear_reports();
    build_bytes traced = build_once(b, preload::library);
    EXPECT_EQ(traced.run.exit_code, plain.run.exit_code);
    EXPECT_EQ(traced.run.out, plain.run.out);
    EXPECT_EQ(traced.run.err, plain.run.err);
    EXPECT_EQ(traced.files, plain.files);

    // command -> id, parent, run time, start, tool file, tool digest, directory
    test_db db(b.db_path());
    std::map<std::string, std::vector<std::string>> rows;
    for (const auto& r : db.rows("select c.command, c.id, c.parent_id, c.runtime, c.start_time, t.filename, "
                                 "t.checksum, p.filename from build_command_table c join tool_file_table t on "
                                 "t.id = c.tool_id join path_file_table p on p.id = c.path_file_id")) {
        EXPECT_EQ(rows.count(r[0]), 0u) << "recorded twice: " << r[0];
        rows[r[0]] = {r.begin() + 1, r.end()};
    }
    const std::string src = b.src(), bin = b.bin() + "/", launch = "launcher --probe-run myunknown2 --probe-run gcc -c l.c -o l.o";
    // command, tool, directory, parent's command ("" for the first traced one)
    const std::vector<std::array<std::string, 4>> wanted = {
        {"make -k all", "/usr/bin/make", src, ""},
        {"gcc -c a.c -o a.o -DMSG=it's two words", bin + "gcc", src, "make -k all"},
        {"ld a.o -o prog", bin + "ld", src, "make -k all"},
        {"ar rcs lib.a a.o", bin + "ar", src, "make -k all"},
        {"myunknown --probe-sleep=40 u", bin + "myunknown", src, "make -k all"},
        {"make -C sub", "/usr/bin/make", src, "make -k all"},
        {"gcc -c s.c -o s.o", bin + "gcc", src + "/sub", "make -C sub"},
        {"as y.s -o y.o", bin + "as", src, "make -k all"},  // its sh -c and bash -c are not
        // bash has its own setenv: its children must still name it.
        {"bash step.sh", "/usr/bin/bash", src, "make -k all"},
        {"myunknown3 st", bin + "myunknown3", src, "bash step.sh"},
        {launch, bin + "launcher", src, "make -k all"},
        // myunknown2's parent (launcher) does not qualify: untraced, so gcc
        // names launcher.
        {"gcc -c l.c -o l.o", bin + "gcc", src, launch},
        {"gcc -c bad.c -o bad.o --probe-exit=3", bin + "gcc", src, "make -k all"},
    };
    // Not here: sh -c, bash -c, sed and true (white list), myskipped
    // (ZIV_TRACE_WHITELIST), myunknown2 (parent does not qualify).
    EXPECT_EQ(rows.size(), wanted.size());
    const std::string probe_digest = sha256_of(kTraceProbe);
    for (const auto& [command, tool, dir, parent] : wanted) {
        SCOPED_TRACE(command);
        ASSERT_EQ(rows.count(command), 1u);
        const std::vector<std::string>& row = rows[command];
        EXPECT_EQ(row[4], tool);
        EXPECT_EQ(row[5], tool.rfind(bin, 0) == 0 ? probe_digest : sha256_of(tool));
        EXPECT_EQ(row[6], dir);
        EXPECT_EQ(row[1], parent.empty() ? "0" : rows[parent].at(0));
        EXPECT_GE(std::stol(row[2]), 0) << "run time not set at exit";
        EXPECT_TRUE(std::regex_match(row[3], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << row[3];
    }
    EXPECT_GE(std::stol(rows["myunknown --probe-sleep=40 u"].at(2)), 40);
    // Each tool file once, whatever the number of its commands.
    EXPECT_EQ(db.value("select count(*) from tool_file_table where filename = " + quoted(bin + "gcc")), "1");

    // What each probe saw at main: its own row and command id exported for
    // its children; untraced probes keep the id of the command above them.
    for (const probe_line& l : b.reports("gcc")) {
        SCOPED_TRACE(l.at("args"));
        EXPECT_EQ(l.at("row"), "gcc");
        EXPECT_EQ(l.at("pcommand"), l.at("cmd"));
        EXPECT_EQ(l.at("cmd"), rows["gcc " + l.at("args")].at(0));
    }
    const std::pair<std::string, std::string> seen[] = {
        {"myunknown", "default"}, {"sed", "none"}, {"myskipped", "none"}, {"myunknown2", "none"}};
    for (const auto& [prog, row] : seen) {
        ASSERT_EQ(b.reports(prog).size(), 1u) << prog;
        EXPECT_EQ(b.reports(prog)[0].at("row"), row) << prog;
    }
    EXPECT_EQ(b.reports("sed")[0].at("pcommand"), rows["make -k all"].at(0));
    EXPECT_EQ(b.reports("myskipped")[0].at("pcommand"), rows["make -k all"].at(0));
    EXPECT_EQ(b.reports("myunknown2")[0].at("pcommand"), rows[launch].at(0));

    // Every row also holds its vector; the one the text cannot tell apart
    // keeps "two words" as one argument.
    for (const auto& r : db.rows("select c.command, lower(hex(a.argv)) from build_command_table c left join "
                                 "build_command_argv_table a on a.command_id = c.id")) {
        const std::string& text = r[0];
        std::string bytes;
        for (char c : text) {
            bytes += c == ' ' ? '\0' : c;
        }
        if (text.find("two words") != std::string::npos) {
            bytes.replace(bytes.find(std::string("two\0words", 9)), 9, "two words");
        }
        EXPECT_EQ(r[1], hex(bytes + '\0')) << r[0];
    }
}

}  // namespace
}  // namespace ziv_test
