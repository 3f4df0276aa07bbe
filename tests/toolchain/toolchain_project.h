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
    std::vector<std::string> out;
    for (int k = 0; k < s.lib_sources; ++k) {
        out.push_back(object_of(lib_source(k)));
        // The build's own dependency files (-MMD -MP).
        out.push_back(lib_source(k).substr(0, lib_source(k).size() - 2) + ".d");
    }
    for (int k = 0; k < s.shared_sources; ++k) {
        out.push_back(object_of(shared_source(k)));
    }
    for (const char* f : {"app/main.o", "asm/start.o", "out/libutil.a", "out/libsh_impl.so", "out/libsh.so",
                          "out/app"}) {
        out.push_back(f);
    }
    return out;
}

inline void write(const std::string& root, const shape& s)
{
    for (const char* d : {"include", "lib", "shared", "app", "asm", "out"}) {
        mkdir((root + "/" + d).c_str(), 0755);
    }
    put(root + "/include/common.h", "#include <stdio.h>\n#include <string.h>\n#define COMMON 1\n");
    put(root + "/include/config.h", "#define CONF 2\n");
    std::string util_h = "#include \"common.h\"\n";
    for (int k = 0; k < s.lib_sources; ++k) {
        util_h += "int util_" + std::to_string(k) + "(int);\n";
        // Helpers give a source the bulk of ordinary code: loops, branches,
        // string handling, calls between functions.
        std::string body;
        std::string calls = "0";
        for (int h = 0; h < s.helpers; ++h) {
            std::string n = std::to_string(h);
            body += "static int helper_" + n + "(const char* s, int n)\n{\n"
                    "    int acc = " + n + ";\n    char buf[64];\n"
                    "    for (int i = 0; i < n && s[i] != '\\0'; ++i) {\n"
                    "        if (s[i] >= 'a' && s[i] <= 'z') {\n            acc = acc * 31 + (s[i] - 'a');\n"
                    "        } else if (s[i] == ' ') {\n            acc ^= i << 3;\n"
                    "        } else {\n            acc += (int)strlen(s + i) % 7;\n        }\n    }\n"
                    "    snprintf(buf, sizeof buf, \"%s:%d\", s, acc);\n"
                    "    switch (acc & 3) {\n    case 0: acc += (int)strlen(buf); break;\n"
                    "    case 1: acc -= buf[0]; break;\n    default: acc ^= " + n + "; break;\n    }\n"
                    "    return acc;\n}\n";
            calls += " + helper_" + n + "(b, x)";
        }
        put(root + "/" + lib_source(k),
            "#include \"util.h\"\n#include \"config.h\"\n" + body +
            "int util_" + std::to_string(k) + "(int x)\n{\n    char b[32];\n"
            "    snprintf(b, sizeof b, \"%d-" + std::to_string(k) + "\", x);\n"
            "    return (int)strlen(b) + COMMON + CONF + " + std::to_string(k) + " + " + calls + ";\n}\n");
    }
    put(root + "/lib/util.h", util_h);
    std::string sh_h = "#include \"common.h\"\n";
    for (int k = 0; k < s.shared_sources; ++k) {
        sh_h += "int shared_" + std::to_string(k) + "(const char*);\n";
        put(root + "/" + shared_source(k),
            "#include \"sh.h\"\n"
            "int shared_" + std::to_string(k) + "(const char* s)\n{\n"
            "    return (int)strlen(s) * " + std::to_string(k + 3) + " + COMMON;\n}\n");
    }
    put(root + "/shared/sh.h", sh_h);
    put(root + "/app/main.c",
        "#include <stdlib.h>\n#include \"util.h\"\n#include \"sh.h\"\n"
        "int asm_value(void);\n"
        "int main(int argc, char** argv)\n{\n    (void)argv;\n"
        "    printf(\"%d\\n\", util_0(argc) + shared_0(\"abc\") + asm_value());\n    return EXIT_SUCCESS;\n}\n");
    put(root + "/asm/start.s", "\t.text\n\t.globl asm_value\n\t.type asm_value, @function\nasm_value:\n"
                               "\tmovl $7, %eax\n\tret\n\t.section .note.GNU-stack,\"\",@progbits\n");
    put(root + "/app.rsp", "-Lout -lutil\n-lsh\n");

    std::string lib_objs;
    for (int k = 0; k < s.lib_sources; ++k) {
        lib_objs += " " + object_of(lib_source(k));
    }
    std::string sh_objs;
    for (int k = 0; k < s.shared_sources; ++k) {
        sh_objs += " " + object_of(shared_source(k));
    }
    put(root + "/Makefile",
        "CC ?= gcc\n"
        "CFLAGS = -O1 -Iinclude -Ilib -Ishared\n"
        "LIB_OBJS =" + lib_objs + "\n"
        "SH_OBJS =" + sh_objs + "\n"
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
