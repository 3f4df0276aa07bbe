// Directory streams and tree walks as listed and unlisted programs see them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "preload_env.h"

namespace ziv_test {
namespace {

const std::vector<std::string> kReadFunctions = {"readdir", "readdir64", "readdir_r", "readdir64_r"};

// The "r:" lines of the probe's reads, joined with blanks.
std::string reads(const run_result& r)
{
    std::string joined;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("r:", 0) == 0) {
            joined += (joined.empty() ? "" : " ") + line.substr(2);
        }
    }
    return joined;
}

// Probe commands: "@" at the start of a word stands for the directory,
// "FN*N" for N reads through FN.
std::vector<std::string> script(const std::string& dir, const std::vector<std::string>& words)
{
    std::vector<std::string> commands;
    for (const std::string& w : words) {
        size_t star = w.find('*');
        if (star != std::string::npos) {
            for (int i = std::stoi(w.substr(star + 1)); i > 0; --i) {
                commands.insert(commands.end(), {"read", w.substr(0, star)});
            }
        } else {
            commands.push_back(w.rfind('@', 0) == 0 ? dir + w.substr(1) : w);
        }
    }
    return commands;
}

// Files (and the directories they are in) made in a new directory.
temp_dir make_dir(const std::vector<std::string>& names)
{
    temp_dir d;
    for (const std::string& name : names) {
        if (name.find('/') != std::string::npos) {
            mkdir(d.sub(name.substr(0, name.find('/'))).c_str(), 0755);
        }
        write_file(d.sub(name), "");
    }
    return d;
}

const std::vector<std::string> kListed = {"ZIV_DIRLIST=find"};
const std::vector<std::string> kListedOnce = {"ZIV_DIRLIST=find", "ZIV_DIRONCELIST=find"};

TEST(Readdir, ListsInByteOrderThroughEveryFunction)
{
    temp_dir d = make_dir({"b", "a", "C", "-x", "\xc3\xa9t\xc3\xa9", "~"});
    // A link to nothing is still there.
    ASSERT_EQ(symlink("/nonexistent", d.sub("dangling").c_str()), 0);
    for (const std::string& fn : kReadFunctions) {
        auto v = report(probe("find", {"list", d.path(), fn, "records"}, kListed));
        EXPECT_EQ(v["list"], "-x,.,..,C,a,b,dangling,~,\xc3\xa9t\xc3\xa9") << fn;
        EXPECT_EQ(v["list.errno-changed"], "0") << fn;
        // closedir released the stream's record.
        EXPECT_EQ(v["records"], "none") << fn;
    }
}

TEST(Readdir, WithoutTheFeatureEveryFunctionIsTheNextDefinition)
{
    std::vector<std::string> names;
    temp_dir d;
    for (int i = 0; i < 40; ++i) {
        write_file(d.sub("n" + std::to_string(i * 7919 % 97)), "");
    }
    for (const std::string& fn : kReadFunctions) {
        auto without = probe("find", {"list", d.path(), fn}, {}, false);
        // Listed for something else, or only for the once-only variant.
        auto unlisted = probe("find", {"list", d.path(), fn, "opendir", d.path(), "read", fn, "records"},
                              {"ZIV_DIRLIST=ls", "ZIV_DIRONCELIST=find"});
        EXPECT_EQ(report(unlisted)["list"], report(without)["list"]) << fn;
        EXPECT_EQ(report(unlisted)["records"], "none") << fn;
    }
    // The file system's own order is not the sorted one here, so the
    // comparison above means something.
    EXPECT_NE(report(probe("find", {"list", d.path(), "readdir"}, {}, false))["list"],
              report(probe("find", {"list", d.path(), "readdir"}, kListed))["list"]);
}

