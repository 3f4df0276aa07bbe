// ARM and IAR toolchains and tools described by a template file, traced in
// real processes: a stand-in takes each tool's command lines and writes the
// files they name, and reports what the library's parser made of them.
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "trace_test_env.h"

namespace ziv_test {
namespace {

namespace fs = std::filesystem;

const std::string kTool = ZIV_EMBEDDED_TOOL;

std::string sh_quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? "'\\''" : std::string(1, c);
    }
    return out + "'";
}

std::string joined(const std::vector<std::string>& argv, size_t from = 0)
{
    std::string text;
    for (size_t i = from; i < argv.size(); ++i) {
        text += (i > from ? " " : "") + argv[i];
    }
    return text;
}

std::string quoted_words(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words) {
        text += (text.empty() ? "\"" : " \"") + w + "\"";
    }
    return text;
}

// An IAR command file: three leading bytes, the quoted words, a line feed.
std::string iar_file(const std::vector<std::string>& words) { return "\xEF\xBB\xBF" + quoted_words(words) + "\n"; }

// What the parser made of one process's line.
std::string parsed(const probe_line& l)
{
    return "in=" + l.at("in") + " out=" + l.at("out") + " pairs=" + l.at("pairs") + " flags=" + l.at("flags");
}

// Every regular file under `dir`, by relative name, with its bytes.
std::map<std::string, std::string> files_under(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), dir).string()] = read_file(entry.path().string());
        }
    }
    return files;
}

struct tool_case {
    std::vector<std::string> argv;
    std::string parsed;
};

