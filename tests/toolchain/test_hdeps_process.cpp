// Header tracing in a real traced process: a stand-in compiler named cc1 or
// clang is run under the library; what the second, untraced run of "m" and
// "mm" receives, which of the stand-in's opens "open" and "open-all" take
// for headers of which source, and what reaches the database, the working
// directory and the build's output.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "ziv_check.h"
#include "ziv_test_db.h"

namespace ziv_test {
namespace {

const std::string kLib = ZIV_LIB_PATH;
const char* kHeadPairs =
    "select s.filename, h.filename from source_head_table r "
    "join source_file_table s on s.id = r.source_id join head_file_table h on h.id = r.head_id";

class hdeps_run : public ::testing::Test {
protected:
    hdeps_run() : work_(dir_.sub("work")), db_(dir_.sub("build.db"))
    {
        for (const std::string& d : {dir_.sub("bin"), work_, work_ + "/inc"}) {
            mkdir(d.c_str(), 0755);
        }
        cc1_ = make_tool_dir_link(dir_.sub("bin"), "cc1", ZIV_FAKE_CC1);
        clang_ = make_tool_dir_link(dir_.sub("bin"), "clang", ZIV_FAKE_CC1);
        test_db(db_).exec(read_file(ZIV_SCHEMA_PATH));
        for (const char* f : {"src.c", "inc/h1.h", "inc/h2.h", "h 3.h"}) {
            write_file(work_ + "/" + f, "1\n");
        }
        // Three headers over three continuation lines, one with a blank.
        write_file(dir_.sub("deps"), "src.o: src.c inc/h1.h \\\n inc/h2.h \\\n h\\ 3.h\n");
    }

    run_result cc1(const std::vector<std::string>& args, const std::string& mode, const std::string& preload = kLib,
                   const std::string& tool = "cc1", int exit_code = 0)
    {
        run_options o;
        o.exe = tool == "cc1" ? cc1_ : clang_;
        o.argv = {o.exe};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.cwd = work_;
        o.env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + preload, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_,
                 "FAKE_CC1_LOG=" + dir_.sub("log"), "FAKE_CC1_DEPS=" + dir_.sub("deps"), "FAKE_CC1_OPENS=" + opens_,
                 "FAKE_CC1_EXIT=" + std::to_string(exit_code)};
        if (!mode.empty()) {
            o.env.push_back("ZIV_TRACE_HDEPS=" + mode);
        }
        o.timeout_s = 20;
        run_result r = run(o);
        EXPECT_EQ(r.exit_code, exit_code) << describe(r);
        DIR* d = opendir(work_.c_str());
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            EXPECT_NE(std::string(e->d_name).rfind("ziv_trace", 0), 0u) << "scratch file left: " << e->d_name;
        }
        closedir(d);
        return r;
    }

    // One entry per run of the stand-in since the last call: its fields
    // (first/second, LD_PRELOAD, ZIV_TRACE_HDEPS, argv...).
    std::vector<std::vector<std::string>> runs()
    {
        std::vector<std::vector<std::string>> out;
        std::istringstream in(exists(dir_.sub("log")) ? read_file(dir_.sub("log")) : "");
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            out.emplace_back();
            for (std::string part; std::getline(fields, part, '\t');) {
                out.back().push_back(out.back().size() == 1 ? seen_preload(part, "<unset>") : part);
            }
        }
        std::remove(dir_.sub("log").c_str());
        return out;
    }

    temp_dir dir_;
    std::string work_, db_, cc1_, clang_;
    // Files created on the way check that the mode reaches the C library.
    std::string opens_ = "r:src.c r:inc/h1.h w:made.h T:.";
};