// Listings that change while they are read.
TEST(Readdir, ChangesDuringAListing)
{
    struct listing_case {
        const char* what;
        std::vector<std::string> names;
        std::vector<std::string> words;
        std::vector<std::string> env;
        const char* reads;
    } cases[] = {
        {"removed before its turn: skipped", {"b", "a", "c"},
         {"opendir", "@", "read", "FN", "rm", "@/b", "rm", "@/c", "FN*3"}, kListed, ". .. a END"},
        // The check asks the stream's own directory, not a path that may
        // have changed since the stream was opened.
        {"directory renamed", {"d/b", "d/a"},
         {"opendir", "@/d", "readdir*1", "mv", "@/d", "@/moved", "rm", "@/moved/b", "readdir*4"}, kListed,
         ". .. a END END"},
        {"created during a pass: after the first reading", {"b", "a"},
         {"opendir", "@", "readdir*1", "touch", "@/0", "touch", "@/A", "readdir*7"}, kListed,
         ". .. a b 0 A END END"},
        {"once-only: the end first, the new names by the calls after it", {"b", "a"},
         {"opendir", "@", "readdir64*1", "touch", "@/0", "readdir64*6"}, kListedOnce, ". .. a b END 0 END"},
        // Removed and created again after it was handed out: not again.
        {"rewind after the end: only new names", {"a", "b"},
         {"opendir", "@", "readdir*5", "rewind", "readdir*1", "touch", "@/z", "rewind", "readdir*2", "rm", "@/a",
          "touch", "@/a", "readdir*1"},
         kListed, ". .. a b END END z END END"},
        {"a new stream after closedir starts again", {"b", "a"},
         {"opendir", "@", "readdir_r*3", "closedir", "opendir", "@", "readdir_r*5"}, kListed,
         ". .. a . .. a b END"},
    };
    for (const listing_case& c : cases) {
        for (const std::string& fn : kReadFunctions) {
            std::vector<std::string> words = c.words;
            bool per_function = false;
            for (std::string& w : words) {
                if (w.rfind("FN", 0) == 0) {
                    w = fn + w.substr(2);
                    per_function = true;
                }
            }
            temp_dir d = make_dir(c.names);
            EXPECT_EQ(reads(probe("find", script(d.path(), words), c.env)), c.reads) << c.what << " " << fn;
            if (!per_function) {
                break;
            }
        }
    }
}

TEST(Readdir, ReturnedEntriesStayPutUntilClosedir)
{
    // Enough names to make the C library refill its own buffer.
    temp_dir d;
    for (int i = 0; i < 400; ++i) {
        write_file(d.sub(std::string(200, 'n') + std::to_string(i)), "");
    }
    run_result r =
        probe("find", script(d.path(), {"opendir", "@", "readdir*1", "keep", "readdir*410", "check-kept", "closedir",
                                        "records"}),
              kListed);
    EXPECT_NE(r.out.find("kept=. now=.\n"), std::string::npos) << r.out.substr(r.out.size() - 200);
    EXPECT_NE(r.out.find("closedir=0 errno=4321\n"), std::string::npos);
    EXPECT_NE(r.out.find("records=none\n"), std::string::npos);
    EXPECT_EQ(r.out.find("errno-changed"), std::string::npos);
}

TEST(Readdir, ReaddirRAtTheEndLeavesTheCallersEntryAlone)
{
    temp_dir d = make_dir({"x"});
    for (const std::string& fn : {"readdir_r", "readdir64_r"}) {
        auto v = report(probe("find", {"r-end", d.path(), fn}, kListed));
        EXPECT_EQ(v["r-end.rc"], "0") << fn;
        EXPECT_EQ(v["r-end.result"], "null") << fn;
        EXPECT_EQ(v["r-end.intact"], "1") << fn;
        EXPECT_EQ(v["r-end.errno"], "4321") << fn;
    }
}

TEST(Readdir, TwoStreamsOnTwoThreadsKeepTheirOwnOrder)
{
    temp_dir one = make_dir({"c", "a", "b", "e", "d"});
    temp_dir two = make_dir({"z", "x", "y"});
    auto v = report(probe("find", {"threads", one.path(), two.path()}, kListed));
    EXPECT_EQ(v["thread1"], ".,..,a,b,c,d,e");
    EXPECT_EQ(v["thread2"], ".,..,x,y,z");
}

