// Process ids, user and group, host name and system figures as listed and
// unlisted programs see them.
#include <cstdlib>

#include "preload_env.h"

namespace ziv_test {
namespace {

std::string derived_freeram(uint32_t name_hash, unsigned long total)
{
    unsigned long step = random_steps(name_hash, 1)[0];
    return std::to_string(step < total ? step : step % total);
}

TEST(Identity, ListedProgramsGetTheIdOfTheirName)
{
    auto gcc = probe_values("gcc", {"ids"}, {"ZIV_RANDOMLIST=gcc"});
    EXPECT_EQ(gcc["pid"], "8592");
    EXPECT_EQ(gcc["ppid"], "8592");
    EXPECT_NE(gcc["real_pid"], "8592");

    // 37147 is above the span: its remainder 4379 is lifted by 8192.
    std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(probe_values(alphabet, {"ids"}, {"ZIV_RANDOMLIST=" + alphabet})["pid"], "12571");
    // 64538 leaves 31770, above three quarters: lowered by 8192.
    std::string zs(33, 'z');
    EXPECT_EQ(probe_values(zs, {"ids"}, {"ZIV_RANDOMLIST=" + zs})["pid"], "23578");
    // A name that hashes to -19901 still gets a process id in the span.
    std::string high(200, '\xff');
    EXPECT_EQ(probe_values(high, {"ids"}, {"ZIV_RANDOMLIST=" + high})["pid"], "12867");

    // Unlisted: the real ids.
    auto real = probe_values("gcc", {"ids"}, {"ZIV_RANDOMLIST=cc1"});
    EXPECT_EQ(real["pid"], real["real_pid"]);
    EXPECT_EQ(real["ppid"], real["real_ppid"]);
}

TEST(Identity, FixedUserAndGroupSkipTheRealCall)
{
    // The probe traps the getuid and getgid system calls: a real call is
    // counted and answered with 4242.
    auto fixed = probe_values("id", {"trap-ids"}, {"ZIV_UIDLIST=id", "ZIV_UID=1000", "ZIV_GID=77"});
    EXPECT_EQ(fixed["uid"], "1000");
    EXPECT_EQ(fixed["gid"], "77");
    EXPECT_EQ(fixed["trapped"], "0");

    auto real = probe_values("id", {"trap-ids"}, {"ZIV_UIDLIST=whoami", "ZIV_UID=1000"});
    EXPECT_EQ(real["uid"], "4242");
    EXPECT_EQ(real["gid"], "4242");
    EXPECT_EQ(real["trapped"], "2");
}

TEST(Identity, HostNameIntoLargeAndSmallBuffers)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    // The real host name is "ab" in the probe's own namespace.
    run_result r = run_probe({.name = "uname",
                              .commands = {"uts", "ab", "hostname", "64", "hostname", "10", "hostname", "9",
                                           "hostname", "4", "uname"},
                              .env = {"ZIV_NAMELIST=uname", "ZIV_LOG=yes"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["hostname.64.result"], "0");
    EXPECT_EQ(v["hostname.64.text"], "ZIV_LINUX");
    EXPECT_EQ(v["hostname.10.result"], "0");
    EXPECT_EQ(v["hostname.10.text"], "ZIV_LINUX");
    // Nine bytes hold the real name but not the fixed one and its end.
    EXPECT_EQ(v["hostname.9.result"], "-1");
    EXPECT_EQ(v["hostname.9.errno"], "36");
    EXPECT_EQ(v["hostname.4.result"], "-1");
    EXPECT_EQ(v["hostname.4.errno"], "36");
    // Only the buffer shorter than the name raises the alert.
    const log_record* alert = find_message(
        r, "gethostname ZIV_ERR:!!!Fatal Error,current hostname (ab) space is limited (4),stop building\n");
    ASSERT_NE(alert, nullptr) << describe(r);
    EXPECT_EQ(alert->priority, kAlert);
    int alerts = 0;
    for (const std::string& m : messages(r)) {
        alerts += m.find("space is limited") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(alerts, 1);
    EXPECT_EQ(count_message(r, "uname gethostname get real hostname\n"), 2);
    EXPECT_EQ(count_message(r, "uname gethostname get ziv_hostname\n"), 2);

    EXPECT_EQ(v["uname.result"], "0");
    EXPECT_EQ(v["uname.nodename"], "ZIV_LINUX");
    EXPECT_EQ(v["real.nodename"], "ab");
    EXPECT_EQ(v["uname.others_real"], "1");
    EXPECT_EQ(count_message(r, "uname uname get ziv_hostname\n"), 1);
}

TEST(Identity, UnlistedProgramsSeeTheRealHostName)
{
    auto v = probe_values("uname", {"uts", "ab", "hostname", "64", "hostname", "2", "uname"},
                   {"ZIV_NAMELIST=hostname", "ZIV_HOSTNAME=fixed"});
    EXPECT_EQ(v["hostname.64.text"], "ab");
    EXPECT_EQ(v["hostname.2.result"], "-1");
    EXPECT_EQ(v["uname.nodename"], "ab");

    // A configured name replaces the default.
    auto named = probe_values("uname", {"hostname", "64", "uname"}, {"ZIV_NAMELIST=uname", "ZIV_HOSTNAME=buildhost"});
    EXPECT_EQ(named["hostname.64.text"], "buildhost");
    EXPECT_EQ(named["uname.nodename"], "buildhost");
}

TEST(Identity, SystemFiguresDerivedFromTheProgram)
{
    // "probe" hashes to 1146.
    uint32_t step = random_steps(1146, 1)[0];
    auto first = probe_values("probe", {"sysinfo", "sysinfo"}, {"ZIV_SYSINFOLIST=probe"});
    auto second = probe_values("probe", {"sysinfo"}, {"ZIV_SYSINFOLIST=probe"});
    EXPECT_EQ(first["sysinfo.result"], "0");
    EXPECT_EQ(first["si.uptime"], std::to_string(step % 1296000));
    unsigned long total = std::stoul(first["real.totalram"]);
    EXPECT_EQ(first["si.totalram"], first["real.totalram"]);
    EXPECT_EQ(first["si.freeram"], derived_freeram(1146, total));
    EXPECT_EQ(first["si.procs"], std::to_string(step & 0xffff));
    for (const char* field : {"si.uptime", "si.freeram", "si.procs"}) {
        EXPECT_EQ(first[field], second[field]) << field;
    }
    EXPECT_EQ(first["si.totalswap"], first["real.totalswap"]);
    EXPECT_EQ(first["si.mem_unit"], first["real.mem_unit"]);
    EXPECT_EQ(first["si.totalhigh"], first["real.totalhigh"]);

    // Another name, another figure; unlisted, the real one.
    EXPECT_NE(probe_values("gcc", {"sysinfo"}, {"ZIV_SYSINFOLIST=gcc"})["si.uptime"], first["si.uptime"]);
    auto real = probe_values("probe", {"sysinfo"}, {"ZIV_SYSINFOLIST=gcc", "ZIV_SYSINFO_UPTIME=5"});
    EXPECT_NE(real["si.uptime"], "5");
    EXPECT_EQ(real["si.totalram"], real["real.totalram"]);
}

TEST(Identity, SystemFiguresFromTheVariables)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "free",
                              .commands = {"sysinfo"},
                              .env = {"ZIV_SYSINFOLIST=free", "ZIV_LOG=yes", "ZIV_SYSINFO_UPTIME=-50",
                                      "ZIV_SYSINFO_LOADS=1 2 3 4", "ZIV_SYSINFO_TOTALRAM=-3",
                                      "ZIV_SYSINFO_FREERAM=5000", "ZIV_SYSINFO_SHAREDRAM=7",
                                      "ZIV_SYSINFO_PROCS=70000", "ZIV_SYSINFO_MEM_UNIT=2", "ZIV_SYSINFO_F=abc"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["sysinfo.result"], "0");
    EXPECT_EQ(v["si.uptime"], "50");
    EXPECT_EQ(v["si.loads"], "1 2 3");
    EXPECT_EQ(v["si.totalram"], "7986060");
    EXPECT_EQ(v["si.freeram"], "5000");
    EXPECT_EQ(v["si.sharedram"], "7");
    EXPECT_EQ(v["si.procs"], "4464");
    EXPECT_EQ(v["si.mem_unit"], "2");
    for (const char* text : {"ZIV: free get the ziv info->uptime 50 \n", "ZIV: free get the ziv info->loads 1 2 3\n",
                             "getenv for ZIV_SYSINFO_TOTALRAM failed, use default value.\n",
                             "ZIV: free get the ziv info->totalram 7986060 \n",
                             "ZIV: free get the ziv info->freeram 5000 \n",
                             "ZIV: free get the ziv info->sharedram 7 \n", "ZIV: free get the ziv info->mem_unit 2 \n"}) {
        EXPECT_EQ(count_message(r, text), 1) << text << describe(r);
    }
    // A given process count is stored silently; the padding field has no
    // room on this platform and is left alone.
    for (const std::string& m : messages(r)) {
        EXPECT_EQ(m.find("info->procs"), std::string::npos) << m;
        EXPECT_EQ(m.find("info->_f"), std::string::npos) << m;
    }

    // Zero and oversized RAM figures fall back to the defaults.
    auto limits = probe_values("free", {"sysinfo"},
                        {"ZIV_SYSINFOLIST=free", "ZIV_SYSINFO_TOTALRAM=0", "ZIV_SYSINFO_FREERAM=3972841473"});
    EXPECT_EQ(limits["si.totalram"], "7986060");
    EXPECT_EQ(limits["si.freeram"], "3993030");
    // An empty uptime counts as set; empty figures count as not given.
    auto empty = probe_values("free", {"sysinfo"},
                       {"ZIV_SYSINFOLIST=free", "ZIV_SYSINFO_UPTIME=", "ZIV_SYSINFO_TOTALRAM="});
    EXPECT_EQ(empty["si.uptime"], "0");
    EXPECT_EQ(empty["si.totalram"], empty["real.totalram"]);
}

TEST(Identity, NegativeFiguresStopWhereTheyStand)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "free",
                              .commands = {"sysinfo"},
                              .env = {"ZIV_SYSINFOLIST=free", "ZIV_LOG=yes", "ZIV_SYSINFO_UPTIME=5",
                                      "ZIV_SYSINFO_LOADS=9 -1 8", "ZIV_SYSINFO_SHAREDRAM=11",
                                      "ZIV_SYSINFO_BUFFERRAM=22", "ZIV_SYSINFO_TOTALSWAP=33",
                                      "ZIV_SYSINFO_FREESWAP=-1", "ZIV_SYSINFO_PROCS=65000",
                                      "ZIV_SYSINFO_TOTALHIGH=55", "ZIV_SYSINFO_MEM_UNIT=3"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["sysinfo.result"], "-1");
    // Set before the negative figure...
    EXPECT_EQ(v["si.uptime"], "5");
    EXPECT_EQ(v["si.loads"].substr(0, 2), "9 ");
    EXPECT_EQ(v["si.freeram"], derived_freeram(721, std::stoul(v["real.totalram"])));  // "free" hashes to 721
    EXPECT_EQ(v["si.sharedram"], "11");
    EXPECT_EQ(v["si.bufferram"], "22");
    EXPECT_EQ(v["si.totalswap"], "33");
    // ...and the real values after it.
    EXPECT_NE(v["si.procs"], "65000");
    EXPECT_EQ(v["si.totalhigh"], v["real.totalhigh"]);
    EXPECT_EQ(v["si.mem_unit"], v["real.mem_unit"]);
    EXPECT_EQ(count_message(r, "atol(loads_tmp[i]) <0, error \n"), 1);
    EXPECT_EQ(count_message(r, "ZIV: free get the ziv info->totalswap 33 \n"), 1);
}

struct mask_case {
    std::vector<std::string> argv;
    bool keeps;
};

std::string mask_after(const std::string& name, const std::vector<std::string>& args, const std::string& list)
{
    run_options o;
    o.exe = kProbe;
    o.argv.push_back(name);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + kLib, "PROBE_COMMANDS=mask", list, "ZIV_DIRLIST=" + name};
    run_result r = run(o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    return report(r)["mask"];
}

TEST(Identity, TarThatExtractsLosesItsFeatures)
{
    const std::vector<mask_case> cases = {
        {{"xzf", "a.tgz"}, false},       {{"-xf", "a.tar"}, false},
        {{"--get", "a.tar"}, false},     {{"-C", "dir", "-xf", "a.tar"}, false},
        {{"--extract", "-f", "a.tar"}, false}, {{"cf", "a.tar", "dir"}, true},
        {{"-tf", "a.tar"}, true},        {{"-cf", "x.tar", "--exclude=x", "dir"}, true},
        {{}, true},
    };
    for (const mask_case& c : cases) {
        EXPECT_EQ(mask_after("tar", c.argv, "ZIV_UIDLIST=tar"), c.keeps ? "0x840" : "0x0")
            << "tar " << testing::PrintToString(c.argv);
    }
    // The same arguments do nothing to another program.
    EXPECT_EQ(mask_after("cpio", {"-xf", "a.tar"}, "ZIV_UIDLIST=cpio"), "0x840");
}

TEST(Identity, HostnameKeepsTheFixedNameOnlyForNameQueries)
{
    const std::vector<mask_case> cases = {
        {{}, true},          {{"-s"}, true},  {{"-f"}, true},  {{"-A"}, true},
        {{"-I"}, false},     {{"-i"}, false}, {{"newname"}, false}, {{"-F", "file", "-s"}, true},
        {{"-F", "file"}, false}, {{"-s", "-i"}, false}, {{"-i", "--fqdn", "-f"}, true},
    };
    for (const mask_case& c : cases) {
        std::string mask = mask_after("hostname", c.argv, "ZIV_NAMELIST=hostname");
        EXPECT_EQ(mask, c.keeps ? "0x240" : "0x40") << "hostname " << testing::PrintToString(c.argv);
    }
    // Without the feature there is nothing to keep or lose.
    EXPECT_EQ(mask_after("hostname", {"-s"}, "ZIV_NAMELIST=uname"), "0x40");
}

TEST(Identity, ErrnoIsKept)
{
    auto listed = probe_values("probe", {"errno-kept"},
                        {"ZIV_RANDOMLIST=probe", "ZIV_UIDLIST=probe", "ZIV_NAMELIST=probe", "ZIV_SYSINFOLIST=probe",
                         "ZIV_SYSINFO_PROCS=3"});
    // Logging too: the messages must not cost the program its errno.
    std::map<std::string, std::string> replay;
    if (log_capture_available()) {
        run_result r = run_probe({.name = "probe",
                                  .commands = {"errno-kept"},
                                  .env = {"ZIV_REPLAYLIST=probe", "ZIV_LOG=yes"},
                                  .capture_log = true});
        replay = report(r);
    } else {
        replay = probe_values("probe", {"errno-kept"}, {"ZIV_REPLAYLIST=probe"});
    }
    auto unlisted = probe_values("probe", {"errno-kept"}, {});
    for (auto* v : {&listed, &replay, &unlisted}) {
        std::string text = (*v)["errno"];
        ASSERT_FALSE(text.empty());
        size_t pos = 0;
        int checked = 0;
        while ((pos = text.find(':', pos)) != std::string::npos) {
            size_t end = text.find(' ', pos);
            EXPECT_EQ(text.substr(pos + 1, end - pos - 1), "4321") << text;
            pos = end;
            ++checked;
        }
        EXPECT_EQ(checked, 16);
    }
}

}  // namespace
}  // namespace ziv_test
