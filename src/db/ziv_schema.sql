-- The build database. The preloaded library only adds and updates rows: its
-- INSERT statements list every column in the order below without naming
-- them, so the column order is part of the contract. Create a database with
--     sqlite3 build.db < ziv_schema.sql
-- and point ZIV_TRACE_OUTPUT at it.
--
-- The UNIQUE constraints are what "INSERT OR IGNORE" relies on: two processes
-- recording the same file both succeed and then find the one row. The
-- indexes keep every look-up the library makes logarithmic in the size of
-- the build.

-- Write-ahead logging: every process of a parallel build appends its rows
-- without rewriting pages under an exclusive lock, and readers never wait.
-- The mode is stored in the file, so every later connection uses it.
PRAGMA journal_mode = WAL;

-- All or nothing, and one sync instead of one per table.
BEGIN;

-- Working directories.
CREATE TABLE IF NOT EXISTS path_file_table (
    id       INTEGER PRIMARY KEY,
    filename TEXT NOT NULL UNIQUE
);

-- Tool programs, by absolute path, with the digest of the program file.
CREATE TABLE IF NOT EXISTS tool_file_table (
    id       INTEGER PRIMARY KEY,
    filename TEXT NOT NULL UNIQUE,
    checksum TEXT NOT NULL
);

-- One row per traced command. runtime is -1 until the command has ended.
CREATE TABLE IF NOT EXISTS build_command_table (
    id           INTEGER PRIMARY KEY,
    start_time   TEXT NOT NULL,     -- local time, "%F %T"
    command      TEXT NOT NULL,     -- the arguments, separated by one space
    tool_id      INTEGER NOT NULL,  -- tool_file_table
    path_file_id INTEGER NOT NULL,  -- path_file_table
    parent_id    INTEGER NOT NULL,  -- build_command_table, 0 = none
    runtime      INTEGER NOT NULL   -- milliseconds
);
CREATE INDEX IF NOT EXISTS build_command_parent ON build_command_table (parent_id);

-- The argument vector of each command exactly as the program received it:
-- every argument followed by a zero byte, so blanks, quotes, empty
-- arguments, line ends and bytes that are not UTF-8 all survive. The command
-- text above cannot tell "a b" from "a" "b"; readers use this row when it is
-- there and fall back to the text for databases made before it existed.
CREATE TABLE IF NOT EXISTS build_command_argv_table (
    command_id INTEGER PRIMARY KEY,  -- build_command_table
    argv       BLOB NOT NULL
);

-- Files are identified by digest and name, and by directory when the name is
-- relative; the same name with new contents is a new row, and look-ups take
-- the newest (highest id). In each file table the UNIQUE key answers the
-- look-up of a relative name (digest, name, directory) and the index on
-- (filename, checksum) the look-ups by name alone and of an absolute name by
-- digest, newest first without sorting.

-- Sources: files read by the build that no traced command made, or outputs
-- that are sources themselves. command_id = 0 for a file recorded as input.
CREATE TABLE IF NOT EXISTS source_file_table (
    id           INTEGER PRIMARY KEY,
    filename     TEXT NOT NULL,
    path_file_id INTEGER NOT NULL,
    checksum     TEXT NOT NULL,
    command_id   INTEGER NOT NULL,
    UNIQUE (checksum, filename, path_file_id)
);
CREATE INDEX IF NOT EXISTS source_file_name ON source_file_table (filename, checksum);

-- Headers read by compilations.
CREATE TABLE IF NOT EXISTS head_file_table (
    id           INTEGER PRIMARY KEY,
    filename     TEXT NOT NULL,
    path_file_id INTEGER NOT NULL,
    checksum     TEXT NOT NULL,
    UNIQUE (checksum, filename, path_file_id)
);
CREATE INDEX IF NOT EXISTS head_file_name ON head_file_table (filename, checksum);

-- Targets: objects, libraries, programs and every other non-source file.
-- command_id is the command that produced the file (0 for a file recorded as
-- input; a command re-creating an identical file takes it over);
-- trace_command_id the command being traced when the row was written.
CREATE TABLE IF NOT EXISTS target_file_table (
    id               INTEGER PRIMARY KEY,
    filename         TEXT NOT NULL,
    path_file_id     INTEGER NOT NULL,
    checksum         TEXT NOT NULL,
    command_id       INTEGER NOT NULL,
    trace_command_id INTEGER NOT NULL,
    UNIQUE (checksum, filename, path_file_id)
);
CREATE INDEX IF NOT EXISTS target_file_name ON target_file_table (filename, checksum);

-- Time accounting per command, in milliseconds (log level "buildtime").
CREATE TABLE IF NOT EXISTS build_time_table (
    id         INTEGER PRIMARY KEY,
    build_id   INTEGER NOT NULL,  -- build_command_table
    runtime_ms INTEGER NOT NULL,  -- program run time
    total_ms   INTEGER NOT NULL,  -- tracing start to this row
    sha256_ms  INTEGER NOT NULL,  -- digests
    sql_ms     INTEGER NOT NULL,  -- statements
    dataid_ms  INTEGER NOT NULL   -- id look-ups
);
CREATE INDEX IF NOT EXISTS build_time_build ON build_time_table (build_id);

-- Dependency relations, each pair once.
CREATE TABLE IF NOT EXISTS target_target_table (
    id        INTEGER PRIMARY KEY,
    target_id INTEGER NOT NULL,  -- target_file_table
    dep_id    INTEGER NOT NULL,  -- target_file_table
    UNIQUE (target_id, dep_id)
);
CREATE TABLE IF NOT EXISTS target_source_table (
    id        INTEGER PRIMARY KEY,
    target_id INTEGER NOT NULL,  -- target_file_table
    source_id INTEGER NOT NULL,  -- source_file_table
    UNIQUE (target_id, source_id)
);
CREATE TABLE IF NOT EXISTS source_source_table (
    id        INTEGER PRIMARY KEY,
    source_id INTEGER NOT NULL,  -- source_file_table
    dep_id    INTEGER NOT NULL,  -- source_file_table
    UNIQUE (source_id, dep_id)
);
CREATE TABLE IF NOT EXISTS source_head_table (
    id        INTEGER PRIMARY KEY,
    source_id INTEGER NOT NULL,  -- source_file_table
    head_id   INTEGER NOT NULL,  -- head_file_table
    UNIQUE (source_id, head_id)
);

COMMIT;
