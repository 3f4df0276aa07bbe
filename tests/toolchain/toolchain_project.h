// A small C project written on the fly: sources in subdirectories sharing
// project and system headers, a static library made with ar and ranlib, a
// shared library, an assembler source, a text .so that is a linker script
// (GROUP), a response file on the link line, and a Makefile for make -j.
// Shared by the toolchain tests and the toolchain benchmark.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ziv_project {

struct shape {
    int lib_sources = 3;     // lib/u<k>.c -> out/libutil.a
    int shared_sources = 2;  // shared/s<k>.c -> out/libsh_impl.so
    int helpers = 0;         // extra static functions per library source
};

inline void put(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string lib_source(int k) { return "lib/u" + std::to_string(k) + ".c"; }
inline std::string shared_source(int k) { return "shared/s" + std::to_string(k) + ".c"; }
inline std::string object_of(const std::string& source) { return source.substr(0, source.size() - 2) + ".o"; }

// Every file the build makes, relative to the root.
inline std::vector<std::string> outputs(const shape& s)
{
    std::vector<std::string> out = {"app/main.o", "asm/start.o", "out/libutil.a", "out/libsh_impl.so", "out/libsh.so",
                                    "out/app"};
    for (int k = 0; k < s.lib_sources; ++k) {
        out.push_back(object_of(lib_source(k)));
        out.push_back(lib_source(k).substr(0, lib_source(k).size() - 2) + ".d");  // the build's own -MMD -MP
    }
    for (int k = 0; k < s.shared_sources; ++k) {
        out.push_back(object_of(shared_source(k)));
    }
    return out;
}

// Helpers give a library source the bulk of ordinary code: loops, branches,
// string handling, calls between functions. "@" is the helper's number.
constexpr const char* kHelper = R"(static int helper_@(const char* s, int n)
{
    int acc = @;
    char buf[64];
    for (int i = 0; i < n && s[i] != '\0'; ++i) {
        if (s[i] >= 'a' && s[i] <= 'z') {
            acc = acc * 31 + (s[i] - 'a');
        } else if (s[i] == ' ') {
            acc ^= i << 3;
        } else {
            acc += (int)strlen(s + i) % 7;
        }
    }
    snprintf(buf, sizeof buf, "%s:%d", s, acc);
    switch (acc & 3) {
    case 0: acc += (int)strlen(buf); break;
    case 1: acc -= buf[0]; break;
    default: acc ^= @; break;
    }
    return acc;
}
)";

inline void write(const std::string& root, const shape& s)
{
    for (const char* d : {"include", "lib", "shared", "app", "asm", "out"}) {
        mkdir((root + "/" + d).c_str(), 0755);
    }
    put(root + "/include/common.h", "#include <stdio.h>\n#include <string.h>\n#define COMMON 1\n");
    put(root + "/include/config.h", "#define CONF 2\n");
    std::string util_h = "#include \"common.h\"\n", sh_h = util_h, lib_objs, sh_objs;
    for (int k = 0; k < s.lib_sources; ++k) {
        std::string n = std::to_string(k), body, calls = "0";
        for (int h = 0; h < s.helpers; ++h) {
            for (const char* c = kHelper; *c != '\0'; ++c) {
                body += *c == '@' ? std::to_string(h) : std::string(1, *c);
            }
            calls += " + helper_" + std::to_string(h) + "(b, x)";
        }
        util_h += "int util_" + n + "(int);\n";
        put(root + "/" + lib_source(k), "#include \"util.h\"\n#include \"config.h\"\n" + body + "int util_" + n +
                                            "(int x)\n{\n    char b[32];\n    snprintf(b, sizeof b, \"%d-" + n +
                                            "\", x);\n    return (int)strlen(b) + COMMON + CONF + " + n + " + " + calls +
                                            ";\n}\n");
        lib_objs += " " + object_of(lib_source(k));
    }
    for (int k = 0; k < s.shared_sources; ++k) {
        sh_h += "int shared_" + std::to_string(k) + "(const char*);\n";
        put(root + "/" + shared_source(k), "#include \"sh.h\"\nint shared_" + std::to_string(k) +
                                               "(const char* s)\n{\n    return (int)strlen(s) * " +
                                               std::to_string(k + 3) + " + COMMON;\n}\n");
        sh_objs += " " + object_of(shared_source(k));
    }
    put(root + "/lib/util.h", util_h);
    put(root + "/shared/sh.h", sh_h);
    put(root + "/app/main.c",
        "#include <stdlib.h>\n#include \"util.h\"\n#include \"sh.h\"\nint asm_value(void);\n"
        "int main(int argc, char** argv)\n{\n    (void)argv;\n"
        "    printf(\"%d\\n\", util_0(argc) + shared_0(\"abc\") + asm_value());\n    return EXIT_SUCCESS;\n}\n");
    put(root + "/asm/start.s", "\t.text\n\t.globl asm_value\n\t.type asm_value, @function\nasm_value:\n"
                               "\tmovl $7, %eax\n\tret\n\t.section .note.GNU-stack,\"\",@progbits\n");
    put(root + "/app.rsp", "-Lout -lutil\n-lsh\n");
    put(root + "/Makefile",
        "CC ?= gcc\nCFLAGS = -O1 -Iinclude -Ilib -Ishared\nLIB_OBJS =" + lib_objs + "\nSH_OBJS =" + sh_objs + "\n"
        "all: out/app\n"
        "lib/%.o: lib/%.c\n\t$(CC) $(CFLAGS) -MMD -MP -c $< -o $@\n"
        "shared/%.o: shared/%.c\n\t$(CC) $(CFLAGS) -fPIC -c $< -o $@\n"
        "app/main.o: app/main.c\n\t$(CC) $(CFLAGS) -c app/main.c -o app/main.o\n"
        "asm/start.o: asm/start.s\n\tas -o asm/start.o asm/start.s\n"
        "out/libutil.a: $(LIB_OBJS)\n\tar rcS out/libutil.a $(LIB_OBJS)\n\tranlib out/libutil.a\n"
        "out/libsh_impl.so: $(SH_OBJS)\n\t$(CC) -shared -o out/libsh_impl.so $(SH_OBJS)\n"
        "out/libsh.so: out/libsh_impl.so\n\tprintf 'GROUP ( libsh_impl.so )\\n' > out/libsh.so\n"
        "out/app: app/main.o asm/start.o out/libutil.a out/libsh.so\n"
        "\t$(CC) -o out/app app/main.o asm/start.o @app.rsp\n");
}

}  // namespace ziv_project
