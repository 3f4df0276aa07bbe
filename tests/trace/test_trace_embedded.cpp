// ARM and IAR toolchains and tools described by a template file, traced in
// real processes: the probe stands in for each tool under its name, writes
// the files the tool would, and reports what the library's parser made of
// its command line.
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "../cli/tree_snapshot.h"
#include "trace_test_env.h"

namespace ziv_test {
namespace {

namespace fs = std::filesystem;

// An IAR command file: three leading bytes, the quoted words, a line feed.
std::string quoted_words(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words) {
        text += (text.empty() ? "\"" : " \"") + w + "\"";
    }
    return text;
}
std::string iar_file(const std::vector<std::string>& words) { return "\xEF\xBB\xBF" + quoted_words(words) + "\n"; }

// What the parser made of one process's line.
std::string parsed(const probe_line& l)
{
    return "in=" + l.at("in") + " out=" + l.at("out") + " pairs=" + l.at("pairs") + " flags=" + l.at("flags");
}

TEST(EmbeddedTools, ArmAndIarBuildRecordsTheFilesEachToolNamesAndRunsUnchanged)
{
    trace_build b;
    b.tools({"armcc", "armasm", "armlink", "fromelf", "iccarm", "iarchive"});
    const std::string w = b.src() + "/", util = "it's util";
    const std::string abs_src = w + "code/" + util + ".cpp", abs_obj = w + "build/iobj/" + util + ".o";
    const std::string inject = "V=$(touch pwned);1";
    // The tree before each build; every output lands under build/.
    auto setup = [&] {
        fs::remove_all(w + "build");
        for (const char* d : {"code", "build", "build/obj", "build/out", "build/iobj", "build/img"}) {
            mkdir((w + d).c_str(), 0755);
        }
        for (const std::string& f : {std::string("code/main.c"), "code/" + util + ".c", "code/" + util + ".cpp", std::string("code/x.c"), std::string("start.s")}) {
            b.file("src/" + f, "int " + std::to_string(f.size()) + ";\n");
        }
        // Names that must not be taken for inputs: the value of --cpu and a
        // feedback file written by armlink.
        b.file("src/Cortex-M3", "not an input\n");
        b.file("src/fb2.txt", "old feedback\n");
        b.file("src/cc.rsp", "-c code/x.c\n--output_dir=build/obj\n");
        b.file("src/objs.via", "build/obj/start.o\n");
        b.file("src/cmd.xcl", iar_file({abs_src, "-o", w + "build/iobj", "--debug", "-D", inject, "-I", w + "code/"}));
        b.file("src/lib.xcl", iar_file({abs_obj, w + "build/iobj/main.o", "-o", w + "build/img/lib.a"}));
    };
    struct tool_case {
        std::vector<std::string> argv;
        std::string writes;  // what the tool writes, "|" between names
        std::string parsed;
    };
    const std::vector<tool_case> cases = {
        {{"armcc", "-c", "--output_dir=build/obj", "code/main.c", "code/" + util + ".c", "--cpu", "Cortex-M3"},
         "build/obj/main.o|build/obj/" + util + ".o",
         "in=- out=- pairs=code/main.c>build/obj/main.o|code/it's util.c>build/obj/it's util.o flags=1"},
        {{"armcc", "-o", "build/img/cc.axf", "code/main.c", "--cpu", "Cortex-M3"}, "build/img/cc.axf",
         "in=code/main.c out=build/img/cc.axf pairs=- flags=4"},
        {{"armcc", "-S", "--output_dir=", "build/obj/", "code/x.c"}, "build/obj/x.s",
         "in=- out=- pairs=code/x.c>build/obj/x.s flags=1"},
        {{"armcc", "@cc.rsp"}, "build/obj/x.o", "in=- out=- pairs=code/x.c>build/obj/x.o flags=1"},
        {{"armasm", "--cpu", "Cortex-M3", "-o", "build/obj/start.o", "start.s"}, "build/obj/start.o",
         "in=- out=- pairs=- flags=-1"},
        {{"armlink", "--output=build/img/app.axf", "--feedback=build/img/fb.txt", "build/obj/main.o",
          "build/obj/" + util + ".o", "--via=objs.via"},
         "build/img/app.axf|build/img/fb.txt",
         "in=build/obj/main.o|build/obj/it's util.o|build/obj/start.o out=build/img/app.axf|build/img/fb.txt pairs=- "
         "flags=0"},
        {{"armlink", "--output", "build/img/app2.axf", "build/obj/main.o", "--feedback=", "fb2.txt"},
         "build/img/app2.axf|fb2.txt", "in=build/obj/main.o out=build/img/app2.axf|fb2.txt pairs=- flags=0"},
        {{"fromelf", "--bin", "-o", "build/out/", "build/img/app.axf"}, "build/out/app.axf",
         "in=- out=- pairs=build/img/app.axf>build/out/app.axf flags=0"},
        {{"fromelf", "--bin", "build/img/app.axf", "--output=build/img/app.bin"}, "build/img/app.bin",
         "in=- out=- pairs=build/img/app.axf>build/img/app.bin flags=0"},
        {{"iccarm", "code/main.c", "-o", "build/iobj/main.o", "--debug"}, "build/iobj/main.o",
         "in=code/main.c out=build/iobj/main.o pairs=- flags=0"},
        {{"iccarm", "-e", "code/x.c", "-o", "build/iobj/x.o"}, "build/iobj/x.o",
         "in=code/x.c out=build/iobj/x.o pairs=- flags=0"},
        {{"iccarm", "-f", "cmd.xcl"}, abs_obj, "in=" + abs_src + " out=" + abs_obj + " pairs=- flags=0"},
        {{"iarchive", "-f", "lib.xcl"}, w + "build/img/lib.a",
         "in=" + w + "build/iobj/main.o|" + abs_obj + " out=" + w + "build/img/lib.a pairs=- flags=0"},
        {{"iarchive", "build/iobj/x.o", "-o", "build/img/lib.a"}, "build/img/lib.a",
         "in=build/img/lib.a|build/iobj/x.o out=build/img/lib.a pairs=- flags=0"},
        {{"fromelf", "--text", "-c", "build/img/lib.a(x.o)", "-o", "build/img/list.txt"}, "build/img/list.txt",
         "in=- out=- pairs=build/img/lib.a>build/img/list.txt flags=0"},
    };
    std::string script = "set -e\n";
    for (const tool_case& c : cases) {
        script += "TRACE_PROBE_WRITES=" + quoted(c.writes, "'\\''");
        for (const std::string& a : c.argv) {
            script += " " + quoted(a, "'\\''");
        }
        script += "\n";
    }
    b.file("src/build.sh", script);

    setup();
    run_result plain = b.run({"sh", "build.sh"}, "src", preload::none);
    ASSERT_EQ(plain.exit_code, 0) << describe(plain);
    std::map<std::string, std::string> plain_files = tree_of(w + "build");
    b.clear_reports();
    setup();
    run_result traced = b.run({"sh", "build.sh"}, "src", preload::library);
    ASSERT_EQ(traced.exit_code, 0) << describe(traced);
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(tree_of(w + "build"), plain_files);
    EXPECT_EQ(plain_files.size(), 16u + 4);  // the files and four directories

    std::vector<probe_line> seen = b.reports();
    ASSERT_EQ(seen.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(joined(cases[i].argv));
        EXPECT_EQ(seen[i].at("row"), cases[i].argv[0]);
        EXPECT_EQ(parsed(seen[i]), cases[i].parsed);
    }

    // The IAR compiler's line rebuilt from its command file, the object
    // directory completed, recorded under the command that named the file;
    // the tool and its children name the rebuilt row.
    test_db db(b.db_path());
    const std::string rebuilt_id = b.id_of("iccarm \"" + abs_src + "\" \"-o\" \"" + abs_obj + "\" \"--debug\" \"-D\" \"" +
                                           inject + "\" \"-I\" \"" + w + "code/\"");
    ASSERT_NE(rebuilt_id, "");
    EXPECT_EQ(db.value("select parent_id from build_command_table where id = " + rebuilt_id), b.id_of("iccarm -f cmd.xcl"));
    const probe_line& rebuilt_seen = seen.at(11);
    EXPECT_EQ(rebuilt_seen.at("cmd"), rebuilt_id);
    EXPECT_EQ(rebuilt_seen.at("pcommand"), rebuilt_id);
    EXPECT_NE(db.value("select runtime from build_command_table where id = " + rebuilt_id), "-1");
    EXPECT_EQ(db.value("select command_id from target_file_table where filename = " + quoted(abs_obj)), rebuilt_id);
    EXPECT_NE(b.id_of("iarchive " + quoted_words({abs_obj, w + "build/iobj/main.o", "-o", w + "build/img/lib.a"})), "");
    EXPECT_NE(b.id_of("armcc -c code/x.c --output_dir=build/obj"), "");
    EXPECT_FALSE(exists(w + "pwned") || exists(b.root() + "/pwned"));

    // The road from the sources to the converted image and the archive
    // listing, each edge (made file, file it was made from).
    string_pairs edges = db.pairs(
        "select t.filename, d.filename from target_target_table r join target_file_table t on t.id = r.target_id "
        "join target_file_table d on d.id = r.dep_id union select t.filename, s.filename from target_source_table r "
        "join target_file_table t on t.id = r.target_id join source_file_table s on s.id = r.source_id");
    for (const std::pair<std::string, std::string>& edge : string_pairs{
             {"build/obj/main.o", "code/main.c"},
             {"build/img/app.axf", "build/obj/main.o"},
             {"build/img/app.axf", "build/obj/it's util.o"},
             {"build/img/app.axf", "build/obj/start.o"},
             {"build/out/app.axf", "build/img/app.axf"},
             {abs_obj, abs_src},
             {w + "build/img/lib.a", abs_obj},
             {"build/img/list.txt", "build/img/lib.a"},
         }) {
        EXPECT_EQ(edges.count(edge), 1u) << edge.first << " <- " << edge.second;
    }
    EXPECT_EQ(db.number("select count(*) from source_file_table where filename in ('Cortex-M3', 'fb2.txt')"), 0);
}

// A command file the library cannot use leaves the command row recorded at
// entry and nothing else; the tool runs as it would without the library.
TEST(EmbeddedTools, UnusableIarCommandFilesRecordOnlyTheCommandAndNeverHoldTheTool)
{
    trace_build b;
    b.tools({"iccarm"});
    const std::string w = b.src() + "/";
    b.file("src/main.c", "int m;\n");
    mkdir((w + "obj").c_str(), 0755);
    mkdir((w + "cmd.d").c_str(), 0755);
    ASSERT_EQ(mkfifo((w + "pipe.xcl").c_str(), 0644), 0);
    ASSERT_EQ(symlink("nowhere.xcl", (w + "dangling.xcl").c_str()), 0);
    const std::string good = quoted_words({w + "main.c", "-o", w + "obj"});
    std::string huge = "\xEF\xBB\xBF" + good;
    while (huge.size() < 2 * 1024 * 1024) {
        huge += " \"--no_cse\"";
    }
    // file, its contents ("" for a file prepared above), why it is unusable
    const std::vector<std::array<std::string, 3>> cases = {
        {"missing.xcl", "", "no such file"},
        {"dangling.xcl", "", "a link to nothing"},
        {"cmd.d", "", "a directory"},
        {"pipe.xcl", "", "a FIFO no one writes"},
        {"short.xcl", "\xEF\xBB\n", "three bytes"},
        // Cut at the NUL, the line would look whole.
        {"nul.xcl", "\xEF\xBB\xBF" + good + std::string(1, '\0') + " \"--debug\"\n", "a NUL byte"},
        {"huge.xcl", huge + "\n", "over the size limit"},
        {"no-o.xcl", iar_file({w + "main.c", "--debug"}), "no -o"},
        {"no-source.xcl", iar_file({"-o", w + "obj", "--debug"}), "no source for the object directory"},
        {"-f", "", "-f last"},
    };
    std::string script;
    for (const auto& [file, content, why] : cases) {
        if (!content.empty()) {
            b.file("src/" + file, content);
        }
        script += "iccarm -f" + (file == "-f" ? "" : " " + file) + "\n";
    }
    b.file("src/build.sh", script);
    run_result plain = b.run({"sh", "build.sh"}, "src", preload::none);
    b.clear_reports();
    run_result traced = b.run({"sh", "build.sh"}, "src", preload::library);
    ASSERT_FALSE(traced.timed_out);
    EXPECT_EQ(traced.exit_code, plain.exit_code) << describe(traced);
    EXPECT_EQ(traced.out, plain.out);
    std::vector<probe_line> seen = b.reports();
    ASSERT_EQ(seen.size(), cases.size());
    test_db db(b.db_path());
    EXPECT_EQ(db.count("build_command_table"), static_cast<long>(cases.size()));
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i][2]);
        EXPECT_EQ(seen[i].at("row"), "iccarm");
        EXPECT_EQ(parsed(seen[i]), "in=- out=- pairs=- flags=0");
        EXPECT_EQ(db.value("select command from build_command_table where id = " + seen[i].at("cmd")),
                  "iccarm " + seen[i].at("args"));
        EXPECT_EQ(seen[i].at("pcommand"), seen[i].at("cmd"));
    }
}

