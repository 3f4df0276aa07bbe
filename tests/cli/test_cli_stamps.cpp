// Everyday stamps under kalvitrex run: an object with __DATE__ and __TIME__,
// an archive with real times, tar, gzip, zip, date, hostname and a compiled
// Python module, built twice under the strict profile while the time zone,
// locale, umask, host name, directory order and another time-faking preload
// change; and what another preload or a sanitizer runtime may not change.
#include <sys/stat.h>

#include "cli_fixture.h"

using namespace cli_test;

namespace {

const std::vector<std::string> k_outputs = {"stamp.o", "libstamp.a", "files.tar", "files.tar.gz", "files.zip",
                                            "date.txt", "host.txt", "__pycache__/mod.cpython.pyc"};


// The sources, the files of src/ created in the order given.
void write_sources(const std::string& dir, const std::vector<std::string>& order)
{
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/src").c_str(), 0755);
    write_file(dir + "/stamp.c", "const char* stamp = __DATE__ \" \" __TIME__;\n");
    write_file(dir + "/mod.py", "def f(x):\n    return x in {'alpha', 'beta'}\n");
    for (const std::string& f : order) {
        write_file(dir + "/src/" + f, f + "\n");
    }
    // The build makes gen/ itself: its modes follow the umask.
    write_file(dir + "/build.sh",
               "set -e\n"
               // automake's sanity check in every configure: a new file is newest.
               "echo now > conftest.file; set X $(ls -Lt build.sh conftest.file); test \"$2\" = conftest.file\n"
               "mkdir gen; echo one > gen/one; echo two > gen/two\n"
               "gcc -c stamp.c -o stamp.o\n"
               "ar rcU libstamp.a stamp.o\n"
               "tar cf files.tar src gen\n"
               "gzip -c files.tar > files.tar.gz\n"
               "zip -q -r files.zip src gen\n"
               "date > date.txt\n"
               "hostname > host.txt\n"
               "python3 -m py_compile mod.py && mv __pycache__/mod.*.pyc __pycache__/mod.cpython.pyc\n");
}

}  // namespace

TEST(CliStamps, StrictProfileHoldsEveryStampWhateverTheBuildsEnvironment)
{
    temp_dir t;
    // A locale of our own with other month and day names (no locale but C
    // need be installed).
    write_file(t.sub("xx.src"),
               "LC_TIME\nabday \"Dim\";\"Lun\";\"Mar\";\"Mer\";\"Jeu\";\"Ven\";\"Sam\"\n"
               "day \"dimanche\";\"lundi\";\"mardi\";\"mercredi\";\"jeudi\";\"vendredi\";\"samedi\"\n"
               "abmon \"jan\";\"fev\";\"mar\";\"avr\";\"mai\";\"jun\";\"jul\";\"aou\";\"sep\";\"oct\";\"nov\";\"dec\"\n"
               "mon \"janvier\";\"fevrier\";\"mars\";\"avril\";\"mai\";\"juin\";\"juillet\";\"aout\";\"septembre\";"
               "\"octobre\";\"novembre\";\"decembre\"\n"
               "d_t_fmt \"%a %d %b %Y %T %Z\"\nd_fmt \"%d/%m/%Y\"\nt_fmt \"%T\"\nam_pm \"\";\"\"\nt_fmt_ampm \"\"\n"
               "END LC_TIME\n");
    shell("mkdir loc && localedef -c -f ANSI_X3.4-1968 -i xx.src loc/xx_XX", t.path());
    ASSERT_TRUE(exists(t.sub("loc/xx_XX/LC_TIME"))) << "localedef (package locales) made no locale";
    bool own_host = shell("unshare --uts true", t.path()).exit_code == 0;

    // Both builds at one path, as a build path is not the library's to fix.
    const std::string work = t.sub("work");
    write_sources(work, {"a", "b", "c", "d"});
    auto r = shell("umask 077; exec \"$1\" run --no-trace --profile strict -- sh build.sh", work, {"TZ=XST5"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_EQ(rename(work.c_str(), t.sub("one").c_str()), 0);
    sleep(1);
    write_sources(work, {"d", "c", "b", "a"});
    r = shell(std::string(own_host ? "exec unshare --uts sh -c 'hostname another-host && " : "sh -c '") +
                  "umask 002 && exec \"$0\" run --no-trace --profile strict -- sh build.sh' \"$1\"",
              work, {"TZ=YST-9", "LOCPATH=" + t.sub("loc"), "LC_ALL=xx_XX", std::string("LD_PRELOAD=") + KVX_FAKE_CLOCK});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    for (const std::string& f : k_outputs) {
        EXPECT_EQ(sha256_of(t.sub("one/" + f)), sha256_of(work + "/" + f)) << f;
    }
    EXPECT_EQ(read_file(work + "/date.txt"), "Mon Feb 28 02:42:14 UTC 2022\n");
}

TEST(CliStamps, AnotherPreloadReachesOnlyUnlistedProgramsAndSanitizersStayFirst)
{
    temp_dir t;
    const std::string fake = std::string("LD_PRELOAD=") + KVX_FAKE_CLOCK;
    // date is listed by default: the build time, not the other library's.
    auto r = kalvitrex({"run", "--no-trace", "--", "date", "+%s"}, t.path(), {fake});
    EXPECT_EQ(r.out, "1646016134\n") << describe(r);
    // Unlisted, it reaches the other library through the next definition.
    r = kalvitrex({"run", "--no-trace", "--no-profile", "--", "date", "+%s"}, t.path(), {fake});
    EXPECT_EQ(r.out, "2000000000\n") << describe(r);

    // A program built with AddressSanitizer runs, whether or not its runtime
    // is preloaded; when it is, it stays first.
    write_file(t.sub("asan.c"),
               "#include <stdio.h>\n#include <stdlib.h>\n#include <time.h>\n"
               "int main(void) { char* p = malloc(4); p[0] = 0; free(p);\n"
               "  printf(\"time=%ld preload=%s\\n\", (long)time(0), getenv(\"LD_PRELOAD\")); return 0; }\n");
    r = shell("gcc -fsanitize=address -o asan_prog asan.c && gcc -print-file-name=libasan.so", t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    const std::string asan = lines_of(r.out).at(0);
    const std::pair<std::string, std::string> preloads[] = {
        {KVX_FAKE_CLOCK, std::string(KVX_LIB_PATH) + ":" + KVX_FAKE_CLOCK},
        {asan + ":" + KVX_FAKE_CLOCK, asan + ":" + KVX_LIB_PATH + ":" + KVX_FAKE_CLOCK},
    };
    for (const auto& [preload, want] : preloads) {
        r = kalvitrex({"run", "--no-trace", "--set", "ZIV_TIMELIST=asan_prog", "--", "./asan_prog"}, t.path(),
                      {"LD_PRELOAD=" + preload});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(r.out, "time=1646016134 preload=" + preload_value(want) + "\n") << describe(r);
    }
}