TEST_F(hdeps_run, SecondRunIsUntracedPreprocessingWithItsOwnScratchFilesAndRecordsEachHeader)
{
    run_result r = cc1({"-quiet", "-I", "inc", "src.c", "-o", "out.s"}, "mm");
    // The traced command's own output and messages, nothing of the second run.
    EXPECT_EQ(r.err, "first-run-output\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(work_ + "/out.s"), "compiled\n");

    auto seen = runs();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1][0], "first");  // after the second run
    // No library, no header tracing of its own in the second run; scratch
    // names made from the process id.
    ASSERT_EQ(seen[0].size(), 14u);
    std::string s_name = seen[0][9];
    ASSERT_EQ(s_name.rfind("ziv_trace", 0), 0u) << s_name;
    std::string pid = s_name.substr(9, s_name.size() - 11);
    EXPECT_EQ(seen[0], (std::vector<std::string>{"second", "<unset>", "<unset>", cc1_, "-quiet", "-I", "inc", "src.c",
                                                 "-o", "ziv_trace" + pid + ".s", "-E", "-MM", "-MF",
                                                 "ziv_trace" + pid + ".d"}));
    test_db db(db_);
    EXPECT_EQ(db.pairs(kHeadPairs), (string_pairs{{"src.c", "inc/h1.h"}, {"src.c", "inc/h2.h"}, {"src.c", "h 3.h"}}));
    EXPECT_EQ(db.number("select count(*) from source_file_table where filename = 'src.c' and command_id = 0"), 1);
    // The compiler proper itself has a command row, and no files.
    EXPECT_EQ(db.count("target_file_table"), 0);
    EXPECT_EQ(db.count("build_command_table"), 1);

    // Again: nothing new, the same rows are found.
    cc1({"-quiet", "-I", "inc", "src.c", "-o", "out.s"}, "mm");
    EXPECT_EQ(db.count("head_file_table"), 3);
    EXPECT_EQ(db.count("source_head_table"), 3);

    // "m": all headers; the second run keeps every preload but this library.
    std::string other = "/lib/x86_64-linux-gnu/libm.so.6";
    ASSERT_TRUE(exists(other));
    runs();
    cc1({"src.c", "-o", "out.s"}, "m", kLib + " " + other);
    seen = runs();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0][1], other);
    EXPECT_EQ(seen[0][seen[0].size() - 3], "-M");
    // No second run for another value, nor for header tracing from opens.
    for (const char* mode : {"", "M", "mmm", "open"}) {
        cc1({"src.c", "-o", "out.s"}, mode);
        EXPECT_EQ(runs().size(), 1u) << "mode '" << mode << "'";
    }
}

TEST_F(hdeps_run, DependencyFilesOfEveryShapeAndLinesThatMustNotBeRerun)
{
    static constexpr char binary[] = "\x7f" "ELF\x01\x02\x00\x00garbage: \xff\xfe inc/h1.h";
    // -MT with a quoted blank and -MP phony rules: only the first rule counts.
    const std::vector<std::pair<std::string, string_pairs>> files = {
        {"my\\ obj.o other.o: src.c inc/h1.h\ninc/h1.h:\n", {{"src.c", "inc/h1.h"}}},
        {"", {}},
        {"no rule here\n", {}},
        {"-: src.c inc/h1.h\n", {}},
        {"src.o:src.c inc/h1.h\n", {}},
        {"src.o: \ninc/h1.h:\n", {}},
        {std::string(binary, sizeof binary - 1), {}},
    };
    test_db db(db_);
    for (const auto& [text, heads] : files) {
        write_file(dir_.sub("deps"), text);
        db.exec("delete from source_head_table; delete from head_file_table;");
        cc1({"src.c", "-o", "out.s"}, "mm");
        EXPECT_EQ(runs().size(), 2u);
        EXPECT_EQ(db.pairs(kHeadPairs), heads) << text;
    }

    const std::vector<std::pair<std::vector<std::string>, bool>> lines = {
        {{"-", "-o", "out.s"}, false},  // reads standard input
        {{"src.c", "-o", "-"}, true},   // writes standard output
        {{"src.c", "-o", "/dev/null"}, false},
        {{"src.c"}, false},  // no output named
        {{"-fpreprocessed", "src.i", "-o", "out.s"}, false},
        {{"src.c", "-o", "a.s", "-o", "b.s"}, true},  // every -o value replaced
    };
    for (const auto& [args, rerun] : lines) {
        SCOPED_TRACE(args[0] + " " + args.back());
        cc1(args, "mm");
        auto seen = runs();
        ASSERT_EQ(seen.size(), rerun ? 2u : 1u);
        for (size_t i = 3; rerun && i + 1 < seen[0].size(); ++i) {
            if (seen[0][i] == "-o") {
                EXPECT_EQ(seen[0][i + 1].rfind("ziv_trace", 0), 0u);
            }
        }
        // The same lines are left alone by header tracing from opens.
        db.exec("delete from source_head_table;");
        cc1(args, "open");
        EXPECT_EQ(runs().size(), 1u);
        const string_pairs want = rerun ? string_pairs{{"src.c", "inc/h1.h"}} : string_pairs{};
        EXPECT_EQ(db.pairs(kHeadPairs), want);
    }
}

