// IAR command files: the arguments between the frame bytes, the command
// line rebuilt from them (with the object name completed for a compile, as
// the first byte asks) and the words of that line. Every word lies inside
// the line, and there are no more words than blanks plus one.
#include <cstdlib>
#include <cstring>

#include "ziv_parsers_arm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool compile = (data[0] & 1) != 0;
    const char* prefix = (data[0] & 2) != 0 ? "iccarm \"a b\" " : "iarchive ";
    size_t length = 0;
    char* arguments = ziv_iar_file_arguments(reinterpret_cast<const char*>(data + 1), size - 1, &length);
    if (arguments == nullptr) {
        return 0;
    }
    if (strlen(arguments) != length || length + 4 != size - 1) {
        abort();
    }
    char* line = ziv_iar_rebuild_line(prefix, arguments, compile);
    free(arguments);
    if (line == nullptr) {
        return 0;
    }
    size_t line_length = strlen(line);
    size_t blanks = 0;
    for (const char* c = line; *c != '\0'; ++c) {
        blanks += *c == ' ' ? 1 : 0;
    }
    int count = -1;
    char** words = ziv_iar_split_line(line, &count);
    if ((words == nullptr) != (count == 0) || count < 0 || static_cast<size_t>(count) > blanks + 1) {
        abort();
    }
    for (int i = 0; i < count; ++i) {
        if (words[i] < line || words[i] + strlen(words[i]) > line + line_length) {
            abort();
        }
    }
    if (words != nullptr && words[count] != nullptr) {
        abort();
    }
    free(words);
    free(line);
    return 0;
}
