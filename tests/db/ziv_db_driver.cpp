// Drives the library's database and trace-record functions from a script
// on standard input, one command per line, fields separated by tabs ("\t",
// "\n" and "\\" escapes allowed inside fields). Every command prints one
// line with its result, so a test reads the results back in order.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_trace.h"

namespace {

ziv_trace_cmd g_row{"driver", nullptr, 0, 0, 0, nullptr, {}};

std::string unescape(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 1 < field.size()) {
            char c = field[++i];
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(unescape(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

// The field "<null>" stands for a null pointer.
const char* opt(const std::string& s) { return s == "<null>" ? nullptr : s.c_str(); }

ziv_trace_file** list_of(const std::string& which)
{
    ziv_trace_info* info = g_row.info;
    if (info == nullptr) {
        return nullptr;
    }
    if (which == "in") {
        return &info->inputs;
    }
    if (which == "common") {
        return &info->common_inputs;
    }
    if (which == "out") {
        return &info->outputs;
    }
    return nullptr;
}

std::string dump_files(const ziv_trace_file* node)
{
    std::ostringstream s;
    for (; node != nullptr; node = node->next) {
        s << (node->name ? node->name : "(null)") << '|' << node->type << '|' << node->id << '|' << node->sha256 << ';';
    }
    return s.str();
}

std::string dump_pairs(const ziv_trace_paired_file* node)
{
    std::ostringstream s;
    for (; node != nullptr; node = node->next) {
        s << (node->in_name ? node->in_name : "(null)") << '|' << (node->out_name ? node->out_name : "(null)") << '|'
          << node->unchanged << '|' << node->in_type << '|' << node->in_id << '|' << node->out_id << '|'
          << node->in_sha256 << '|' << node->out_sha256 << ';';
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
    if (info == nullptr) {
        return "no info";
    }
    info->pwd_id = g_row.pwd_id;
    ziv_init_trace_input(info->pwd_id, info->inputs);
    ziv_init_trace_input(info->pwd_id, info->common_inputs);
    ziv_init_trace_paired_input(info);
    ziv_insert_input_file(info->pwd_id, info->inputs);
    ziv_insert_input_file(info->pwd_id, info->common_inputs);
    ziv_insert_paired_in_file(info);
    return "ok";
}

// What the trace entry does at exit, minus the timing.
std::string exit_work()
{
    ziv_trace_info* info = g_row.info;
    if (info == nullptr) {
        return "no info";
    }
    info->command_id = g_row.command_id;
    int rc = ziv_parse_trace_info(info);
    return std::to_string(rc);
}

std::string header_work(const std::vector<std::string>& f)
{
    ziv_trace_file* list = nullptr;
    for (size_t i = 2; i < f.size(); ++i) {
        ziv_append_trace_file(&list, f[i].c_str());
    }
    int source_id = atoi(f[1].c_str());
    int n = ziv_prepare_head_file(g_row.pwd_id, list);
    if (n > 0) {
        ziv_insert_head_file(g_row.pwd_id, list);
    }
    int m = ziv_update_head_id(g_row.pwd_id, list);
    if (m > 0) {
        ziv_insert_head_depend_table(source_id, list);
    }
    std::string out = std::to_string(n) + " " + std::to_string(m) + " " + dump_files(list);
    ziv_free_trace_file(list);
    return out;
}

void close_db()
{
    void* lib = dlopen("libsqlite3.so.0", RTLD_LAZY | RTLD_NOLOAD);
    auto close = lib ? reinterpret_cast<int (*)(sqlite3*)>(dlsym(lib, "sqlite3_close")) : nullptr;
    if (close != nullptr && ziv_prog_cfg.db != nullptr) {
        close(ziv_prog_cfg.db);
    }
    ziv_prog_cfg.db = nullptr;
}

std::string run_command(const std::vector<std::string>& f)
{
    const std::string& c = f[0];
    auto arg = [&f](size_t i) -> const std::string& {
        static const std::string empty;
        return i < f.size() ? f[i] : empty;
    };
    auto num = [&arg](size_t i) { return atoi(arg(i).c_str()); };
    if (c == "init") {
        init_ziv_sqlite3_cfg();
        return std::string("path=") + ziv_prog_cfg.trace_output;
    }
    if (c == "open") return std::to_string(ziv_open_sqlite());
    if (c == "close") return close_db(), "closed";
    if (c == "exec") return std::to_string(ziv_sqlite3_exec(opt(arg(1)), arg(2).empty() ? int(arg(1).size()) : num(2)));
    if (c == "id") return std::to_string(ziv_get_data_id(opt(arg(1)), arg(2).empty() ? int(arg(1).size()) : num(2)));
    if (c == "by_name") return std::to_string(ziv_get_obj_id_by_filename(opt(arg(1)), opt(arg(2))));
    if (c == "by_sum") return std::to_string(ziv_get_obj_id_by_checksum(opt(arg(1)), opt(arg(2)), num(3), opt(arg(4))));
    if (c == "target_by_sum") return std::to_string(ziv_get_target_obj_id(num(1), opt(arg(2))));
    if (c == "time_id") return std::to_string(ziv_get_build_time_id(num(1)));
    if (c == "pwd_id") {
        g_row.pwd_id = ziv_db_get_pwd_id();
        return std::to_string(g_row.pwd_id);
    }
    if (c == "ins_path") return std::to_string(ziv_insert_path_file(opt(arg(1)), num(2)));
    if (c == "ins_source") return std::to_string(ziv_insert_source_file(num(1), num(2), opt(arg(3)), opt(arg(4))));
    if (c == "ins_head") return std::to_string(ziv_insert_head_file_sqlite(num(1), opt(arg(2)), opt(arg(3))));
    if (c == "ins_target") return std::to_string(ziv_insert_target_file(num(1), num(2), opt(arg(3)), opt(arg(4))));
    if (c == "upd_target") return std::to_string(ziv_update_target_file(num(1), num(2)));
    if (c == "relation") return std::to_string(ziv_insert_relation(opt(arg(1)), num(2), num(3)));
    if (c == "tt") return std::to_string(ziv_insert_target_target(num(1), num(2)));
    if (c == "ts") return std::to_string(ziv_insert_target_source(num(1), num(2)));
    if (c == "ss") return std::to_string(ziv_insert_source_source(num(1), num(2)));
    if (c == "sh") return std::to_string(ziv_insert_source_head(num(1), num(2)));
    if (c == "runtime") return std::to_string(ziv_update_build_command_runtime(num(1), num(2)));
    if (c == "row") {
        g_row.command_id = num(1);
        g_ziv_trace_cmd = &g_row;
        return "row";
    }
    if (c == "norow") return g_ziv_trace_cmd = nullptr, "norow";
    if (c == "time_init") {
        ziv_init_trace_time(&g_row.time);
        return "time";
    }
    if (c == "time_set") {
        g_row.time.runtime_ms = num(1);
        g_row.time.sha256_ms = num(2);
        g_row.time.sql_ms = num(3);
        g_row.time.dataid_ms = num(4);
        return "time";
    }
    if (c == "time_start_ago") {  // pretend tracing began this many ms ago
        g_row.time.start.tv_sec -= num(1) / 1000;
        return "time";
    }
    if (c == "time_row") return std::to_string(ziv_insert_trace_time(num(1), &g_row.time));
    if (c == "time_null_row") return std::to_string(ziv_insert_trace_time(num(1), nullptr));
    if (c == "time_show") {
        const ziv_trace_time& t = g_row.time;
        std::ostringstream s;
        s << t.runtime_ms << ' ' << t.total_ms << ' ' << t.sha256_ms << ' ' << t.sql_ms << ' ' << t.dataid_ms;
        return s.str();
    }
    if (c == "info") return std::to_string(ziv_init_trace_info(arg(1).empty() ? nullptr : arg(1).c_str(), &g_row));
    if (c == "in" || c == "common" || c == "out") return std::to_string(ziv_append_trace_file(list_of(c), opt(arg(1))));
    if (c == "pair") {
        return std::to_string(
            g_row.info ? ziv_append_trace_paired_file(opt(arg(1)), opt(arg(2)), &g_row.info->paired) : -9);
    }
    if (c == "flags") return g_row.info->flags = num(1), "flags";
    if (c == "settype") {
        ziv_trace_file* node = *list_of(arg(1));
        for (int i = num(2); i > 0 && node; --i) node = node->next;
        if (node) node->type = num(3);
        return node ? "type" : "no node";
    }
    if (c == "entry") return entry();
    if (c == "exit") return exit_work();
    if (c == "dump") return arg(1) == "pair" ? dump_pairs(g_row.info->paired) : dump_files(*list_of(arg(1)));
    if (c == "free") {
        ziv_free_trace_info(g_row.info);
        free(g_row.info);
        g_row.info = nullptr;
        g_row.excluded = 0;
        return "freed";
    }
    if (c == "heads") return header_work(f);
    if (c == "cd") return std::to_string(chdir(arg(1).c_str()));
    if (c == "sleep") return usleep(num(1) * 1000), "slept";
    if (c == "touch") {
        int fd = open(arg(1).c_str(), O_CREAT | O_WRONLY, 0644);
        return fd >= 0 ? (close(fd), "touched") : "touch failed";
    }
    if (c == "write") {  // what the traced program would write
        FILE* out = fopen(arg(1).c_str(), "w");
        if (out == nullptr) return "write failed";
        fputs(arg(2).c_str(), out);
        fclose(out);
        return "written";
    }
    if (c == "now_ms") {
        timeval now{};
        gettimeofday(&now, nullptr);
        return std::to_string(now.tv_sec * 1000L + now.tv_usec / 1000);
    }
    return "unknown command " + c;
}

}  // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) {
            continue;
        }
        std::cout << run_command(split(line)) << std::endl;
    }
    close_db();
    return 0;
}
