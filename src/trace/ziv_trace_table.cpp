// The tools the tracing side knows, in lookup order, and the two rows that
// stand outside the table.
#include <cstring>

#include "ziv_parsers.h"
#include "ziv_parsers_arm.h"
#include "ziv_parsers_binutils.h"
#include "ziv_parsers_other.h"
#include "ziv_template.h"
#include "ziv_trace_entry.h"

// A row: its name and parser; ids, flags, record and timing start at zero.
#define ZIV_ROW(name, parser) {name, parser, 0, 0, 0, nullptr, {}}

extern "C" {

// Tools without a parser ("collect2", the OCaml tools, "iarbuild",
// "ccache") still get their command row.
ZIV_EXPORT ziv_trace_cmd g_trace_compile_group[ZIV_TRACE_TOOL_COUNT] = {
    ZIV_ROW("gcc", ziv_parse_gcc_cmd),                         // 0
    ZIV_ROW("cc1", ziv_parse_cc1_cmd),
    ZIV_ROW("as", ziv_parse_as_cmd),
    ZIV_ROW("ld", ziv_parse_ld_cmd),
    ZIV_ROW("lld", ziv_parse_ld_cmd),
    ZIV_ROW("ld.lld", ziv_parse_ld_cmd),
    ZIV_ROW("collect2", nullptr),
    ZIV_ROW("g++", ziv_parse_gcc_cmd),
    ZIV_ROW("cc1plus", ziv_parse_cc1_cmd),
    ZIV_ROW("cc", ziv_parse_gcc_cmd),
    ZIV_ROW("c++", ziv_parse_gcc_cmd),                         // 10
    ZIV_ROW("cpp", ziv_parse_gcc_cmd),
    ZIV_ROW("xcc", ziv_parse_gcc_cmd),
    ZIV_ROW("xgcc", ziv_parse_gcc_cmd),
    ZIV_ROW("xg++", ziv_parse_gcc_cmd),
    ZIV_ROW("gfortran", ziv_parse_gcc_cmd),
    ZIV_ROW("f77", ziv_parse_gcc_cmd),
    ZIV_ROW("f95", ziv_parse_gcc_cmd),
    ZIV_ROW("ar", ziv_parse_ar_cmd),
    ZIV_ROW("strip", ziv_parse_strip_cmd),
    ZIV_ROW("elfedit", ziv_parse_elfedit_cmd),                 // 20
    ZIV_ROW("ld.gold", ziv_parse_ld_cmd),
    ZIV_ROW("ld.bfd", ziv_parse_ld_cmd),
    ZIV_ROW("ranlib", ziv_parse_ranlib_cmd),
    ZIV_ROW("objcopy", ziv_parse_objcopy_cmd),
    ZIV_ROW("dwz", ziv_parse_dwz_cmd),
    ZIV_ROW("patch", ziv_parse_patch_cmd),
    ZIV_ROW("build", ziv_parse_build_cmd),
    ZIV_ROW("sortextable", ziv_parse_sortextable_cmd),
    ZIV_ROW("pesign", ziv_parse_pesign_cmd),
    ZIV_ROW("recordmcount", ziv_parse_recordmcount_cmd),       // 30
    ZIV_ROW("perl", ziv_parse_perl_cmd),
    ZIV_ROW("armar", ziv_parse_armar_cmd),
    ZIV_ROW("armcc", ziv_parse_armcc_cmd),
    ZIV_ROW("armasm", ziv_parse_armasm_cmd),
    ZIV_ROW("armlink", ziv_parse_armlink_cmd),
    ZIV_ROW("ocamlfind", nullptr),
    ZIV_ROW("ocamlc", nullptr),
    ZIV_ROW("ocamlc.byte", nullptr),
    ZIV_ROW("ocamlc.opt", nullptr),
    ZIV_ROW("ocamlcp", nullptr),                               // 40
    ZIV_ROW("ocamlcp.byte", nullptr),
    ZIV_ROW("ocamlcp.opt", nullptr),
    ZIV_ROW("ocamlmklib", nullptr),
    ZIV_ROW("ocamlmklib.byte", nullptr),
    ZIV_ROW("ocamlmklib.opt", nullptr),
    ZIV_ROW("ocamlmktop", nullptr),
    ZIV_ROW("ocamlmktop.byte", nullptr),
    ZIV_ROW("ocamlmktop.opt", nullptr),
    ZIV_ROW("ocamldep", nullptr),
    ZIV_ROW("ocamllex", nullptr),                              // 50
    ZIV_ROW("ocamlopt", nullptr),
    ZIV_ROW("ocamlopt.opt", nullptr),
    ZIV_ROW("fromelf", ziv_parse_fromelf_cmd),
    ZIV_ROW("sepdebugcrcfix", ziv_parse_sepdebugcrcfix_cmd),
    ZIV_ROW("debugedit", ziv_parse_debugedit_cmd),
    ZIV_ROW("iarbuild", nullptr),
    ZIV_ROW("iccarm", ziv_parse_iccarm_cmd),
    ZIV_ROW("iarchive", ziv_parse_iarchive_cmd),
    ZIV_ROW("clang++", ziv_parse_gcc_cmd),
    ZIV_ROW("clang.real", ziv_parse_gcc_cmd),                  // 60
    ZIV_ROW("clang", ziv_parse_gcc_cmd),
    ZIV_ROW("vrnc", ziv_parse_gcc_cmd),
    ZIV_ROW("eu-strip", ziv_parse_eu_strip_cmd),
    ZIV_ROW("eu-elfcompress", ziv_parse_eu_elfcompress_cmd),
    ZIV_ROW("eu-unstrip", ziv_parse_eu_unstrip_cmd),
    ZIV_ROW("nasm", ziv_parse_nasm_cmd),
    ZIV_ROW("cp", ziv_prase_cp_cmd),
    ZIV_ROW("mv", ziv_prase_cp_cmd),
    ZIV_ROW("ln", ziv_prase_cp_cmd),
    ZIV_ROW("install", ziv_prase_cp_cmd),                      // 70
    ZIV_ROW("ccache", nullptr),
};

}  // extern "C"

// Programs the template file describes.
ziv_trace_cmd g_trace_template_cmd = ZIV_ROW("template", ziv_parse_template_cmd);
// Programs outside the table started by a shell, make or a build script,
// and known tools run by a configure script or a test suite: the command
// row only.
ziv_trace_cmd g_trace_build_default = ZIV_ROW("default", nullptr);

#undef ZIV_ROW

ziv_trace_cmd* get_compile_parse_cmd(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    for (ziv_trace_cmd& row : g_trace_compile_group) {
        if (std::strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}