// What the compiler opens read-only once a source of its command line is
// open, until the next source, less the system's and its own files.
TEST_F(hdeps_run, OpensAfterEachSourceAreItsHeaders)
{
    const std::string abs = work_ + "/abs";
    for (const std::string& d : {abs, work_ + "/sys"}) {
        mkdir(d.c_str(), 0755);
    }
    for (const char* f : {"a.c", "b.c", "x.h", "y.h", "w.h", "z.h", "pre.h", "sys/s.h", "abs/u.h", "out.s",
                                 "dep.d"}) {
        write_file(work_ + "/" + f, std::string(f) + "\n");
    }
    const std::string clang_opens = "r:pre.h r:a.c r:x.h r:./y.h r:/proc/self/status r:/dev/null w:out.h T:. a:z.h "
                                    "6:x.h t:w.h 2:sys/s.h 4:" + abs + "/u.h r:/usr/include/stdio.h r:b.c r:y.h "
                                    // the compiler's own file
                                    "r:" ZIV_FAKE_CC1;
    const string_pairs clang_user = {{"a.c", "x.h"}, {"a.c", "y.h"}, {"a.c", "w.h"}, {"a.c", abs + "/u.h"},
                                     {"b.c", "y.h"}};
    string_pairs clang_all = clang_user;
    clang_all.insert({{"a.c", "sys/s.h"}, {"a.c", "/usr/include/stdio.h"}});
    struct scenario {
        std::string tool, mode, opens;
        int exit_code;
        string_pairs want;
    };
    const std::vector<scenario> scenarios = {
        {"clang", "open", clang_opens, 0, clang_user},
        {"clang", "open-all", clang_opens, 0, clang_all},
        {"clang", "open", clang_opens, 1, {}},  // a failed compile
        // A compiler proper has one source; its outputs are no headers.
        // A signal handler's opens come back into the library while it notes one.
        {"cc1", "open", "r:a.c S:y.h", 0, {{"a.c", "y.h"}}},
        {"cc1", "open", "r:a.c r:x.h r:out.s r:dep.d r:b.c", 0, {{"a.c", "x.h"}, {"a.c", "b.c"}}},
    };
    test_db db(db_);
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.tool + " " + s.mode + " exit " + std::to_string(s.exit_code));
        db.exec("delete from source_head_table; delete from head_file_table;");
        opens_ = s.opens;
        if (s.tool == "clang") {
            // The innermost directory decides: abs/u.h is a user header.
            cc1({"-c", "-isystem", work_, "-I", abs, "-isystem", "sys", "a.c", "b.c"}, s.mode, kLib, s.tool,
                s.exit_code);
        } else {
            cc1({"-quiet", "-MD", "dep.d", "a.c", "-o", "out.s"}, s.mode, kLib, s.tool, s.exit_code);
        }
        EXPECT_EQ(runs().size(), 1u);
        EXPECT_EQ(db.pairs(kHeadPairs), s.want);
    }
    // Written once: the headers' rows carry their digests.
    EXPECT_EQ(db.value("select checksum from head_file_table where filename = 'x.h'"), sha256_of(work_ + "/x.h"));
}

}  // namespace
}  // namespace ziv_test
