// Holds a file open as a player does (no FILE_SHARE_DELETE) until its input ends.
#include <windows.h>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::puts("held");
    std::fflush(stdout);
    for (int c = 0; c != EOF;)
        c = std::getchar();
    CloseHandle(file);
    return 0;
}
