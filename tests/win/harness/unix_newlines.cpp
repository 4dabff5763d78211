// Linked into every Windows test program: standard output in binary mode, so that the test
// list ctest reads through Wine (--gtest_list_tests) ends its lines in "\n" alone.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace {
const int kBinaryStdout = _setmode(_fileno(stdout), _O_BINARY);
}  // namespace
