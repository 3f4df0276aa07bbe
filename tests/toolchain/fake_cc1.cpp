// Stands in for a compiler proper, started as "cc1". Every run appends one
// line to $FAKE_CC1_LOG: "first" or "second", LD_PRELOAD and
// ZIV_TRACE_HDEPS as it saw them, and its arguments, separated by tabs. A
// run given "-MF <file>" (the second run of header tracing) copies
// $FAKE_CC1_DEPS into that file and makes noise on both outputs, which must
// never reach the traced build's. Other runs write "compiled" to their "-o"
// file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const char* mf = nullptr;
    const char* out = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        mf = strcmp(argv[i], "-MF") == 0 ? argv[i + 1] : mf;
        out = strcmp(argv[i], "-o") == 0 ? argv[i + 1] : out;
    }
    std::string line = mf != nullptr ? "second" : "first";
    for (const char* name : {"LD_PRELOAD", "ZIV_TRACE_HDEPS"}) {
        line += std::string("\t") + (getenv(name) != nullptr ? getenv(name) : "<unset>");
    }
    for (int i = 0; i < argc; ++i) {
        line += std::string("\t") + argv[i];
    }
    if (FILE* log = fopen(getenv("FAKE_CC1_LOG") != nullptr ? getenv("FAKE_CC1_LOG") : "/dev/null", "a")) {
        fprintf(log, "%s\n", line.c_str());
        fclose(log);
    }
    if (mf != nullptr) {
        fputs("second-run-noise\n", stderr);
        fputs("second-run-noise\n", stdout);
        FILE* in = fopen(getenv("FAKE_CC1_DEPS") != nullptr ? getenv("FAKE_CC1_DEPS") : "/dev/null", "rb");
        FILE* to = fopen(mf, "wb");
        char buf[4096];
        for (size_t n; in != nullptr && to != nullptr && (n = fread(buf, 1, sizeof buf, in)) > 0;) {
            fwrite(buf, 1, n, to);
        }
        for (FILE* f : {in, to}) {
            if (f != nullptr) {
                fclose(f);
            }
        }
        return 0;
    }
    if (out != nullptr && strcmp(out, "-") != 0) {
        if (FILE* f = fopen(out, "w")) {
            fputs("compiled\n", f);
            fclose(f);
        }
    }
    fputs("first-run-output\n", stderr);
    return 0;
}
