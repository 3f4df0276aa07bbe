// Drives the library's database and trace-record functions from a script on
// standard input: one command a line, fields split at tabs (or at blanks when
// the line has no tab; "\t", "\n" and "\\" escapes allowed). Every command
// prints one result line, so a test reads the results back in order.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_trace.h"

namespace {

// Intervals truncate toward zero.
static_assert(ziv_interval_ms({10, 999999}, {11, 0}) == 1 && ziv_interval_ms({10, 0}, {10, 999}) == 0);
static_assert(ziv_interval_ms({10, 500000}, {10, 0}) == -500 && ziv_interval_ms({11, 0}, {10, 999999}) == -1);

ziv_trace_cmd g_row{"driver", nullptr, 0, 0, 0, nullptr, {}};

std::vector<std::string> split(const std::string& line)
{
    const char sep = line.find('\t') != std::string::npos ? '\t' : ' ';
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == sep) {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            c = line[++i];
            fields.back() += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// The field "<null>" stands for a null pointer.
const char* opt(const std::string& s) { return s == "<null>" ? nullptr : s.c_str(); }

ziv_trace_file** list_of(const std::string& which)
{
    ziv_trace_info* info = g_row.info;
    return info == nullptr ? nullptr : which == "in" ? &info->inputs : &info->outputs;
}

std::string dump_files(const ziv_trace_file* n)
{
    std::ostringstream s;
    for (; n != nullptr; n = n->next) {
        s << n->name << '|' << n->type << '|' << n->id << '|' << n->sha256 << ';';
    }
    return s.str();
}

std::string dump_pairs(const ziv_trace_paired_file* n)
{
    std::ostringstream s;
    for (; n != nullptr; n = n->next) {
        s << (n->in_name ? n->in_name : "(null)") << '|' << (n->out_name ? n->out_name : "(null)") << '|'
          << n->unchanged << '|' << n->in_type << '|' << n->in_id << '|' << n->out_id << '|' << n->in_sha256 << '|'
          << n->out_sha256 << ';';
    }
    return s.str();
}

// What the trace entry does right after the parser.
std::string entry()
{
    ziv_trace_info* info = g_row.info;
    if (ziv_outfile_is_test(info) != 0) {
        g_row.excluded = 1;
        return "excluded";
    }
    ziv_record_inputs_at_entry(info, g_row.pwd_id);
    return "ok";
}

// The header steps of a compiler's dependency output: "heads <source id> <names>...".
std::string headers(const std::vector<std::string>& f)
{
    ziv_trace_file* list = nullptr;
    for (size_t i = 2; i < f.size(); ++i) {
        ziv_append_trace_file(&list, f[i].c_str());
    }
    int n = ziv_prepare_head_file(g_row.pwd_id, list);
    if (n > 0) {
        ziv_insert_head_file(g_row.pwd_id, list);
    }
    int m = ziv_update_head_id(g_row.pwd_id, list);
    if (m > 0) {
        ziv_insert_head_depend_table(atoi(f[1].c_str()), list);
    }
    std::string out = std::to_string(n) + " " + std::to_string(m) + " " + dump_files(list);
    ziv_free_trace_file(list);
    return out;
}

std::string run_command(const std::vector<std::string>& f)
{
    const std::string& c = f[0];
    auto arg = [&f](size_t i) { return i < f.size() ? f[i] : std::string(); };
    auto num = [&arg](size_t i) { return atoi(arg(i).c_str()); };
    auto len = [&](size_t i) { return f.size() > i + 1 ? num(i + 1) : int(arg(i).size()); };
    auto r = [](long v) { return std::to_string(v); };
    ziv_trace_time& t = g_row.time;
    if (c == "init") return init_ziv_sqlite3_cfg(), "path=" + std::string(ziv_prog_cfg.trace_output);
    if (c == "open") return r(ziv_open_sqlite());
    if (c == "exec") return r(ziv_sqlite3_exec(opt(arg(1)), len(1)));
    if (c == "id") return r(ziv_get_data_id(opt(arg(1)), len(1)));
    if (c == "by_name") return r(ziv_get_obj_id_by_filename(opt(arg(1)), opt(arg(2))));
    if (c == "by_sum") return r(ziv_get_obj_id_by_checksum(opt(arg(1)), opt(arg(2)), num(3), opt(arg(4))));
    if (c == "target_by_sum") return r(ziv_get_target_obj_id(num(1), opt(arg(2))));
    if (c == "time_id") return r(ziv_get_build_time_id(num(1)));
    if (c == "pwd_id") return r(g_row.pwd_id = ziv_db_get_pwd_id());
    if (c == "ins_path") return r(ziv_insert_path_file(opt(arg(1)), num(2)));
    if (c == "ins_source") return r(ziv_insert_source_file(num(1), num(2), opt(arg(3)), opt(arg(4))));
    if (c == "ins_head") return r(ziv_insert_head_file_sqlite(num(1), opt(arg(2)), opt(arg(3))));
    if (c == "ins_target") return r(ziv_insert_target_file(num(1), num(2), opt(arg(3)), opt(arg(4))));
    if (c == "upd_target") return r(ziv_update_target_file(num(1), num(2)));
    if (c == "relation") return r(ziv_insert_relation(opt(arg(1)), num(2), num(3)));
    if (c == "tt") return r(ziv_insert_target_target(num(1), num(2)));
    if (c == "ts") return r(ziv_insert_target_source(num(1), num(2)));
    if (c == "ss") return r(ziv_insert_source_source(num(1), num(2)));
    if (c == "sh") return r(ziv_insert_source_head(num(1), num(2)));
    if (c == "runtime") return r(ziv_update_build_command_runtime(num(1), num(2)));
    if (c == "row") return g_row.command_id = num(1), g_ziv_trace_cmd = &g_row, "row";
    if (c == "norow") return g_ziv_trace_cmd = nullptr, "norow";
    if (c == "time_init") return ziv_init_trace_time(&t), "time";
    if (c == "time_set") {
        t.runtime_ms = num(1), t.sha256_ms = num(2), t.sql_ms = num(3), t.dataid_ms = num(4);
        return "time";
    }
    if (c == "time_start_ago") return t.start.tv_sec -= num(1) / 1000, "time";  // tracing began this long ago
    if (c == "time_row") return r(ziv_insert_trace_time(num(1), arg(2) == "<null>" ? nullptr : &t));
    if (c == "time_show") {
        return r(t.runtime_ms) + ' ' + r(t.total_ms) + ' ' + r(t.sha256_ms) + ' ' + r(t.sql_ms) + ' ' + r(t.dataid_ms);
    }
    if (c == "info") return r(ziv_init_trace_info(arg(1).empty() ? nullptr : arg(1).c_str(), &g_row));
    if (c == "in" || c == "out") return r(ziv_append_trace_file(list_of(c), opt(arg(1))));
    if (c == "pair") return r(ziv_append_trace_paired_file(opt(arg(1)), opt(arg(2)), &g_row.info->paired));
    if (c == "flags") return g_row.info->flags = num(1), "flags";
    if (c == "entry") return entry();
    if (c == "exit") return g_row.info->command_id = g_row.command_id, r(ziv_parse_trace_info(g_row.info));
    if (c == "dump") return arg(1) == "pair" ? dump_pairs(g_row.info->paired) : dump_files(*list_of(arg(1)));
    if (c == "free") {
        ziv_free_trace_info(g_row.info);
        free(g_row.info);
        g_row.info = nullptr;
        g_row.excluded = 0;
        return "freed";
    }
    if (c == "heads") return headers(f);
    if (c == "cd") return r(chdir(arg(1).c_str()));
    if (c == "sleep") return usleep(num(1) * 1000), "slept";
    if (c == "touch") return close(open(arg(1).c_str(), O_CREAT | O_WRONLY, 0644)) == 0 ? "touched" : "failed";
    if (c == "write") {  // what the traced program would write
        FILE* out = fopen(arg(1).c_str(), "w");
        return out && fputs(arg(2).c_str(), out) >= 0 && fclose(out) == 0 ? "written" : "write failed";
    }
    if (c == "now_ms") {
        timeval now{};
        gettimeofday(&now, nullptr);
        return r(now.tv_sec * 1000L + now.tv_usec / 1000);
    }
    return "unknown command " + c;
}

}  // namespace

int main()
{
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty()) {
            std::cout << run_command(split(line)) << std::endl;
        }
    }
    // The connection the library opened, closed as the trace end does.
    void* lib = dlopen("libsqlite3.so.0", RTLD_LAZY | RTLD_NOLOAD);
    auto close_db = lib ? reinterpret_cast<int (*)(sqlite3*)>(dlsym(lib, "sqlite3_close")) : nullptr;
    if (close_db != nullptr && ziv_prog_cfg.db != nullptr) {
        close_db(ziv_prog_cfg.db);
    }
    return 0;
}
