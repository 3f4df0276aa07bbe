# The build database and the trace record: a driver linked against the
# library runs its functions on real SQLite files made from the shipped
# schema; the tests read the files back with SQLite itself.
find_package(SQLite3 REQUIRED)

add_executable(ziv_db_driver db/ziv_db_driver.cpp)
target_include_directories(ziv_db_driver PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_db_driver PRIVATE ziv_env dl)

ziv_add_test_program(ziv_db_tests
  SOURCES db/test_db_access.cpp db/test_db_record.cpp db/test_db_concurrency.cpp
  LIBS ziv_test_support SQLite::SQLite3 pthread
  DEFS [[ZIV_DB_DRIVER="$<TARGET_FILE:ziv_db_driver>"]] ${ZIV_LIB_DEF} ${ZIV_SCHEMA_DEF}
       [[ZIV_FAKE_SQLITE_DIR="$<TARGET_FILE_DIR:fake_sqlite3>"]]
  DEPENDS ziv_db_driver fake_sqlite3)
