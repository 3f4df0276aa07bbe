// kalvitrex check on a real make and gcc project: reproducible under the
// default profile, then with one stamped header that check must name as the
// only culprit; and the inputs it must refuse or survive, always leaving the
// user's tree as it was and no copy behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "cli_fixture.h"
#include "tree_snapshot.h"

using namespace cli_test;

namespace {

// The project: a program from three objects in two archives, one of them
// holding a generated header made by $(STAMPER); __DATE__ and __TIME__, a
// date stamp, the host name, a tar of sources, a byte-compiled Python
// module, writes through a symbolic link into the tree and reads through
// one that leaves it, and an installed copy beside the tree (where
// dpkg-buildpackage puts its packages).
void write_project(const std::string& dir, const std::string& outside)
{
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/include").c_str(), 0755);
    mkdir((dir + "/outdir").c_str(), 0755);
    write_file(dir + "/include/util.h", "int util(int);\nconst char* stamp(void);\n");
    write_file(dir + "/util.c", "#include \"util.h\"\nint util(int x) { return x * 3; }\n");
    write_file(dir + "/stamp.c", "#include \"stamp.h\"\nconst char* stamp(void) { return STAMP; }\n");
    write_file(dir + "/main.c",
               "#include <stdio.h>\n#include \"util.h\"\n"
               "int main(void) { printf(\"%d %s %s %s\\n\", util(14), stamp(), __DATE__, __TIME__); return 0; }\n");
    write_file(dir + "/mod.py", "def f(x):\n    return x in {'alpha', 'beta', 'gamma'}\n");
    // A time that came with the sources (a tarball's, older than the build
    // time) is the sources' own: a copy does not change it.
    write_file(dir + "/dated.txt", "2001\n");
    const timespec dated[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, (dir + "/dated.txt").c_str(), dated, 0);
    write_file(dir + "/Makefile",
               "STAMPER = echo fixed\n"
               "all: prog when.txt host.txt sources.tar out/gen.txt copied.txt pyc ../prog.installed config.log dated.stamp "
               "../p.buildinfo CMakeFiles/Makefile2\n"
               "CMakeFiles/Makefile2:\n\tmkdir -p CMakeFiles; cat /proc/sys/kernel/random/uuid > $@\n"
               "../p.buildinfo:\n\tcat /proc/sys/kernel/random/uuid > ../p.buildinfo\n"
               "dated.stamp:\n\tstat -c %Y dated.txt > dated.stamp\n"
               "config.log:\n\tcat /proc/sys/kernel/random/uuid > config.log\n"
               "prog: main.o libutil.a libstamp.a\n\tgcc -o prog main.o libutil.a libstamp.a\n"
               "main.o: main.c inc/util.h\n\tgcc -Iinc -c main.c\n"
               "util.o: util.c inc/util.h\n\tgcc -Iinc -c util.c\n"
               "libutil.a: util.o\n\tar rcs libutil.a util.o\n"
               "stamp.h:\n\techo \"#define STAMP \\\"$$($(STAMPER))\\\"\" > stamp.h\n"
               "stamp.o: stamp.c stamp.h\n\tgcc -c stamp.c\n"
               "libstamp.a: stamp.o\n\tar rcs libstamp.a stamp.o\n"
               "when.txt:\n\tdate > when.txt\n"
               "host.txt:\n\thostname > host.txt\n"
               "sources.tar: main.c util.c\n\ttar cf sources.tar main.c util.c inc\n"
               "out/gen.txt:\n\techo generated > out/gen.txt\n"
               "copied.txt:\n\tcat shared/data.txt > copied.txt\n"
               "pyc:\n\tpython3 -m py_compile mod.py\n"
               "../prog.installed: prog\n\tcp prog ../prog.installed\n"
               ".PHONY: all pyc\n");
    symlink("include", (dir + "/inc").c_str());
    symlink((dir + "/outdir").c_str(), (dir + "/out").c_str());
    symlink(("../" + outside.substr(outside.rfind('/') + 1)).c_str(), (dir + "/shared").c_str());
    mkdir(outside.c_str(), 0755);
    write_file(outside + "/data.txt", "from outside\n");
}

run_result check(std::vector<std::string> args, const std::string& dir, const std::string& tmp)
{
    args.insert(args.begin(), "check");
    return kalvitrex(args, dir, {"TMPDIR=" + tmp}, 120);
}

}  // namespace

