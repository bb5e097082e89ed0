// The baseline of the idle benchmark: a Win32 program that does nothing but wait, so that
// what Wine itself costs an idle process is measured beside the reporter.
//   IdleWaiter <tag>
// The tag only tells the driver which process is this one. It waits until its standard input
// ends.
#include <windows.h>

int wmain()
{
    char byte = 0;
    DWORD read = 0;
    ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr);
    return 0;
}
