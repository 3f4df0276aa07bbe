// Stands in for a compiler proper, started as "cc1". Every run appends one
// line to $FAKE_CC1_LOG: "first" or "second", LD_PRELOAD and
// ZIV_TRACE_HDEPS as it saw them, and its arguments separated by tabs. A run given "-MF <file>" (the second run
// of header tracing) copies $FAKE_CC1_DEPS into that file and says so on
// standard error, which must never reach the traced build's output. Other
// runs write "compiled" to their "-o" file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const char* mf = nullptr;
    const char* out = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "-MF") == 0) {
            mf = argv[i + 1];
        }
        if (strcmp(argv[i], "-o") == 0) {
            out = argv[i + 1];
        }
    }
    const char* preload = getenv("LD_PRELOAD");
    const char* hdeps = getenv("ZIV_TRACE_HDEPS");
    std::string line = std::string(mf != nullptr ? "second" : "first") + "\t" +
                       (preload != nullptr ? preload : "<unset>") + "\t" + (hdeps != nullptr ? hdeps : "<unset>");
    for (int i = 0; i < argc; ++i) {
        line += std::string("\t") + argv[i];
    }
    if (const char* log = getenv("FAKE_CC1_LOG"); log != nullptr) {
        if (FILE* f = fopen(log, "a")) {
            fprintf(f, "%s\n", line.c_str());
            fclose(f);
        }
    }
    if (mf != nullptr) {
        fputs("second-run-noise\n", stderr);
        fputs("second-run-noise\n", stdout);
        const char* deps = getenv("FAKE_CC1_DEPS");
        FILE* in = deps != nullptr ? fopen(deps, "rb") : nullptr;
        FILE* to = fopen(mf, "wb");
        if (in != nullptr && to != nullptr) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
                fwrite(buf, 1, n, to);
            }
        }
        if (in != nullptr) {
            fclose(in);
        }
        if (to != nullptr) {
            fclose(to);
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
