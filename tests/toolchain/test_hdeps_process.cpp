// Header tracing in a real traced process: a stand-in compiler proper named
// cc1 is run under the library; what its second, untraced run receives, and
// what reaches the database, the working directory and the build's output.
#include <dirent.h>

#include <sstream>

#include "toolchain_env.h"

namespace ziv_test {
namespace {

const std::string kFakeCc1 = ZIV_FAKE_CC1;

std::vector<std::string> split_tabs(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string part; std::getline(in, part, '\t');) {
        out.push_back(part);
    }
    return out;
}

class hdeps_run : public ::testing::Test {
protected:
    hdeps_run() : bin_(dir_.sub("bin")), work_(dir_.sub("work")), db_(dir_.sub("build.db"))
    {
        mkdir(bin_.c_str(), 0755);
        mkdir(work_.c_str(), 0755);
        mkdir((work_ + "/inc").c_str(), 0755);
        cc1_ = make_tool_dir_link(bin_, "cc1", kFakeCc1);
        make_db(db_);
        write_file(work_ + "/src.c", "int x;\n");
        write_file(work_ + "/inc/h1.h", "1\n");
        write_file(work_ + "/inc/h2.h", "2\n");
        write_file(work_ + "/h 3.h", "3\n");
        // Three headers over three continuation lines, one with a blank.
        write_file(dir_.sub("deps"), "src.o: src.c inc/h1.h \\\n inc/h2.h \\\n h\\ 3.h\n");
    }

    run_result cc1(const std::vector<std::string>& args, const std::string& mode,
                   const std::string& preload = "")
    {
        run_options o;
        o.exe = cc1_;
        o.argv = {cc1_};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.cwd = work_;
        o.env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + (preload.empty() ? kLib : preload), "ZIV_TRACE_ENABLE=yes",
                 "ZIV_TRACE_OUTPUT=" + db_, "FAKE_CC1_LOG=" + dir_.sub("log"), "FAKE_CC1_DEPS=" + dir_.sub("deps")};
        if (!mode.empty()) {
            o.env.push_back("ZIV_TRACE_HDEPS=" + mode);
        }
        o.timeout_s = 20;
        return run(o);
    }

    // One entry per run of the stand-in: its fields.
    std::vector<std::vector<std::string>> runs()
    {
        std::vector<std::vector<std::string>> out;
        if (!exists(dir_.sub("log"))) {
            return out;
        }
        std::istringstream in(read_file(dir_.sub("log")));
        for (std::string line; std::getline(in, line);) {
            out.push_back(split_tabs(line));
        }
        std::remove(dir_.sub("log").c_str());
        return out;
    }

    std::vector<std::string> scratch_left()
    {
        std::vector<std::string> out;
        DIR* d = opendir(work_.c_str());
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            if (std::string(e->d_name).rfind("ziv_trace", 0) == 0) {
                out.push_back(e->d_name);
            }
        }
        if (d != nullptr) {
            closedir(d);
        }
        return out;
    }

    temp_dir dir_;
    std::string bin_, work_, db_, cc1_;
};

const char* kHeadPairs =
    "select s.filename, h.filename from source_head_table r "
    "join source_file_table s on s.id = r.source_id join head_file_table h on h.id = r.head_id";

