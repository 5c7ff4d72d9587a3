/* A stand-in for the product in the Wine test's package: when started it leaves a file
   "started" beside itself and ends with 0. */
#include <windows.h>

#include <wchar.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance, (void)previous, (void)commandLine, (void)show;
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    wchar_t *name = wcsrchr(path, L'\\');
    if (name == NULL)
        return 1;
    wcscpy(name + 1, L"started");
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, "started\r\n", 9, &written, NULL);
    CloseHandle(file);
    return ok && written == 9 ? 0 : 1;
}
