/* Floor (b): the confirmation box, the three key-tree deletions, the eight file deletions
   from the program's own folder, and a plain completion box. No error handling beyond what
   the measured work needs: it is the lower bound for the Yes -> completion time. */
#include <windows.h>

static const wchar_t *const files[] = {
    L"Kembrasil.ocx", L"vantorix.ocx", L"PRELDA32.OCX", L"tolvane.dat",
    L"Orvandel.exe",  L"marrowin.dat", L"sarnoth.txt",  L"TIMBRAL.txt",
};

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show)
{
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    if (MessageBoxW(NULL,
                    L"你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。",
                    L"确认御载", MB_YESNO | MB_ICONQUESTION) != IDYES)
        return 1;

    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"*\\shell\\Orvandel");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Folder\\shell\\Orvandel");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"password");

    /* The files live next to the executable, whatever the current directory is. */
    wchar_t path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 2;
    wchar_t *name = path + length;
    while (name > path && name[-1] != L'\\')
        --name;
    for (unsigned i = 0; i < sizeof files / sizeof files[0]; ++i) {
        lstrcpyW(name, files[i]);
        DeleteFileW(path);
    }

    MessageBoxW(NULL, L"已经成功御载！", L"御载", MB_OK);
    return 0;
}