TEST(Readdir, RereadingIsLogged)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir d = make_dir({"a"});
    run_result r = run_probe({.name = "find",
                              .commands = script(d.path(), {"opendir", "@", "readdir*4"}),
                              .env = {"ZIV_DIRLIST=find", "ZIV_LOG=yes"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(reads(r), ". .. a END");
    int rereads = 0;
    for (const std::string& text : messages(r)) {
        rereads += text.rfind("process find ziv_go_real_dir update_dir_list .................. line ", 0) == 0;
    }
    EXPECT_EQ(rereads, 1) << describe(r);
}

// ---- tree walk ----------------------------------------------------------

struct walk_tree {
    temp_dir top;
    std::string d = top.sub("d");
    walk_tree()
    {
        mkdir(d.c_str(), 0755);
        // Created out of order, with a sibling directory in between.
        for (const char* name : {"c", "a", "b"}) {
            write_file(d + "/" + name, "");
        }
        mkdir((d + "/a-dir").c_str(), 0755);
        write_file(d + "/a-dir/z", "");
    }
};

TEST(Nftw, DeliversInPathOrderWhateverTheFlags)
{
    walk_tree t;
    auto v = report(probe("tar", {"nftw", t.d, "p", "0"}, {"ZIV_NFTWLIST=tar"}));
    EXPECT_EQ(v["nftw"], "d:d:0:0:dir d/a:f:1:2:file d/a-dir:d:1:2:dir d/a-dir/z:f:2:8:file d/b:f:1:2:file "
                         "d/c:f:1:2:file");
    EXPECT_EQ(v["nftw.rc"], "0");
    // Depth-first walks still deliver a directory before its contents.
    auto depth = report(probe("tar", {"nftw", t.d, "dp", "0"}, {"ZIV_NFTWLIST=tar"}));
    EXPECT_EQ(depth["nftw"], "d:dp:0:0:dir d/a:f:1:2:file d/a-dir:dp:1:2:dir d/a-dir/z:f:2:8:file d/b:f:1:2:file "
                             "d/c:f:1:2:file");
    // The entry point of programs built with 64-bit file offsets.
    auto wide = report(probe("tar", {"nftw64", t.d, "dp", "0"}, {"ZIV_NFTWLIST=tar"}));
    EXPECT_EQ(wide["nftw64"], depth["nftw"]);
    EXPECT_EQ(wide["nftw64.rc"], "0");
}

TEST(Nftw, TheWalksResultStandsAndEveryEntryIsDelivered)
{
    walk_tree t;
    // The function asks to stop at once: ignored, the walk was complete.
    auto v = report(probe("tar", {"nftw", t.d, "p", "1"}, {"ZIV_NFTWLIST=tar"}));
    EXPECT_EQ(v["nftw.rc"], "0");
    EXPECT_EQ(std::count(v["nftw"].begin(), v["nftw"].end(), ' '), 5);
    // A missing directory: the walk's failure, nothing delivered.
    auto missing = report(probe("tar", {"nftw", t.top.sub("none"), "p", "0"}, {"ZIV_NFTWLIST=tar"}));
    EXPECT_EQ(missing["nftw.rc"], "-1");
    EXPECT_EQ(missing["nftw"], "");
}

TEST(Nftw, WithoutTheFeatureTheWalkIsTheNextDefinition)
{
    walk_tree t;
    for (const char* ret : {"0", "1"}) {
        auto without = probe("cpio", {"nftw", t.d, "p", ret, "nftw64", t.d, "d", ret}, {}, false);
        auto unlisted = probe("cpio", {"nftw", t.d, "p", ret, "nftw64", t.d, "d", ret}, {"ZIV_NFTWLIST=tar"});
        EXPECT_EQ(unlisted.out, without.out) << ret;
    }
    // Stopped by the function after the first entry.
    EXPECT_EQ(report(probe("cpio", {"nftw", t.d, "p", "1"}, {}))["nftw.rc"], "1");
}

}  // namespace
}  // namespace ziv_test