TEST(EmbeddedTools, ArmAndIarBuildRecordsTheFilesEachToolNamesAndRunsUnchanged)
{
    trace_build b;
    for (const char* tool : {"armcc", "armasm", "armlink", "fromelf", "iccarm", "iarchive"}) {
        make_tool_dir_link(b.bin(), tool, kTool);
    }
    const std::string w = b.src() + "/";
    const std::string util = "it's util";
    const std::string abs_src = w + "code/" + util + ".cpp", abs_obj = w + "build/iobj/" + util + ".o";
    const std::string inject = "V=$(touch pwned);1";
    // The tree before each build; every output lands under build/.
    auto setup = [&] {
        fs::remove_all(w + "build");
        for (const char* d : {"code", "build", "build/obj", "build/out", "build/iobj", "build/img"}) {
            mkdir((w + d).c_str(), 0755);
        }
        for (const std::string& f :
             std::vector<std::string>{"code/main.c", "code/" + util + ".c", abs_src, "code/x.c", "start.s"}) {
            write_file(f[0] == '/' ? f : w + f, "int " + std::to_string(f.size()) + ";\n");
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
    const std::vector<tool_case> cases = {
        {{"armcc", "-c", "--output_dir=build/obj", "code/main.c", "code/" + util + ".c", "--cpu", "Cortex-M3"},
         "in=- out=- pairs=code/main.c>build/obj/main.o|code/it's util.c>build/obj/it's util.o flags=1"},
        {{"armcc", "-o", "build/img/cc.axf", "code/main.c", "--cpu", "Cortex-M3"},
         "in=code/main.c out=build/img/cc.axf pairs=- flags=4"},
        {{"armcc", "-S", "--output_dir=", "build/obj/", "code/x.c"}, "in=- out=- pairs=code/x.c>build/obj/x.s flags=1"},
        {{"armcc", "@cc.rsp"}, "in=- out=- pairs=code/x.c>build/obj/x.o flags=1"},
        {{"armasm", "--cpu", "Cortex-M3", "-o", "build/obj/start.o", "start.s"}, "in=- out=- pairs=- flags=-1"},
        {{"armlink", "--output=build/img/app.axf", "--feedback=build/img/fb.txt", "build/obj/main.o",
          "build/obj/" + util + ".o", "--via=objs.via"},
         "in=build/obj/main.o|build/obj/it's util.o|build/obj/start.o out=build/img/app.axf|build/img/fb.txt pairs=- "
         "flags=0"},
        {{"armlink", "--output", "build/img/app2.axf", "build/obj/main.o", "--feedback=", "fb2.txt"},
         "in=build/obj/main.o out=build/img/app2.axf|fb2.txt pairs=- flags=0"},
        {{"fromelf", "--bin", "-o", "build/out/", "build/img/app.axf"},
         "in=- out=- pairs=build/img/app.axf>build/out/app.axf flags=0"},
        {{"fromelf", "--bin", "build/img/app.axf", "--output=build/img/app.bin"},
         "in=- out=- pairs=build/img/app.axf>build/img/app.bin flags=0"},
        {{"iccarm", "code/main.c", "-o", "build/iobj/main.o", "--debug"},
         "in=code/main.c out=build/iobj/main.o pairs=- flags=0"},
        {{"iccarm", "-e", "code/x.c", "-o", "build/iobj/x.o"}, "in=code/x.c out=build/iobj/x.o pairs=- flags=0"},
        {{"iccarm", "-f", "cmd.xcl"}, "in=" + abs_src + " out=" + abs_obj + " pairs=- flags=0"},
        {{"iarchive", "-f", "lib.xcl"},
         "in=" + w + "build/iobj/main.o|" + abs_obj + " out=" + w + "build/img/lib.a pairs=- flags=0"},
        {{"iarchive", "build/iobj/x.o", "-o", "build/img/lib.a"},
         "in=build/img/lib.a|build/iobj/x.o out=build/img/lib.a pairs=- flags=0"},
        {{"fromelf", "--text", "-c", "build/img/lib.a(x.o)", "-o", "build/img/list.txt"},
         "in=- out=- pairs=build/img/lib.a>build/img/list.txt flags=0"},
    };
    std::string script = "set -e\n";
    for (const tool_case& c : cases) {
        for (const std::string& a : c.argv) {
            script += sh_quote(a) + " ";
        }
        script += "\n";
    }
    b.file("src/build.sh", script);

    setup();
    run_result plain = b.run({"sh", "build.sh"}, "src", preload::none);
    ASSERT_EQ(plain.exit_code, 0) << describe(plain);
    std::map<std::string, std::string> plain_files = files_under(w + "build");
    b.clear_reports();
    setup();
    run_result traced = b.run({"sh", "build.sh"}, "src", preload::library);
    ASSERT_EQ(traced.exit_code, 0) << describe(traced);
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(files_under(w + "build"), plain_files);
    EXPECT_EQ(plain_files.size(), 16u);

    std::vector<probe_line> seen = b.reports();
    ASSERT_EQ(seen.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(joined(cases[i].argv));
        EXPECT_EQ(seen[i].at("row"), cases[i].argv[0]);
        EXPECT_EQ(parsed(seen[i]), cases[i].parsed);
    }

    test_db db(b.db_path());
    auto command_id = [&](const std::string& command) {
        return db.value("select id from build_command_table where command = " + sql_quote(command));
    };
    // The IAR compiler's line rebuilt from its command file, the object
    // directory completed, recorded under the command that named the file;
    // the tool and its children name the rebuilt row.
    const std::string rebuilt = "iccarm \"" + abs_src + "\" \"-o\" \"" + abs_obj + "\" \"--debug\" \"-D\" \"" + inject +
                                "\" \"-I\" \"" + w + "code/\"";
    const std::string rebuilt_id = command_id(rebuilt), entry_id = command_id("iccarm -f cmd.xcl");
    ASSERT_NE(rebuilt_id, "");
    ASSERT_NE(entry_id, "");
    EXPECT_EQ(db.value("select parent_id from build_command_table where id = " + rebuilt_id), entry_id);
    const probe_line& rebuilt_seen = b.reports("iccarm").at(2);
    ASSERT_EQ(rebuilt_seen.at("args"), "-f cmd.xcl");
    EXPECT_EQ(rebuilt_seen.at("cmd"), rebuilt_id);
    EXPECT_EQ(rebuilt_seen.at("pcommand"), rebuilt_id);
    EXPECT_NE(db.value("select runtime from build_command_table where id = " + rebuilt_id), "-1");
    EXPECT_EQ(db.value("select command_id from target_file_table where filename = " + sql_quote(abs_obj)), rebuilt_id);
    EXPECT_NE(command_id("iarchive " + quoted_words({abs_obj, w + "build/iobj/main.o", "-o", w + "build/img/lib.a"})),
              "");
    EXPECT_NE(command_id("armcc -c code/x.c --output_dir=build/obj"), "");
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
    make_tool_dir_link(b.bin(), "iccarm", kTool);
    const std::string w = b.src() + "/";
    b.file("src/main.c", "int m;\n");
    mkdir((w + "obj").c_str(), 0755);
    mkdir((w + "cmd.d").c_str(), 0755);
    ASSERT_EQ(mkfifo((w + "pipe.xcl").c_str(), 0644), 0);
    ASSERT_EQ(symlink("nowhere.xcl", (w + "dangling.xcl").c_str()), 0);
    const std::string good = quoted_words({w + "main.c", "-o", w + "obj"});
    // Cut at the NUL, the line would look whole.
    std::string with_nul = "\xEF\xBB\xBF" + good + std::string(1, '\0') + " \"--debug\"\n";
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
        {"nul.xcl", with_nul, "a NUL byte"},
        {"huge.xcl", huge + "\n", "over the size limit"},
        {"no-o.xcl", iar_file({w + "main.c", "--debug"}), "no -o"},
        {"no-source.xcl", iar_file({"-o", w + "obj", "--debug"}), "no source for the object directory"},
        {"-f", "", "-f last"},
    };
    for (const auto& [file, content, why] : cases) {
        SCOPED_TRACE(why);
        if (!content.empty()) {
            b.file("src/" + file, content);
        }
        std::vector<std::string> argv = {"iccarm", "-f"};
        if (file != "-f") {
            argv.push_back(file);
        }
        run_result plain = b.run(argv, "src", preload::none);
        b.clear_reports();
        run_result traced = b.run(argv, "src", preload::library);
        EXPECT_FALSE(traced.timed_out);
        EXPECT_EQ(traced.exit_code, plain.exit_code) << describe(traced);
        EXPECT_EQ(traced.out, plain.out);
        ASSERT_EQ(b.reports().size(), 1u);
        probe_line seen = b.reports()[0];
        EXPECT_EQ(seen.at("row"), "iccarm");
        EXPECT_EQ(parsed(seen), "in=- out=- pairs=- flags=0");
        test_db db(b.db_path());
        EXPECT_EQ(db.value("select max(id) from build_command_table"), seen.at("cmd"));
        EXPECT_EQ(db.value("select command from build_command_table where id = " + seen.at("cmd")), joined(argv));
        EXPECT_EQ(seen.at("pcommand"), seen.at("cmd"));
    }
}

const std::string kExample =
    "[mytool]\noutput_short_args=-o\noutput_long_args=--out\ninput_short_args=-i -s\ninput_long_args=--in\n"
    "ignore_args=-v\n";

struct template_case {
    std::string what;
    std::string file;  // template file contents
    std::vector<std::string> argv;
    std::string parsed;  // "untraced" when the program is no template command
};

TEST(EmbeddedTools, TemplateFileDescribesAToolAndOnlyItsOwnWellFormedSection)
{
    trace_build b;
    make_tool_dir_link(b.bin(), "mytool", kTool);
    for (const char* f : {"a.c", "b.c", "c.c", "VERSION", "it's a \"q\" file.c"}) {
        b.file("src/" + std::string(f), "int x;\n");
    }
    std::string binary(4096, '\0');
    std::mt19937 bytes(7);
    for (char& c : binary) {
        c = static_cast<char>(bytes());
    }
    const char nul_line[] = "[mytool]\noutput_short_args=-o\0\x01\xff\noutput_short_args=-O\n";
    const std::string hostile_out = "new\nline $(touch pwned);.bin";
    const std::vector<template_case> cases = {
        {"the example among other sections and comments",
         "# tools\n[other]\noutput_short_args=-i\n" + kExample + "[next]\ninput_short_args=-o\n",
         {"mytool", "-i", "a.c", "--in=b.c", "-o", "out.bin", "--out=log.txt", "-v", "c.c"},
         "in=a.c|b.c|c.c out=out.bin|log.txt pairs=- flags=0"},
        {"short output option last", kExample, {"mytool", "a.c", "-o"}, "in=a.c out=- pairs=- flags=0"},
        {"a long input naming no file", kExample, {"mytool", "--in=missing.c", "-s", "b.c"},
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
        {"names with quotes, blanks, a line feed and shell characters", kExample,
         {"mytool", "-i", "it's a \"q\" file.c", "--out=" + hostile_out},
         "in=it's a \"q\" file.c out=new~line $(touch pwned);.bin pairs=- flags=0"},
        {"header with a blank before the line feed", "[mytool] \noutput_short_args=-o\n", {"mytool", "a.c"}, "untraced"},
        {"section of another program only", "[mytool2]\noutput_short_args=-o\n", {"mytool", "a.c"}, "untraced"},
        {"binary file", binary, {"mytool", "a.c"}, "untraced"},
        {"huge file", kExample + std::string(2 * 1024 * 1024, '#'), {"mytool", "a.c"}, "untraced"},
        {"missing file", "", {"mytool", "a.c"}, "untraced"},
        {"directory", "", {"mytool", "a.c"}, "untraced"},
        {"empty variable", "", {"mytool", "a.c"}, "untraced"},
        {"over-long variable", "", {"mytool", "a.c"}, "untraced"},
    };
    mkdir((b.root() + "/tpl.d").c_str(), 0755);
    for (const template_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = b.root() + "/template.conf";
        if (c.what == "missing file") {
            path = b.root() + "/absent.conf";
        } else if (c.what == "directory") {
            path = b.root() + "/tpl.d";
        } else if (c.what == "empty variable") {
            path = "";
        } else if (c.what == "over-long variable") {
            path = "/" + std::string(5000, 'x');
        } else {
            write_file(path, c.file);
        }
        for (const char* out : {"out.bin", "log.txt", "a.bin", "b.bin", "x.bin"}) {
            std::remove(b.src(out).c_str());
        }
        b.clear_reports();
        run_result r = b.run(c.argv, "src", preload::library, {"ZIV_TRACE_TEMPLATE=" + path});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(r.out, "mytool: " + joined(c.argv, 1) + "\nstatus=0\n") << "the tool's arguments changed";
        ASSERT_EQ(b.reports().size(), 1u);
        probe_line seen = b.reports()[0];
        EXPECT_EQ(seen.at("row"), c.parsed == "untraced" ? "none" : "template");
        if (c.parsed != "untraced") {
            EXPECT_EQ(parsed(seen), c.parsed);
        }
    }
    // The names as the tool got them, and nothing run.
    test_db db(b.db_path());
    EXPECT_EQ(db.value("select count(*) from target_file_table where filename = " + sql_quote(hostile_out)), "1");
    EXPECT_EQ(db.value("select count(*) from source_file_table where filename = 'it''s a \"q\" file.c'"), "1");
    EXPECT_FALSE(exists(b.src("pwned")) || exists(b.root() + "/pwned"));
    // The example: outputs made from every input.
    EXPECT_EQ(db.pairs("select t.filename, s.filename from target_source_table r join target_file_table t on "
                       "t.id = r.target_id join source_file_table s on s.id = r.source_id where t.filename in "
                       "('out.bin', 'log.txt') and t.command_id = (select id from build_command_table where command = "
                       "'mytool -i a.c --in=b.c -o out.bin --out=log.txt -v c.c')"),
              (string_pairs{{"out.bin", "a.c"}, {"out.bin", "b.c"}, {"out.bin", "c.c"}, {"log.txt", "a.c"},
                            {"log.txt", "b.c"}, {"log.txt", "c.c"}}));
}

}  // namespace
}  // namespace ziv_test
