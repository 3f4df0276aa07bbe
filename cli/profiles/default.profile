# kalvitrex default profile: which programs get which normalisations in a
# typical C/C++ build. Copy this file, edit it, and pass it with
#     kalvitrex run --profile my.profile -- make
#
# Format
#   NAME = VALUE      sets the environment variable NAME for the build
#   NAME += WORDS     adds program names to a list set earlier in the file
#   # ...             a comment (only at the start of a line)
#   a line ending in a backslash continues on the next line
# NAME is one of the library's ZIV_* variables. The program lists
# (ZIV_*LIST, ZIV_TRACE_MAP) hold program names separated by blanks; a name
# matches a program's own name and, for the GNU tools, that name with a
# cross-compiler prefix (arm-linux-gnueabi-gcc matches gcc). An empty value
# switches a list off. Values such as ZIV_TIME, ZIV_HOSTNAME, ZIV_UID or
# ZIV_INODE are taken as written; unset, the library uses its defaults.
# ZIV_TRACE_ENABLE and ZIV_TRACE_OUTPUT are set by kalvitrex run itself.
#
# Order of precedence: kalvitrex run --set NAME=VALUE, then SOURCE_DATE_EPOCH
# (for ZIV_TIME), then this file, then the environment kalvitrex runs in.

# Make programs and build drivers decide what to rebuild from real file
# times: they are in no time list, and they are also whitelisted, so they keep
# real times when a time list is removed and the whitelist fallback applies.
ZIV_WHITELIST = make gmake bmake remake ninja samu cmake ctest scons

# Archivers and packagers store file times, owners and inode numbers.
ZIV_FILE_TIME_LIST = ar ranlib tar bsdtar cpio pax zip jar gzip \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso
ZIV_UIDLIST = ar ranlib tar bsdtar cpio pax zip jar \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso
ZIV_INOLIST = tar bsdtar cpio pax mksquashfs genisoimage mkisofs xorriso

# Compilers, assemblers, linkers and code generators get the fixed build
# time from time(), clock_gettime() and gettimeofday(); so do the archivers,
# which stamp their symbol tables and entries with the current time.
ZIV_TIMELIST = gcc g++ cc c++ cpp cc1 cc1plus cc1obj lto1 as ld ld.bfd ld.gold \
    clang clang++ lld ld.lld gfortran f951 \
    bison yacc flex lex m4 gperf protoc moc uic rcc swig xsltproc doxygen \
    ar ranlib tar zip jar gzip cpio dpkg-deb rpmbuild mksquashfs
ZIV_CGTLIST = gcc g++ cc c++ cpp cc1 cc1plus cc1obj lto1 as ld ld.bfd ld.gold \
    clang clang++ lld ld.lld gfortran f951 \
    bison yacc flex lex m4 gperf protoc moc uic rcc swig xsltproc doxygen \
    ar ranlib tar zip jar gzip cpio dpkg-deb rpmbuild mksquashfs
ZIV_GTDLIST = gcc g++ cc c++ cpp cc1 cc1plus cc1obj lto1 as ld ld.bfd ld.gold \
    clang clang++ lld ld.lld gfortran f951 \
    bison yacc flex lex m4 gperf protoc moc uic rcc swig xsltproc doxygen

# Programs that list directories or walk trees get sorted listings, so what
# they find comes in the same order on every file system.
ZIV_DIRLIST = ls find tar bsdtar cpio pax zip jar make gmake \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso
ZIV_NFTWLIST = ls find tar bsdtar cpio pax zip jar \
    dpkg-deb rpmbuild mksquashfs genisoimage mkisofs xorriso

# Scripts that embed the build host ask these.
ZIV_NAMELIST = hostname uname

# Left off on purpose: ZIV_RANDOMLIST also gives program-derived process ids,
# which parallel builds can see colliding; list single generators that need
# it. The values (ZIV_TIME, ZIV_HOSTNAME, ...) keep the library's defaults.
