# kalvitrex default profile: which programs get which normalisations in a
# typical C/C++ build. Copy this file, edit it, and pass it with
#     kalvitrex run --profile my.profile -- make
# or start yours with "include default" and add to it.
#
# Format
#   NAME = VALUE      sets NAME for the build
#   NAME += WORDS     adds program names to a list set earlier
#   include PROFILE   everything PROFILE sets, here: a shipped profile by
#                     name (default, strict) or a file (a path, or a name
#                     ending in .profile; relative to this file)
#   # ...             a comment (only at the start of a line)
#   a line ending in a backslash continues on the next line
# NAME is one of the library's ZIV_* variables, an ordinary environment
# variable of the build (TZ, LC_ALL, ...), or umask: the build's
# file-creation mask, in octal. The program lists (ZIV_*LIST,
# ZIV_TRACE_MAP) hold program names separated by blanks; a name matches a
# program's own name and, for the GNU tools, that name with a
# cross-compiler prefix (arm-linux-gnueabi-gcc matches gcc). An empty value
# switches a list off. Values such as ZIV_TIME, ZIV_HOSTNAME, ZIV_UID or
# ZIV_INODE are taken as written; unset, the library uses its defaults.
# ZIV_TRACE_ENABLE, ZIV_TRACE_OUTPUT and LD_PRELOAD are set by kalvitrex run
# itself.
#
# Order of precedence: kalvitrex run --set NAME=VALUE, then this file, then
# the environment kalvitrex runs in. The build time is --set ZIV_TIME, else
# SOURCE_DATE_EPOCH, else ZIV_TIME ("YYYY-MM-DD HH:MM:SS" in the build's
# time zone, or "@SECONDS"), else the newest debian/changelog entry's date
# (in a Debian source tree), else 2022-02-28 02:42:14 UTC; the build gets it
# as ZIV_TIME=@SECONDS, the same instant whatever time zone a step sets,
# and as SOURCE_DATE_EPOCH when that is not set already.

# Make programs and build drivers decide what to rebuild from real file
# times: they are in no time list, and they are also whitelisted, so they keep
# real times when a time list is removed and the whitelist fallback applies.
ZIV_WHITELIST = make gmake bmake remake ninja samu cmake ctest scons

# Archivers and packagers store file times, owners and inode numbers. (A tar
# that extracts gets real answers; one given --mtime or --clamp-mtime, as
# dpkg-deb does, sets member times itself and sees the real file times.)
ZIV_FILE_TIME_LIST = ar ranlib tar bsdtar cpio pax zip jar gzip \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso
ZIV_UIDLIST = ar ranlib tar bsdtar cpio pax zip jar \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso
ZIV_INOLIST = tar bsdtar cpio pax mksquashfs genisoimage mkisofs xorriso

# Compilers, assemblers, linkers and code generators get the fixed build
# time from time(), clock_gettime() and gettimeofday(); so do the archivers,
# which stamp their symbol tables and entries with the current time, and
# date, the stamp of shell scripts and makefiles ($(shell date)). A script
# that polls date until a deadline would wait for ever: take date out of
# both lists for such a build.
ZIV_TIMELIST = gcc g++ cc c++ cpp cc1 cc1plus cc1obj lto1 as ld ld.bfd ld.gold \
    clang clang++ lld ld.lld gfortran f951 \
    bison yacc flex lex m4 gperf protoc moc uic rcc swig xsltproc doxygen \
    ar ranlib tar zip jar gzip cpio dpkg-deb rpmbuild mksquashfs date
ZIV_CGTLIST = gcc g++ cc c++ cpp cc1 cc1plus cc1obj lto1 as ld ld.bfd ld.gold \
    clang clang++ lld ld.lld gfortran f951 \
    bison yacc flex lex m4 gperf protoc moc uic rcc swig xsltproc doxygen \
    ar ranlib tar zip jar gzip cpio dpkg-deb rpmbuild mksquashfs date
ZIV_GTDLIST = gcc g++ cc c++ cpp cc1 cc1plus cc1obj lto1 as ld ld.bfd ld.gold \
    clang clang++ lld ld.lld gfortran f951 \
    bison yacc flex lex m4 gperf protoc moc uic rcc swig xsltproc doxygen

# Programs that list directories or walk trees get sorted listings, so what
# they find comes in the same order on every file system; so do the
# interpreters whose scripts generate files from os.listdir, glob or
# readdir.
ZIV_DIRLIST = ls find tar bsdtar cpio pax zip jar make gmake \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso \
    python python3 python3.11 python3.12 python3.13 perl
ZIV_NFTWLIST = ls find tar bsdtar cpio pax zip jar \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso

# Scripts that embed the build host ask these.
ZIV_NAMELIST = hostname uname

# Python iterates sets of strings, and Perl hashes, in an order that
# changes from one run to the next unless the hash seed is fixed (autom4te's
# cache and Perl-generated sources otherwise differ between builds).
PYTHONHASHSEED = 0
PERL_HASH_SEED = 0
PERL_PERTURB_KEYS = 0

# Not traced: programs that only remove files or change their modes. A
# configure script runs rm hundreds of times; each traced process pays for
# a database connection and its row says nothing about what was made.
ZIV_TRACE_WHITELIST = rm rmdir chmod

# Left off on purpose: ZIV_RANDOMLIST also gives program-derived process ids,
# which parallel builds can see colliding; list single generators that need
# it. The values (ZIV_TIME, ZIV_HOSTNAME, ...) keep the library's defaults.
# The time zone, the locale and the umask are the user's: the strict
# profile sets them. Python's clock is not fixed in either profile: a
# program listed for clock_gettime gets the fixed time from every clock,
# and Python's time.sleep would then never return; Python's own stamps
# (byte-compiled files) follow SOURCE_DATE_EPOCH.