TEST(CliCheck, ReproducibleProjectThenAStampedHeaderAsTheOnlyCulprit)
{
    temp_dir t;
    const std::string dir = t.sub("my 'proj\""), tmp = t.sub("tmp");
    mkdir(tmp.c_str(), 0755);
    write_project(dir, t.sub("shared"));
    const auto before = tree_of(dir, true);

    // A log that differs in every build is listed apart and decides nothing.
    auto r = check({"--json", "../r.json", "--", "make", "-s"}, dir, tmp);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("kalvitrex check: reproducible: [0-9]+ files made by both builds are identical\n\n"
                          "Build-system records that differ [^\n]*\n  CMakeFiles/Makefile2\n  config.log\n  ../p.buildinfo\n")))
        << r.out;
    json j = read_json(t.sub("r.json"));
    EXPECT_EQ(j.at("reproducible").text, "true");
    EXPECT_EQ(j.at("records_differing").texts(), (std::vector<std::string>{"CMakeFiles/Makefile2", "config.log", "../p.buildinfo"}));
    ASSERT_EQ(j.at("builds").items.size(), 2u);
    for (const json& b : j.at("builds").items) {
        EXPECT_EQ(b.at("status").text, "0");
        EXPECT_GE(std::stoi(b.at("commands").text), 10);
    }
    // main.o util.o stamp.o, two archives, prog, stamp.h, when.txt, host.txt,
    // sources.tar, gen.txt, copied.txt, the .pyc, the copy beside.
    EXPECT_GE(std::stoi(j.at("files_made_by_both").text), 14);
    EXPECT_GE(std::stod(j.at("variations").at("second_start_after_s").text), 1.0);
    // The files written now moved back by a day and more; dated.txt kept its time.
    EXPECT_EQ(j.at("variations").at("file_times_shift_s").text, "-90017");
    EXPECT_EQ(j.at("variations").at("file_times_after").text, "1646016134");
    EXPECT_EQ(tree_of(dir, true), before) << "the user's tree changed";
    EXPECT_TRUE(tree_of(tmp, true).empty()) << "copies left behind";

    // A header stamped with a fresh value in each build: it is where the
    // difference starts; the object, archive and program only follow it.
    r = check({"--keep", "--json", t.sub("s.json"), "--", "make", "-s", "STAMPER=cat /proc/sys/kernel/random/uuid"},
              dir, tmp);
    ASSERT_EQ(r.exit_code, 1) << describe(r);
    j = read_json(t.sub("s.json"));
    EXPECT_EQ(j.at("reproducible").text, "false");
    std::vector<std::string> differing = j.at("differing").texts();
    EXPECT_EQ(std::set<std::string>(differing.begin(), differing.end()),
              (std::set<std::string>{"stamp.h", "stamp.o", "libstamp.a", "prog", "../prog.installed"}));
    ASSERT_EQ(j.at("culprits").items.size(), 1u) << r.out;
    const json& c = j.at("culprits").items[0];
    EXPECT_EQ(c.at("kind").text, "file");
    EXPECT_EQ(c.at("file").text, "stamp.h");
    ASSERT_EQ(c.at("read_by").items.size(), 1u);
    EXPECT_EQ(c.at("read_by").items[0].at("command").text, "gcc -c stamp.c");
    EXPECT_EQ(c.at("read_by").items[0].at("directory").text, ".");
    std::map<std::string, std::string> consequences;
    for (const json& k : j.at("consequences").items) {
        EXPECT_EQ(k.at("culprits").items.size(), 1u);
        consequences[k.at("file").text] = k.at("made_by").at("command").text + " <- " + k.at("culprits").items[0].text;
    }
    EXPECT_EQ(consequences, (std::map<std::string, std::string>{{"stamp.o", "gcc -c stamp.c <- 0"},
                                                                {"libstamp.a", "ar rcs libstamp.a stamp.o <- 0"},
                                                                {"prog", "gcc -o prog main.o libutil.a libstamp.a <- 0"},
                                                                {"../prog.installed", "cp prog ../prog.installed <- 0"}}));
    EXPECT_TRUE(j.at("only_in_first").items.empty() && j.at("only_in_second").items.empty());
    EXPECT_NE(r.out.find("kalvitrex check: not reproducible: 5 of "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nCulprits (where the differences start):\n  stamp.h\n      made by no traced command; "
                         "read by: gcc -c stamp.c\n"),
              std::string::npos)
        << r.out;
    const std::string kept = j.at("kept").text;
    for (const char* f : {"first/prog", "second/prog", "first.db", "second.db", "second.beside/prog.installed"}) {
        EXPECT_TRUE(exists(kept + "/" + f)) << f;
    }
    EXPECT_EQ(read_file(kept + "/first/copied.txt"), "from outside\n");
    EXPECT_EQ(read_file(kept + "/second/outdir/gen.txt"), "generated\n");
    // The kept databases questioned: diff matches the files of the two
    // places and lists the differing ones, earliest producer first; impact
    // of a header the compiles read through the link.
    auto d = kalvitrex({"diff", "first.db", "second.db"}, kept);
    EXPECT_EQ(d.exit_code, 1) << describe(d);
    std::vector<std::string> listed;
    for (const std::string& l : lines_of(d.out)) {
        listed.push_back(l.rfind("    in: ", 0) == 0 ? "in" : l);
    }
    const std::string installed = kept + "/prog.installed";  // beside the tree the builds ran in
    EXPECT_EQ(listed, (std::vector<std::string>{"stamp.o", "    made by: gcc -c stamp.c", "in", "libstamp.a",
                                                "    made by: ar rcs libstamp.a stamp.o", "in", "prog",
                                                "    made by: gcc -o prog main.o libutil.a libstamp.a", "in",
                                                installed, "    made by: cp prog ../prog.installed", "in"}))
        << d.out;
    const std::string built = kept + "/my 'proj\"/";  // where both builds ran
    auto imp = kalvitrex({"impact", "--db", "first.db", built + "inc/util.h"}, kept);
    EXPECT_EQ(imp.out, built + "libutil.a\n" + built + "main.o\n" + built + "prog\n" + built + "util.o\n" + installed +
                           "\n")
        << describe(imp);

    // A failing build: its status, and no claim.
    r = check({"--", "make", "-s", "no-such-target"}, dir, tmp);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_EQ(r.out,
              "kalvitrex check: the first build failed (exit status 2); nothing is claimed about reproducibility\n");
    EXPECT_EQ(tree_of(dir, true), before) << "the user's tree changed";
    EXPECT_EQ(tree_of(tmp, true).size(), tree_of(kept, true).size() + 1) << "only the kept copy may stay";
}

