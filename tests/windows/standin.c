/* A stand-in for the application on Windows: notes each start in started.log beside itself, as
 * "<build> started in <working folder>", then ends; the build is set when it is compiled.
 *   kestrelix.exe                   notes its start and ends
 *   kestrelix.exe --hold SECONDS    then keeps running, as a user's application does, until a
 *                                   file "stop" appears beside it or the seconds are over
 *   kestrelix.exe --hold-file NAME SECONDS
 *                                   the same, with NAME (beside it) open as SQLite opens a
 *                                   database: reading and writing, shared for both, never for
 *                                   deleting */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static wchar_t folder[MAX_PATH];

static void beside(wchar_t *path, const wchar_t *name)
{
    swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
}

int wmain(int argc, wchar_t **argv)
{
    GetModuleFileNameW(NULL, folder, MAX_PATH);
    wchar_t *slash = wcsrchr(folder, L'\\');
    if (slash)
        *slash = 0;

    wchar_t log[MAX_PATH];
    wchar_t here[MAX_PATH];
    beside(log, L"started.log");
    GetCurrentDirectoryW(MAX_PATH, here);
    FILE *out = _wfopen(log, L"a");
    if (!out)
        return 1;
    fwprintf(out, L"%hs started in %ls\n", STANDIN_BUILD, here);
    fclose(out);

    int hold = 0;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (argc == 3 && wcscmp(argv[1], L"--hold") == 0)
        hold = _wtoi(argv[2]);
    if (argc == 4 && wcscmp(argv[1], L"--hold-file") == 0) {
        wchar_t path[MAX_PATH];
        beside(path, argv[2]);
        held = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, 0, NULL);
        if (held == INVALID_HANDLE_VALUE)
            return 2;
        hold = _wtoi(argv[3]);
    }
    wchar_t stop[MAX_PATH];
    beside(stop, L"stop");
    for (int waited = 0; waited < hold * 10; ++waited) {
        if (GetFileAttributesW(stop) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