TEST(EmbeddedTools, TemplateFileDescribesAToolAndOnlyItsOwnWellFormedSection)
{
    trace_build b;
    b.tools({"mytool"});
    for (const char* f : {"a.c", "b.c", "c.c", "VERSION", "it's a \"q\" file.c"}) {
        b.file("src/" + std::string(f), "int x;\n");
    }
    mkdir((b.root() + "/tpl.d").c_str(), 0755);
    const std::string tpl = b.root() + "/template.conf", example = "[mytool]\noutput_short_args=-o\noutput_long_args=--out\n"
                                                                "input_short_args=-i -s\ninput_long_args=--in\nignore_args=-v\n";
    std::string binary(4096, '\0');
    std::mt19937 bytes(7);
    for (char& c : binary) {
        c = static_cast<char>(bytes());
    }
    const char nul_line[] = "[mytool]\noutput_short_args=-o\0\x01\xff\noutput_short_args=-O\n";
    const std::string hostile_out = "new\nline $(touch pwned);.bin";
    struct template_case {
        std::string what;
        std::string file;  // template file contents; ZIV_TRACE_TEMPLATE when it begins with "="
        std::vector<std::string> argv;
        std::string parsed;  // "untraced" when the program is no template command
    };
    const std::vector<template_case> cases = {
        {"the example among other sections and comments",
         "# tools\n[other]\noutput_short_args=-i\n" + example + "[next]\ninput_short_args=-o\n",
         {"mytool", "-i", "a.c", "--in=b.c", "-o", "out.bin", "--out=log.txt", "-v", "c.c"},
         "in=a.c|b.c|c.c out=out.bin|log.txt pairs=- flags=0"},
        {"short output option last", example, {"mytool", "a.c", "-o"}, "in=a.c out=- pairs=- flags=0"},
        {"a long input naming no file", example, {"mytool", "--in=missing.c", "-s", "b.c"},
         "in=b.c out=- pairs=- flags=0"},
        {"ignored name, the next argument still seen", "[mytool]\nignore_args=VERSION\n", {"mytool", "VERSION", "a.c"},
         "in=a.c out=- pairs=- flags=0"},
        {"blank before =, NULL then a real value, the first value wins",
         "[mytool]\noutput_long_args =--out\noutput_short_args=NULL\noutput_short_args= -o \n"
         "output_short_args=-x\n",
         {"mytool", "-o", "out.bin", "--out=x.bin", "a.c", "-x", "b.c"}, "in=a.c|b.c out=out.bin pairs=- flags=0"},
        {"no key: every existing file is an input", "[mytool]   ", {"mytool", "a.c", "VERSION", "-o"},
         "in=a.c|VERSION out=- pairs=- flags=0"},
        {"first of two sections", "[mytool]\ninput_short_args=-i\n[mytool]\noutput_short_args=-o\n",
         {"mytool", "-o", "out.bin", "-i", "a.c"}, "in=a.c out=- pairs=- flags=0"},
        {"over-long line", "[mytool]\n" + std::string(1023, 'x') + "output_short_args=-o\n",
         {"mytool", "-o", "out.bin", "a.c"}, "in=a.c out=- pairs=- flags=0"},
        {"a line holding a NUL byte", std::string(nul_line, sizeof nul_line - 1),
         {"mytool", "-o", "a.bin", "-O", "b.bin"}, "in=- out=b.bin pairs=- flags=0"},
        {"names with quotes, blanks, a line feed and shell characters", example,
         {"mytool", "-i", "it's a \"q\" file.c", "--out=" + hostile_out},
         "in=it's a \"q\" file.c out=new~line $(touch pwned);.bin pairs=- flags=0"},
        {"header with a blank before the line feed", "[mytool] \noutput_short_args=-o\n", {"mytool", "a.c"}, "untraced"},
        {"section of another program only", "[mytool2]\noutput_short_args=-o\n", {"mytool", "a.c"}, "untraced"},
        {"binary file", binary, {"mytool", "a.c"}, "untraced"},
        {"huge file", example + std::string(2 * 1024 * 1024, '#'), {"mytool", "a.c"}, "untraced"},
        {"missing file", "=" + b.root() + "/absent.conf", {"mytool", "a.c"}, "untraced"},
        {"directory", "=" + b.root() + "/tpl.d", {"mytool", "a.c"}, "untraced"},
        {"empty variable", "=", {"mytool", "a.c"}, "untraced"},
        {"over-long variable", "=/" + std::string(5000, 'x'), {"mytool", "a.c"}, "untraced"},
    };
    for (const template_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.file.rfind("=", 0) != 0) {
            write_file(tpl, c.file);
        }
        for (const char* out : {"out.bin", "log.txt", "a.bin", "b.bin", "x.bin"}) {
            std::remove(b.src(out).c_str());
        }
        b.clear_reports();
        run_result r = b.run(c.argv, "src", preload::library,
                             {"ZIV_TRACE_TEMPLATE=" + (c.file.rfind("=", 0) == 0 ? c.file.substr(1) : tpl)});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(r.out.rfind("mytool: " + joined(c.argv, 1) + "\n", 0), 0u) << "the tool's arguments changed";
        ASSERT_EQ(b.reports().size(), 1u);
        probe_line seen = b.reports()[0];
        EXPECT_EQ(seen.at("row"), c.parsed == "untraced" ? "none" : "template");
        if (c.parsed != "untraced") {
            EXPECT_EQ(parsed(seen), c.parsed);
        }
    }
    // The names as the tool got them, and nothing run.
    test_db db(b.db_path());
    EXPECT_EQ(db.value("select count(*) from target_file_table where filename = " + quoted(hostile_out)), "1");
    EXPECT_EQ(db.value("select count(*) from source_file_table where filename = 'it''s a \"q\" file.c'"), "1");
    EXPECT_FALSE(exists(b.src("pwned")) || exists(b.root() + "/pwned"));
    // The example: outputs made from every input.
    EXPECT_EQ(db.pairs("select t.filename, s.filename from target_source_table r join target_file_table t on "
                       "t.id = r.target_id join source_file_table s on s.id = r.source_id where t.command_id = " +
                       b.id_of("mytool -i a.c --in=b.c -o out.bin --out=log.txt -v c.c")),
              (string_pairs{{"out.bin", "a.c"}, {"out.bin", "b.c"}, {"out.bin", "c.c"}, {"log.txt", "a.c"},
                            {"log.txt", "b.c"}, {"log.txt", "c.c"}}));
}

}  // namespace
}  // namespace ziv_test
