// Test entry point for every test program run under Wine.
#include <fcntl.h>
#include <io.h>
#include <cstdio>

#include <gmock/gmock.h>

int main(int argc, char** argv)
{
    // Text-mode stdout would turn "\n" into "\r\n" and spoil the test list
    // that ctest reads back at discovery time.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