TEST_F(hdeps_run, SecondRunIsUntracedPreprocessingWithItsOwnScratchFilesAndRecordsEachHeader)
{
    run_result r = cc1({"-quiet", "-I", "inc", "src.c", "-o", "out.s"}, "mm");
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    // The traced command's own output and messages, nothing of the second run.
    EXPECT_EQ(r.err, "first-run-output\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(work_ + "/out.s"), "compiled\n");

    auto seen = runs();
    ASSERT_EQ(seen.size(), 2u);
    ASSERT_EQ(seen[0][0], "second");  // before the real compilation
    EXPECT_EQ(seen[1][0], "first");
    EXPECT_EQ(seen[0][1], "<unset>") << "the library must not be loaded into the second run";
    const std::vector<std::string>& second = seen[0];
    ASSERT_EQ(second.size(), 3u + 7 + 4);
    std::string s_name = second[3 + 6];
    ASSERT_EQ(s_name.rfind("ziv_trace", 0), 0u) << s_name;
    std::string pid = s_name.substr(9, s_name.size() - 11);
    EXPECT_EQ(s_name, "ziv_trace" + pid + ".s");
    // No tracing, no header tracing of its own in the second run.
    std::vector<std::string> want = {"second", "<unset>", "<unset>", cc1_, "-quiet", "-I", "inc", "src.c", "-o", s_name,
                                     "-E", "-MM", "-MF", "ziv_trace" + pid + ".d"};
    EXPECT_EQ(second, want);
    EXPECT_TRUE(scratch_left().empty()) << scratch_left().front();

    build_db db(db_);
    string_pairs want_heads = {{"src.c", "inc/h1.h"}, {"src.c", "inc/h2.h"}, {"src.c", "h 3.h"}};
    EXPECT_EQ(db.pairs(kHeadPairs), want_heads);
    EXPECT_EQ(db.number("select count(*) from source_file_table where filename = 'src.c' and command_id = 0"), 1);
    // The compiler proper itself has a command row, and no files.
    EXPECT_EQ(db.number("select count(*) from target_file_table"), 0);

    // Again: nothing new, the same rows are found.
    ASSERT_EQ(cc1({"-quiet", "-I", "inc", "src.c", "-o", "out.s"}, "mm").exit_code, 0);
    EXPECT_EQ(db.number("select count(*) from head_file_table"), 3);
    EXPECT_EQ(db.number("select count(*) from source_head_table"), 3);
}

TEST_F(hdeps_run, TargetsWithBlanksAndPhonyRulesOfTheBuildsOwnOptions)
{
    // -MT with a quoted blank, -MP phony rules: only the first rule counts.
    write_file(dir_.sub("deps"), "my\\ obj.o other.o: src.c inc/h1.h\ninc/h1.h:\n");
    ASSERT_EQ(cc1({"src.c", "-o", "out.s"}, "mm").exit_code, 0);
    build_db db(db_);
    EXPECT_EQ(db.pairs(kHeadPairs), (string_pairs{{"src.c", "inc/h1.h"}}));
}

TEST_F(hdeps_run, ModeDecidesTheOptionAndOtherPreloadsStay)
{
    // "m": all headers; the second run keeps every preload but this library.
    std::string other = "/lib/x86_64-linux-gnu/libm.so.6";
    ASSERT_TRUE(exists(other));
    ASSERT_EQ(cc1({"src.c", "-o", "out.s"}, "m", kLib + " " + other).exit_code, 0);
    auto seen = runs();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0][1], other);
    EXPECT_EQ(seen[0][seen[0].size() - 3], "-M");

    for (const char* mode : {"", "yes", "M", "mmm"}) {
        SCOPED_TRACE(std::string("mode '") + mode + "'");
        ASSERT_EQ(cc1({"src.c", "-o", "out.s"}, mode).exit_code, 0);
        seen = runs();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0][0], "first");
    }
}

TEST_F(hdeps_run, LinesThatMustNotBeRerun)
{
    struct line_case {
        std::vector<std::string> args;
        bool rerun;
    };
    const std::vector<line_case> cases = {
        {{"-", "-o", "out.s"}, false},                    // reads standard input
        {{"src.c", "-o", "-"}, true},                     // writes standard output
        {{"src.c", "-o", "/dev/null"}, false},            // output thrown away
        {{"src.c"}, false},                               // no output named
        {{"-fpreprocessed", "src.i", "-o", "out.s"}, false},
        {{"src.c", "-o", "a.s", "-o", "b.s"}, true},      // every -o value replaced
    };
    for (const line_case& c : cases) {
        std::string text;
        for (const std::string& a : c.args) {
            text += a + " ";
        }
        SCOPED_TRACE(text);
        run_result r = cc1(c.args, "mm");
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        auto seen = runs();
        ASSERT_EQ(seen.size(), c.rerun ? 2u : 1u);
        if (c.rerun) {
            for (size_t i = 3; i + 1 < seen[0].size(); ++i) {
                if (seen[0][i] == "-o") {
                    EXPECT_EQ(seen[0][i + 1].rfind("ziv_trace", 0), 0u);
                }
            }
        }
        EXPECT_TRUE(scratch_left().empty());
    }
}

TEST_F(hdeps_run, MissingOrMalformedDependencyFileRecordsNothingAndLeavesNoScratch)
{
    static constexpr char binary[] = "\x7f" "ELF\x01\x02\x00\x00garbage: \xff\xfe inc/h1.h";
    for (const std::string& deps :
         {std::string(""), std::string("no rule here\n"), std::string("-: src.c inc/h1.h\n"),
          std::string("src.o:src.c inc/h1.h\n"), std::string("src.o: \ninc/h1.h:\n"),
          std::string(binary, sizeof binary - 1)}) {
        write_file(dir_.sub("deps"), deps);
        run_result r = cc1({"src.c", "-o", "out.s"}, "mm");
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(runs().size(), 2u);
        EXPECT_TRUE(scratch_left().empty());
    }
    // The second run finds nothing to read at all.
    std::remove(dir_.sub("deps").c_str());
    ASSERT_EQ(cc1({"src.c", "-o", "out.s"}, "mm").exit_code, 0);
    EXPECT_TRUE(scratch_left().empty());
    build_db db(db_);
    EXPECT_EQ(db.number("select count(*) from source_head_table"), 0);
    EXPECT_EQ(db.number("select count(*) from head_file_table"), 0);
}

}  // namespace
}  // namespace ziv_test
