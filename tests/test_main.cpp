// Test entry point for every test program: under Wine, and in the native
// sanitizer build of the format code.
#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <gmock/gmock.h>

int main(int argc, char** argv)
{
    // Text-mode stdout would turn "\n" into "\r\n" and spoil the test list
    // that ctest reads back at discovery time.
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
