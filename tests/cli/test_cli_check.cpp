// kalvitrex check on a real make and gcc project: reproducible under the
// default profile, then with one stamped header that check must name as the
// only culprit; and the inputs it must refuse or survive, always leaving the
// user's tree as it was and no copy behind.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "cli_fixture.h"

using namespace cli_test;

namespace {

// Every entry below `dir` with its kind, mode, times and contents.
std::map<std::string, std::string> snapshot(const std::string& dir, const std::string& rel = "")
{
    std::map<std::string, std::string> out;
    DIR* d = opendir((dir + "/" + rel).c_str());
    if (d == nullptr) {
        return out;
    }
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string r = rel.empty() ? name : rel + "/" + name;
        std::string path = dir + "/" + r;
        struct stat st;
        lstat(path.c_str(), &st);
        std::string& v = out[r];
        v = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec) + " ";
        if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t n = readlink(path.c_str(), buf, sizeof buf);
            v += std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            auto sub = snapshot(dir, r);
            out.insert(sub.begin(), sub.end());
        } else if (access(path.c_str(), R_OK) == 0) {
            v += read_file(path);
        }
    }
    closedir(d);
    return out;
}

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
    write_file(dir + "/Makefile",
               "STAMPER = echo fixed\n"
               "all: prog when.txt host.txt sources.tar out/gen.txt copied.txt pyc ../prog.installed config.log\n"
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

run_result check(const std::vector<std::string>& args, const std::string& dir, const std::string& tmp,
                 const std::vector<std::string>& extra = {})
{
    std::vector<std::string> a = {"check"};
    a.insert(a.end(), args.begin(), args.end());
    std::vector<std::string> env = {"TMPDIR=" + tmp};
    env.insert(env.end(), extra.begin(), extra.end());
    return kalvitrex(a, dir, env, 120);
}

std::set<std::string> texts(const json& list)
{
    std::set<std::string> out;
    for (const json& j : list.items) {
        out.insert(j.text);
    }
    return out;
}

}  // namespace

TEST(CliCheck, ReproducibleProjectThenAStampedHeaderAsTheOnlyCulprit)
{
    temp_dir t;
    const std::string dir = t.sub("my 'proj\""), tmp = t.sub("tmp");
    mkdir(tmp.c_str(), 0755);
    write_project(dir, t.sub("shared"));
    const auto before = snapshot(dir);

    // A log that differs in every build is listed apart and decides nothing.
    auto r = check({"--json", "../r.json", "--", "make", "-s"}, dir, tmp);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("kalvitrex check: reproducible: [0-9]+ files made by both builds are identical\n\n"
                          "Build-system records that differ [^\n]*\n  config.log\n")))
        << r.out;
    json j = json_reader::parse(read_file(t.sub("r.json")));
    EXPECT_EQ(j.at("reproducible").text, "true");
    EXPECT_EQ(texts(j.at("records_differing")), std::set<std::string>{"config.log"});
    ASSERT_EQ(j.at("builds").items.size(), 2u);
    for (const json& b : j.at("builds").items) {
        EXPECT_EQ(b.at("status").text, "0");
        EXPECT_GE(std::stoi(b.at("commands").text), 10);
    }
    // main.o util.o stamp.o, two archives, prog, stamp.h, when.txt, host.txt,
    // sources.tar, gen.txt, copied.txt, the .pyc, the copy beside.
    EXPECT_GE(std::stoi(j.at("files_made_by_both").text), 14);
    EXPECT_GE(std::stod(j.at("variations").at("second_start_after_s").text), 1.0);
    EXPECT_EQ(snapshot(dir), before) << "the user's tree changed";
    EXPECT_TRUE(snapshot(tmp).empty()) << "copies left behind";

    // A header stamped with a fresh value in each build: it is where the
    // difference starts; the object, archive and program only follow it.
    r = check({"--keep", "--json", t.sub("s.json"), "--", "make", "-s", "STAMPER=cat /proc/sys/kernel/random/uuid"},
              dir, tmp);
    ASSERT_EQ(r.exit_code, 1) << describe(r);
    j = json_reader::parse(read_file(t.sub("s.json")));
    EXPECT_EQ(j.at("reproducible").text, "false");
    EXPECT_EQ(texts(j.at("differing")),
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

    // A failing build: its status, and no claim.
    r = check({"--", "make", "-s", "no-such-target"}, dir, tmp);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_EQ(r.out,
              "kalvitrex check: the first build failed (exit status 2); nothing is claimed about reproducibility\n");
    EXPECT_EQ(snapshot(dir), before) << "the user's tree changed";
    EXPECT_EQ(snapshot(tmp).size(), snapshot(kept).size() + 1) << "only the kept copy may stay";
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
    const auto before = snapshot(dir);
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
        EXPECT_EQ(snapshot(dir), before);
        EXPECT_TRUE(snapshot(tmp).empty());
        if (err == "kalvitrex: check: first build\n") {
            EXPECT_EQ(r.out.rfind("kalvitrex check: the first build removed its own directory (", 0), 0u) << r.out;
        }
    }

    // Interrupted while the first build runs: the build ends, the copy goes.
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c",
              "\"$1\" check -- sh -c 'touch started; exec sleep 20' & k=$!; i=0; "
              "until ls \"$TMPDIR\"/kalvitrex-check.*/tree/started >/dev/null 2>&1 || [ $i -gt 300 ]; do "
              "sleep 0.05; i=$((i+1)); done; kill -INT $k; wait $k; echo status=$?",
              "sh", KVX_PROGRAM};
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp", "TMPDIR=" + tmp};
    o.cwd = dir;
    o.timeout_s = 30;
    auto r = run(o);
    EXPECT_EQ(r.out, "status=130\n") << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: check: interrupted; removing " + tmp + "/kalvitrex-check."), std::string::npos)
        << r.err;
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_TRUE(snapshot(tmp).empty());

    // A file the user cannot read (root reads everything: ask as nobody, when
    // nobody can run the program from where it was built), and too little
    // room for the copies (a small file system of its own).
    chmod((dir + "/a.txt").c_str(), 0);
    const auto unreadable = snapshot(dir);
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
        o.argv = {"sh", "-c", script, "sh", KVX_PROGRAM};
        r = run(o);
        if (r.out == "no-mount\n" || r.out == "no-user\n") {
            fprintf(stderr, "(%s here: this case is not run)\n",
                    r.out == "no-user\n" ? "no user without privileges can run kalvitrex" : "no private tmpfs");
            continue;
        }
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        EXPECT_EQ(r.err.rfind(err, 0), 0u) << describe(r);
        EXPECT_EQ(snapshot(dir), unreadable);
        EXPECT_TRUE(snapshot(tmp).empty());
    }
}
