// A real build under `kalvitrex run` with gcc and clang, then the database
// questioned with report, impact and diff.
#include <unistd.h>

#include <regex>

#include "cli_fixture.h"

using namespace cli_test;

namespace {

// `path` below directory `root`, without the root.
std::string below(const std::string& path, const std::string& root)
{
    return path == root ? "." : path.rfind(root + "/", 0) == 0 ? path.substr(root.size() + 1) : path;
}

// The words a line of kalvitrex output stands for, as bash reads them.
std::vector<std::string> shell_words(const std::string& line)
{
    run_options o;
    o.exe = "/bin/bash";
    o.argv = {"bash", "-c", "eval \"set -- $1\"; printf '%s\\0' \"$@\"", "bash", line};
    o.env = {"PATH=/usr/bin:/bin"};
    std::string out = run(o).out;
    std::vector<std::string> words;
    for (size_t at = 0, end; (end = out.find('\0', at)) != std::string::npos; at = end + 1) {
        words.push_back(out.substr(at, end - at));
    }
    return words;
}

}  // namespace

// One source compiled static and position-independent, in two directories,
// by gcc and clang; several sources in one command, a compile-and-link, a
// response file, a failed compile, a source removed afterwards, a link-time
// optimisation whose driver starts drivers; and arguments no blank-separated
// text can keep, which the entry must hand back to the compiler exactly.
TEST(CliBuild, CompileEntriesOfARealBuildAreExactAndOnePerCompile)
{
    temp_dir t;
    const std::string w = t.path();
    const std::string weird = "caf\xe9 w.c";
    mkdir(t.sub("sub").c_str(), 0755);
    mkdir(t.sub("inc dir").c_str(), 0755);
    for (const char* f : {"u.c", "a.c", "b.c", "gone.c", "r.c"}) {
        write_file(t.sub(f), std::string("int ") + f[0] + "_(void) { return 1; }\n");
    }
    write_file(t.sub("l.c"), "int main(void) { return 0; }\n");
    write_file(t.sub("m.c"), "int main(void) { return 0; }\n");
    write_file(t.sub("bad.c"), "int bad( {\n");
    write_file(t.sub("opts.rsp"), "-c r.c -o r.o\n");
    write_file(t.sub("inc dir/w.h"), "#define W 1\n");
    write_file(t.sub(weird), "#include <w.h>\n#define S2(x) #x\n#define S(x) S2(x)\n"
                             "const char* m = MESSAGE; const char* e = S(EXPORT); const char* bs = S(BS);\n"
                             "const char* n = NAME; int w = W;\n");
    const std::vector<std::string> weird_argv = {
        "gcc", "-c", "-DMESSAGE=\"Hello World\\n\"", "-DEXPORT=extern \"C\"", "-I", "inc dir", "-DBS=a\\b",
        "-DEQ=x=y", "-DNAME=\"\xff\"", "-iprefix", "", weird, "-o", "w.o"};
    std::string weird_line;
    for (const std::string& a : weird_argv) {
        weird_line += "'" + std::regex_replace(a, std::regex("'"), "'\\''") + "' ";
    }
    write_file(t.sub("build.sh"),
               "gcc -c u.c -o u.o\n"
               "gcc -c -fPIC u.c -o u.pic.o\n"
               "(cd sub && gcc -c ../u.c -o u.o)\n"
               "clang -c u.c -o u.clang.o\n"
               "gcc -c -O1 a.c b.c\n"
               "gcc -c -O1 a.c b.c\n"
               "gcc -O2 m.c a.c -o prog\n"
               "gcc @opts.rsp\n"
               "gcc -c bad.c -o bad.o 2>/dev/null\n"
               "gcc -c gone.c -o gone.o && rm gone.c\n"
               "gcc -E u.c -o u.i\n"
               "gcc -flto -c l.c -o l.o && gcc -flto l.o -o lprog\n" +
                   weird_line + "\n");
    auto r = kalvitrex({"run", "--db", "k.db", "--hdeps", "mm", "--compile-commands", "cc.json", "--", "sh", "build.sh"},
                       w, {}, 120);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: wrote 12 entries to " + t.sub("cc.json") + "\n"), std::string::npos) << r.err;
    {
        // The summary counts what the run added; the compiler proper names
        // its driver as parent.
        test_db db(t.sub("k.db"));
        EXPECT_NE(r.err.find(": " + db.value("select count(*) from build_command_table") + " commands traced, "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(" files recorded, " +
                             db.value("select count(*) from target_file_table where command_id != 0") + " targets ("),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(db.number("select count(*) from build_command_table c join build_command_table p on "
                            "p.id = c.parent_id where p.command = 'gcc -c -fPIC u.c -o u.pic.o' and c.command like "
                            "'%cc1 %u.c%'"),
                  1);
    }
    // The header the compile read: the object above it.
    auto imp = kalvitrex({"impact", "--db", "k.db", "inc dir/w.h"}, w);
    EXPECT_EQ(imp.out, t.sub("w.o") + "\n") << describe(imp);
    // The same file as report writes.
    auto rep = kalvitrex({"report", "--db", "k.db", "--compile-commands", "again.json"}, w);
    ASSERT_EQ(rep.exit_code, 0) << describe(rep);
    EXPECT_EQ(read_file(t.sub("again.json")), read_file(t.sub("cc.json")));

    json j = read_json(t.sub("cc.json"));
    std::vector<std::vector<std::string>> entries;
    for (const json& e : j.items) {
        entries.push_back({below(e.at("file").text, w), below(e.at("output").text, w), below(e.at("directory").text, w)});
        for (const json& a : e.at("arguments").items) {
            entries.back().push_back(a.text);
        }
    }
    std::vector<std::string> weird_entry = {weird, "w.o", "."};
    weird_entry.insert(weird_entry.end(), weird_argv.begin(), weird_argv.end());
    EXPECT_EQ(entries, (std::vector<std::vector<std::string>>{
                           {"u.c", "u.o", ".", "gcc", "-c", "u.c", "-o", "u.o"},
                           {"u.c", "u.pic.o", ".", "gcc", "-c", "-fPIC", "u.c", "-o", "u.pic.o"},
                           {"u.c", "sub/u.o", "sub", "gcc", "-c", "../u.c", "-o", "u.o"},
                           {"u.c", "u.clang.o", ".", "clang", "-c", "u.c", "-o", "u.clang.o"},
                           {"a.c", "a.o", ".", "gcc", "-c", "-O1", "a.c"},
                           {"b.c", "b.o", ".", "gcc", "-c", "-O1", "b.c"},
                           {"m.c", "m.o", ".", "gcc", "-c", "-O2", "m.c"},
                           {"a.c", "a.o", ".", "gcc", "-c", "-O2", "a.c"},
                           {"r.c", "r.o", ".", "gcc", "-c", "r.c", "-o", "r.o"},
                           {"bad.c", "bad.o", ".", "gcc", "-c", "bad.c", "-o", "bad.o"},
                           {"l.c", "l.o", ".", "gcc", "-flto", "-c", "l.c", "-o", "l.o"},
                           weird_entry}))
        << read_file(t.sub("cc.json"));

    // Fed back to the compiler without a shell, the entry makes the same object.
    const std::string made = read_file(t.sub("w.o"));
    std::remove(t.sub("w.o").c_str());
    run_options again;
    again.exe = "/usr/bin/gcc";
    again.argv = entries.back();
    again.argv.erase(again.argv.begin(), again.argv.begin() + 3);
    again.cwd = w;
    again.env = {"PATH=/usr/bin:/bin"};
    ASSERT_EQ(run(again).exit_code, 0);
    EXPECT_EQ(read_file(t.sub("w.o")), made);

    // --all keeps the source that is gone.
    rep = kalvitrex({"report", "--db", "k.db", "--compile-commands", "all.json", "--all"}, w);
    ASSERT_EQ(rep.exit_code, 0) << describe(rep);
    EXPECT_NE(read_file(t.sub("all.json")).find("\"file\": \"" + t.sub("gone.c") + "\""), std::string::npos);
    EXPECT_NE(rep.err.find("wrote 13 entries"), std::string::npos) << rep.err;

    // report and diff show the command so that a shell runs exactly its arguments.
    rep = kalvitrex({"report", "--db", "k.db", "--top", "100"}, w);
    std::vector<std::string> shown;
    for (const std::string& l : lines_of(rep.out)) {
        size_t command = l.find_first_not_of(' ', l.find_first_not_of(" 0123456789"));
        if (l.find("MESSAGE") != std::string::npos && l.compare(command, 4, "gcc ") == 0) {
            shown.push_back(l.substr(command));
        }
    }
    ASSERT_EQ(shown.size(), 1u) << rep.out;
    EXPECT_EQ(shell_words(shown[0]), weird_argv) << shown[0];
    write_file(t.sub(weird), read_file(t.sub(weird)) + "int changed;\n");
    write_file(t.sub("w.sh"), weird_line + "\n");
    ASSERT_EQ(kalvitrex({"run", "--db", "two.db", "--", "sh", "w.sh"}, w).exit_code, 0);
    auto d = kalvitrex({"diff", "k.db", "two.db"}, w);
    EXPECT_EQ(d.exit_code, 1) << describe(d);
    auto l = lines_of(d.out);
    ASSERT_EQ(l.size(), 3u) << d.out;
    EXPECT_EQ(l[0], "w.o");
    ASSERT_EQ(l[1].rfind("    made by: ", 0), 0u) << l[1];
    EXPECT_EQ(shell_words(l[1].substr(13)), weird_argv) << l[1];
}
