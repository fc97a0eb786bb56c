// Holds a file open as another Windows program would (an editor, a service writing its log):
// for reading, sharing reading and writing but not deletion, so that the system refuses to
// delete the file while it is held. Writes "held" on standard output once the file is open and
// keeps it until its standard input ends. Exit status 1 when the file cannot be opened.
//
//   holdopen.exe <file>
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

int main()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 2)
        return 2;
    const HANDLE file = CreateFileW(arguments[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}
