# kalvitrex strict profile: everything the default profile sets, and what
# could break a build that relies on it (select it with --profile strict):
# the time zone, the locale and the file-creation mask are fixed, and
# interpreters and listing programs get fixed times, owners and host names.
# See default.profile for the format.
include default

# Compilers print __DATE__ and __TIME__, zip its entry times and date its
# text in local time: one zone for every build. A build that shows local
# times to people shows UTC.
TZ = UTC
# Month names, number formats, sorting and messages. C.UTF-8 exists on every
# glibc system; a build that needs another language's messages or collation
# gets English and code-point order. LANGUAGE would override messages.
LC_ALL = C.UTF-8
LANGUAGE =
# Archive members, tar and zip entries carry the modes their files were
# created with. A build that relies on group-writable files (umask 002)
# gets 644 and 755.
umask = 022

# Perl scripts stamp with time and localtime. A perl test that waits for a
# deadline in a loop would wait for ever.
ZIV_TIMELIST += perl
ZIV_CGTLIST += perl
ZIV_GTDLIST += perl
# stat and date -r show file times, ls -l and stat owners. A script that
# compares file times with stat sees every file at the build time. (ls
# keeps real times: every configure made by automake checks with ls -t
# that a file it has just written is the newest, and stops when it is
# not. Python stays off these lists: its import system would find every
# cached module out of date, and a uid of 0 makes Python tools take the
# build for root's.)
ZIV_FILE_TIME_LIST += stat date
ZIV_UIDLIST += ls stat
# Scripts that embed the build host: socket.gethostname(), platform.node(),
# Sys::Hostname. A test that connects to its own host name finds no such
# host.
ZIV_NAMELIST += python python3 python3.11 python3.12 python3.13 perl
