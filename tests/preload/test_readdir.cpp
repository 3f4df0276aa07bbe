// Directory streams and tree walks as listed and unlisted programs see them.
#include <sys/stat.h>
#include <unistd.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

const std::vector<std::string> kReadFunctions = {"readdir", "readdir64", "readdir_r", "readdir64_r"};
const std::vector<std::string> kListed = {"ZIV_DIRLIST=find"};

// The names the probe's single reads returned ("r:" lines), joined with blanks.
std::string reads(const run_result& r)
{
    std::string joined;
    for (const std::string& line : lines_of(r.out)) {
        joined += line.rfind("r:", 0) == 0 ? (joined.empty() ? "" : " ") + line.substr(2) : "";
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
        for (int i = star == std::string::npos ? 0 : std::stoi(w.substr(star + 1)); i > 0; --i) {
            commands.insert(commands.end(), {"next", w.substr(0, star)});
        }
        if (star == std::string::npos) {
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

TEST(Readdir, ListsInByteOrderThroughEveryFunctionAndOnlyWhenListed)
{
    temp_dir d = make_dir({"b", "a", "C", "-x", "\xc3\xa9t\xc3\xa9", "~"});
    ASSERT_EQ(symlink("/nonexistent", d.sub("dangling").c_str()), 0);  // a link to nothing is still there
    probe_case listed{"find", {}, kListed, {"records=none"}};  // closedir released every record
    std::vector<std::string> each;
    for (const std::string& fn : kReadFunctions) {
        each.insert(each.end(), {"list", d.path(), fn});
        listed.expect.push_back("list." + fn + "=-x,.,..,C,a,b,dangling,~,\xc3\xa9t\xc3\xa9");
        listed.expect.push_back("list." + fn + ".errno-changed=0");
    }
    listed.commands = each;
    listed.commands.push_back("records");
    check(listed);

    // Listed for something else, or only for the once-only variant: every
    // function is the next definition, whose order here is not the sorted one.
    temp_dir many;
    for (int i = 0; i < 40; ++i) {
        write_file(many.sub("n" + std::to_string(i * 7919 % 97)), "");
    }
    for (size_t i = 1; i < each.size(); i += 3) {
        each[i] = many.path();
    }
    probe_result without = check({"find", each, {}, {}, ""});
    probe_case unlisted{"find", each, {"ZIV_DIRLIST=ls", "ZIV_DIRONCELIST=find"}, {"records=none"}};
    for (const std::string& fn : kReadFunctions) {
        unlisted.expect.push_back("list." + fn + "=" + without.v["list." + fn]);
    }
    unlisted.commands.insert(unlisted.commands.end(), {"opendir", many.path(), "next", "readdir", "records"});
    check(unlisted);
    check({"find", {"list", many.path(), "readdir"}, kListed, {"list.readdir!=" + without.v["list.readdir"]}});
}

// Listings that change while they are read.
TEST(Readdir, ChangesDuringAListing)
{
    const std::vector<std::string> once = {"ZIV_DIRLIST=find", "ZIV_DIRONCELIST=find"};
    struct listing_case {
        const char* what;
        std::vector<std::string> names, words, env;
        const char* reads;
    } cases[] = {
        {"removed before its turn: skipped", {"b", "a", "c"},
         {"opendir", "@", "next", "FN", "rm", "@/b", "rm", "@/c", "FN*3"}, kListed, ". .. a END"},
        // The check asks the stream's own directory, not a path that may have
        // changed since the stream was opened.
        {"directory renamed", {"d/b", "d/a"},
         {"opendir", "@/d", "readdir*1", "mv", "@/d", "@/moved", "rm", "@/moved/b", "readdir*4"}, kListed,
         ". .. a END END"},
        {"created during a pass: after the first reading", {"b", "a"},
         {"opendir", "@", "readdir*1", "touch", "@/0", "touch", "@/A", "readdir*7"}, kListed, ". .. a b 0 A END END"},
        {"once-only: the end first, the new names by the calls after it", {"b", "a"},
         {"opendir", "@", "readdir64*1", "touch", "@/0", "readdir64*6"}, once, ". .. a b END 0 END"},
        // Removed and created again after it was handed out: not again.
        {"rewind after the end: only new names", {"a", "b"},
         {"opendir", "@", "readdir*5", "rewind", "readdir*1", "touch", "@/z", "rewind", "readdir*2", "rm", "@/a",
          "touch", "@/a", "readdir*1"},
         kListed, ". .. a b END END z END END"},
        {"a new stream after closedir starts again", {"b", "a"},
         {"opendir", "@", "readdir_r*3", "closedir", "opendir", "@", "readdir_r*5"}, kListed, ". .. a . .. a b END"},
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
            EXPECT_EQ(reads(check({"find", script(d.path(), words), c.env}).run), c.reads) << c.what << " " << fn;
            if (!per_function) {
                break;
            }
        }
    }
}

TEST(Readdir, EntriesStayPutUntilClosedirAndReaddirREndsCleanly)
{
    // Enough names to make the C library refill its own buffer.
    temp_dir d;
    for (int i = 0; i < 400; ++i) {
        write_file(d.sub(std::string(200, 'n') + std::to_string(i)), "");
    }
    run_result r = check({"find", script(d.path(), {"opendir", "@", "readdir*1", "keep", "readdir*410", "check-kept",
                                                     "closedir", "records"}),
                          kListed, {"records=none", "closedir=0 errno=4321", "kept=. now=."}})
                       .run;
    EXPECT_EQ(r.out.find("errno-changed"), std::string::npos);
    // readdir_r at the end: no result, the caller's entry untouched, errno kept.
    temp_dir x = make_dir({"x"});
    check({"find", {"r-end", x.path(), "readdir_r", "r-end", x.path(), "readdir64_r"}, kListed,
           {"r-end.readdir_r=0 null 1 4321", "r-end.readdir64_r=0 null 1 4321"}});
}

TEST(Readdir, TwoStreamsOnTwoThreadsKeepTheirOwnOrder)
{
    temp_dir one = make_dir({"c", "a", "b", "e", "d"});
    temp_dir two = make_dir({"z", "x", "y"});
    check({"find", {"threads", one.path(), two.path()}, kListed, {"thread1=.,..,a,b,c,d,e", "thread2=.,..,x,y,z"}});
}

TEST(Readdir, RereadingIsLogged)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir d = make_dir({"a"});
    EXPECT_EQ(reads(check({"find", script(d.path(), {"opendir", "@", "readdir*4"}), {"ZIV_DIRLIST=find", "ZIV_LOG=yes"},
                           {"^1:process find ziv_go_real_dir update_dir_list .................. line "}})
                        .run),
              ". .. a END");
}

TEST(Nftw, DeliversInPathOrderWhateverTheFlags)
{
    temp_dir top;
    std::string d = top.sub("d");
    mkdir(d.c_str(), 0755);
    // Created out of order, with a sibling directory in between.
    for (const char* name : {"c", "a", "b"}) {
        write_file(d + "/" + name, "");
    }
    mkdir((d + "/a-dir").c_str(), 0755);
    write_file(d + "/a-dir/z", "");
    const std::string rest = " d/a-dir/z:f:2:8:file d/b:f:1:2:file d/c:f:1:2:file";
    const std::vector<std::string> walks = {"nftw", d, "p", "0", "nftw", d, "dp", "0", "nftw64", d, "dp", "0",
                                            "nftw", d, "p", "1", "nftw", top.sub("none"), "p", "2"};
    probe_result without = check({"cpio", walks, {}, {}, ""});
    // A depth-first walk too delivers a directory before its contents, and so
    // do programs built with 64-bit file offsets.
    check({"tar", walks, {"ZIV_NFTWLIST=tar"},
         {"nftw.p.0=d:d:0:0:dir d/a:f:1:2:file d/a-dir:d:1:2:dir" + rest, "nftw.p.0.rc=0",
          "nftw.dp.0=d:dp:0:0:dir d/a:f:1:2:file d/a-dir:dp:1:2:dir" + rest, "nftw.dp.0.rc=0",
          "nftw64.dp.0=d:dp:0:0:dir d/a:f:1:2:file d/a-dir:dp:1:2:dir" + rest, "nftw64.dp.0.rc=0",
          // A request to stop at once is ignored: the walk was complete.
          "nftw.p.1=d:d:0:0:dir d/a:f:1:2:file d/a-dir:d:1:2:dir" + rest, "nftw.p.1.rc=0",
          // A missing directory: the walk's failure, nothing delivered.
          "nftw.p.2=", "nftw.p.2.rc=-1"}});
    // Unlisted: exactly the next definition, which stops when asked.
    EXPECT_EQ(check({"cpio", walks, {"ZIV_NFTWLIST=tar"}, {"nftw.p.1.rc=1"}}).run.out, without.run.out);
}

}  // namespace
}  // namespace ziv_test
