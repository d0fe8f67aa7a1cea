/* Floor (a): the least a program can do to show the confirmation box and exit.
   Built the ordinary way (CRT, wWinMain, -mwindows -municode -Os -s) so its cost is the
   baseline every measured program pays. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show)
{
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    int answer = MessageBoxW(NULL,
                             L"你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。",
                             L"确认御载", MB_YESNO | MB_ICONQUESTION);
    return answer == IDYES ? 0 : 1;
}