TEST(CliCheck, BadInputLeavesTheTreeAsItWasAndNoCopies)
{
    temp_dir t;
    const std::string dir = t.sub("tree"), tmp = t.sub("tmp");
    mkdir(dir.c_str(), 0755);
    mkdir(tmp.c_str(), 0755);
    chmod(tmp.c_str(), 01777);
    chmod(t.path().c_str(), 0755);
    write_file(dir + "/a.txt", "a\n");
    write_file(dir + "/big", std::string(1 << 20, 'x'));
    const auto before = tree_of(dir, true);
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{}, "kalvitrex: check: no build command given (kalvitrex check [options] -- COMMAND ...)\n"},
        {{"--bogus", "--", "true"}, "kalvitrex: check: unknown option --bogus (see kalvitrex check --help)\n"},
        {{"--profile", "nosuch", "--", "true"}, "kalvitrex: no shipped profile named 'nosuch' (in "},
        {{"--", "sh", "-c", "rm -rf \"$PWD\""}, "kalvitrex: check: first build\n"},
    };
    for (const auto& [args, err] : refused) {
        auto r = check(args, dir, tmp);
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        EXPECT_NE(r.err.find(err), std::string::npos) << describe(r);
        EXPECT_EQ(tree_of(dir, true), before);
        EXPECT_TRUE(tree_of(tmp, true).empty());
        if (err == "kalvitrex: check: first build\n") {
            EXPECT_EQ(r.out.rfind("kalvitrex check: the first build removed its own directory (", 0), 0u) << r.out;
        }
    }

    // Interrupted while the first build runs: the build ends, the copy goes.
    auto r = shell("\"$1\" check -- sh -c 'touch started; exec sleep 20' & k=$!; i=0; "
                   "until ls \"$TMPDIR\"/kalvitrex-check.*/tree/started >/dev/null 2>&1 || [ $i -gt 300 ]; do "
                   "sleep 0.05; i=$((i+1)); done; kill -INT $k; wait $k; echo status=$?",
                   dir, {"TMPDIR=" + tmp}, 30);
    EXPECT_EQ(r.out, "status=130\n") << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: check: interrupted; removing " + tmp + "/kalvitrex-check."), std::string::npos)
        << r.err;
    EXPECT_EQ(tree_of(dir, true), before);
    EXPECT_TRUE(tree_of(tmp, true).empty());

    // A file the user cannot read (root reads everything: ask as nobody, when
    // nobody can run the program from where it was built), and too little
    // room for the copies (a small file system of its own).
    chmod((dir + "/a.txt").c_str(), 0);
    const auto unreadable = tree_of(dir, true);
    const std::string as_nobody = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const std::pair<std::string, std::string> cases[] = {
        {as_nobody + "\"$1\" run --no-trace -- true 2>/dev/null || { echo no-user; exit; }; " + as_nobody +
             "\"$1\" check -- true",
         "kalvitrex: cannot read " + dir + "/a.txt: Permission denied (check copies the whole tree"},
        {"unshare -rm sh -c 'mount -t tmpfs -o size=512k none \"$TMPDIR\" || exit 99; exec \"$1\" check -- true' "
         "sh \"$1\"; s=$?; [ $s != 99 ] || echo no-mount; exit $s",
         "kalvitrex: not enough disk space for two copies of the tree in " + tmp + "/kalvitrex-check."},
    };
    for (const auto& [script, err] : cases) {
        r = shell(script, dir, {"TMPDIR=" + tmp}, 30);
        if (r.out == "no-mount\n" || r.out == "no-user\n") {
            fprintf(stderr, "(%s here: this case is not run)\n",
                    r.out == "no-user\n" ? "no user without privileges can run kalvitrex" : "no private tmpfs");
            continue;
        }
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        EXPECT_EQ(r.err.rfind(err, 0), 0u) << describe(r);
        EXPECT_EQ(tree_of(dir, true), unreadable);
        EXPECT_TRUE(tree_of(tmp, true).empty());
    }
}
