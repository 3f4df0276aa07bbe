// Process ids, user and group, host name and system figures as listed and
// unlisted programs see them.
#include <tuple>

#include "preload_env.h"

namespace ziv_test {
namespace {

// What a listed program's free RAM is made from: its first random step,
// within the real total.
std::string derived_freeram(uint32_t name_hash, const std::string& total)
{
    unsigned long step = random_steps(name_hash, 1)[0], all = std::stoul(total);
    return std::to_string(step < all ? step : step % all);
}

void expect_real(probe_result& p, std::initializer_list<const char*> fields)
{
    for (const char* field : fields) {
        EXPECT_EQ(p.v[std::string("si.") + field], p.v[std::string("real.") + field]) << field;
    }
}

TEST(Identity, ProcessAndUserIds)
{
    std::string alphabet = "abcdefghijklmnopqrstuvwxyz", zs(33, 'z'), high(200, '\xff');
    check_all({
        {"gcc", {"ids"}, {"ZIV_RANDOMLIST=gcc"}, {"pid=8592", "ppid=8592", "pid.real=0"}},
        // 37147 is above the span: its remainder 4379 is lifted by 8192.
        {alphabet, {"ids"}, {"ZIV_RANDOMLIST=" + alphabet}, {"pid=12571"}},
        // 64538 leaves 31770, above three quarters: lowered by 8192.
        {zs, {"ids"}, {"ZIV_RANDOMLIST=" + zs}, {"pid=23578"}},
        // A name that hashes to -19901 still gets a process id in the span.
        {high, {"ids"}, {"ZIV_RANDOMLIST=" + high}, {"pid=12867"}},
        {"gcc", {"ids"}, {"ZIV_RANDOMLIST=cc1"}, {"pid.real=1", "ppid.real=1"}},
        // The getuid and getgid system calls are trapped: a real call is
        // counted and answered with 4242.
        {"id", {"trap-ids"}, {"ZIV_UIDLIST=id", "ZIV_UID=1000", "ZIV_GID=77"}, {"uid=1000", "gid=77", "trapped=0"}},
        {"id", {"trap-ids"}, {"ZIV_UIDLIST=whoami", "ZIV_UID=1000"}, {"uid=4242", "gid=4242", "trapped=2"}},
    });
}

TEST(Identity, HostNameIntoLargeAndSmallBuffers)
{
    ZIV_REQUIRE_LOG_CAPTURE();  // also for the private namespaces
    // The real host name is "ab" in the probe's own namespace. Nine bytes hold
    // it but not the fixed one and its end; only a buffer shorter than the
    // real name raises the alert.
    check_all({
        {"uname", {"uts", "ab", "hostname", "64", "hostname", "10", "hostname", "9", "hostname", "4", "uname"},
         {"ZIV_NAMELIST=uname", "ZIV_LOG=yes"},
         {"hostname.64=0 0 ZIV_LINUX", "hostname.10=0 0 ZIV_LINUX", "hostname.9=-1 36 ", "hostname.4=-1 36 ",
          "@177:gethostname ZIV_ERR:!!!Fatal Error,current hostname (ab) space is limited (4),stop building\n",
          "^1:gethostname ZIV_ERR:", "#2:uname gethostname get real hostname\n",
          "#2:uname gethostname get ziv_hostname\n", "uname=0 ZIV_LINUX real=ab others_real=1",
          "#1:uname uname get ziv_hostname\n"}},
        {"uname", {"uts", "ab", "hostname", "64", "hostname", "2", "uname"},
         {"ZIV_NAMELIST=hostname", "ZIV_HOSTNAME=fixed"},
         {"hostname.64=0 0 ab", "hostname.2=-1 36 ", "uname=0 ab real=ab others_real=1"}},
        {"uname", {"uts", "ab", "hostname", "64", "uname"}, {"ZIV_NAMELIST=uname", "ZIV_HOSTNAME=buildhost"},
         {"hostname.64=0 0 buildhost", "uname=0 buildhost real=ab others_real=1"}},
    });
}

TEST(Identity, SystemFiguresDerivedFromTheProgram)
{
    uint32_t step = random_steps(1146, 1)[0];  // "probe" hashes to 1146
    probe_result p = check({"probe", {"sysinfo"}, {"ZIV_SYSINFOLIST=probe"},
                            {"sysinfo.result=0", "si.uptime=" + std::to_string(step % 1296000),
                             "si.procs=" + std::to_string(step & 0xffff)}});
    EXPECT_EQ(p.v["si.freeram"], derived_freeram(1146, p.v["real.totalram"]));
    expect_real(p, {"totalram", "totalswap", "mem_unit", "totalhigh"});
    // Another name, another figure; unlisted, the real ones.
    check({"gcc", {"sysinfo"}, {"ZIV_SYSINFOLIST=gcc"}, {"si.uptime!=" + p.v["si.uptime"]}});
    probe_result real =
        check({"probe", {"sysinfo"}, {"ZIV_SYSINFOLIST=gcc", "ZIV_SYSINFO_UPTIME=5"}, {"si.uptime!=5"}});
    expect_real(real, {"totalram", "freeram"});
}

TEST(Identity, SystemFiguresFromTheVariables)
{
    const std::string free = "ZIV: free get the ziv info->";
    // A given process count is stored silently; the padding field has no room
    // on this platform and is left alone.
    check({"free", {"sysinfo"},
           {"ZIV_SYSINFOLIST=free", "ZIV_LOG=yes", "ZIV_SYSINFO_UPTIME=-50", "ZIV_SYSINFO_LOADS=1 2 3 4",
            "ZIV_SYSINFO_TOTALRAM=-3", "ZIV_SYSINFO_FREERAM=5000", "ZIV_SYSINFO_SHAREDRAM=7",
            "ZIV_SYSINFO_PROCS=70000", "ZIV_SYSINFO_MEM_UNIT=2", "ZIV_SYSINFO_F=abc"},
           {"sysinfo.result=0", "si.uptime=50", "si.loads=1 2 3", "si.totalram=7986060", "si.freeram=5000",
            "si.sharedram=7", "si.procs=4464", "si.mem_unit=2", "#1:" + free + "uptime 50 \n",
            "#1:" + free + "loads 1 2 3\n", "#1:getenv for ZIV_SYSINFO_TOTALRAM failed, use default value.\n",
            "#1:" + free + "totalram 7986060 \n", "#1:" + free + "freeram 5000 \n", "#1:" + free + "sharedram 7 \n",
            "#1:" + free + "mem_unit 2 \n", "^0:" + free + "procs", "^0:" + free + "_f"}});
    // Zero and oversized RAM figures fall back to the defaults.
    check({"free", {"sysinfo"}, {"ZIV_SYSINFOLIST=free", "ZIV_SYSINFO_TOTALRAM=0", "ZIV_SYSINFO_FREERAM=3972841473"},
           {"si.totalram=7986060", "si.freeram=3993030"}});
    // An empty uptime counts as set; empty figures count as not given.
    probe_result empty = check({"free", {"sysinfo"},
                                {"ZIV_SYSINFOLIST=free", "ZIV_SYSINFO_UPTIME=", "ZIV_SYSINFO_TOTALRAM="},
                                {"si.uptime=0"}});
    expect_real(empty, {"totalram"});
}

TEST(Identity, NegativeFiguresStopWhereTheyStand)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    // Set before the negative figure, real after it.
    probe_result p =
        check({"free", {"sysinfo"},
               {"ZIV_SYSINFOLIST=free", "ZIV_LOG=yes", "ZIV_SYSINFO_UPTIME=5", "ZIV_SYSINFO_LOADS=9 -1 8",
                "ZIV_SYSINFO_SHAREDRAM=11", "ZIV_SYSINFO_BUFFERRAM=22", "ZIV_SYSINFO_TOTALSWAP=33",
                "ZIV_SYSINFO_FREESWAP=-1", "ZIV_SYSINFO_PROCS=65000", "ZIV_SYSINFO_TOTALHIGH=55",
                "ZIV_SYSINFO_MEM_UNIT=3"},
               {"sysinfo.result=-1", "si.uptime=5", "si.sharedram=11", "si.bufferram=22", "si.totalswap=33",
                "si.procs!=65000", "#1:atol(loads_tmp[i]) <0, error \n",
                "#1:ZIV: free get the ziv info->totalswap 33 \n"}});
    EXPECT_EQ(p.v["si.loads"].substr(0, 2), "9 ");
    EXPECT_EQ(p.v["si.freeram"], derived_freeram(721, p.v["real.totalram"]));  // "free" hashes to 721
    expect_real(p, {"totalhigh", "mem_unit"});
}

// tar that extracts loses its features, and one that sets member times
// itself its fixed file times; hostname keeps the fixed name only
// for name queries. The same arguments do nothing to another program, and
// without the feature there is nothing to keep or lose.
TEST(Identity, FeaturesAdjustedFromTheArguments)
{
    const std::vector<std::string> tar = {"tar", "ZIV_UIDLIST=tar", "0x840", "0x0"},
                                   host = {"hostname", "ZIV_NAMELIST=hostname", "0x240", "0x40"},
                                   tart = {"tar", "ZIV_FILE_TIME_LIST=tar", "0x48", "0x40"};
    const std::vector<std::tuple<std::vector<std::string>, std::vector<std::string>, bool>> cases = {
        {tar, {"xzf", "a.tgz"}, false}, {tar, {"-xf", "a.tar"}, false}, {tar, {"--get", "a.tar"}, false},
        {tar, {"-C", "dir", "-xf", "a.tar"}, false}, {tar, {"--extract", "-f", "a.tar"}, false},
        {tar, {"cf", "a.tar", "dir"}, true}, {tar, {"-tf", "a.tar"}, true},
        {tar, {"-cf", "x.tar", "--exclude=x", "dir"}, true}, {tar, {}, true},
        {tart, {"--clamp-mtime", "--mtime=@1", "-cf", "a.tar", "d"}, false}, {tart, {"-cf", "a.tar", "--mtime", "@1"}, false},
        {tart, {"-cf", "a.tar", "--mtimes", "d"}, true},
        {{"cpio", "ZIV_UIDLIST=cpio", "0x840"}, {"-xf", "a.tar"}, true},
        {host, {}, true}, {host, {"-s"}, true}, {host, {"-f"}, true}, {host, {"-A"}, true}, {host, {"-I"}, false},
        {host, {"-i"}, false}, {host, {"newname"}, false}, {host, {"-F", "file", "-s"}, true},
        {host, {"-F", "file"}, false}, {host, {"-s", "-i"}, false}, {host, {"-i", "--fqdn", "-f"}, true},
        {{"hostname", "ZIV_NAMELIST=uname", "0x40"}, {"-s"}, true},
    };
    for (const auto& [prog, args, keeps] : cases) {
        check({prog[0], args, {"PROBE_COMMANDS=mask", prog[1], "ZIV_DIRLIST=" + prog[0]},
               {"mask=" + prog[keeps ? 2 : 3]}});
    }
}

}  // namespace
}  // namespace ziv_test
