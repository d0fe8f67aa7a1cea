/* Benchmark driver, run inside the benchmark's Wine prefix.
 *
 *   driver OUT.csv ROUNDS WARMUP STAGE_ROOT NAME=KIND=EXE [NAME=KIND=EXE ...]
 *
 * KIND: "box"    shows only the confirmation box (floor a): measure launch, answer Yes, wait for exit
 *       "full"   confirmation, removal, completion window titled 御载 (tool, floor b, peer)
 *
 * Rounds are interleaved (A B C A B C ...). For every run the driver stages a fresh folder
 * (the program and the eight files) and fresh keys, starts the program with CreateProcessW,
 * and polls the window list every millisecond from this process: Win32 window state crosses
 * process boundaries inside one prefix, and a poll costs microseconds where an xdotool call
 * costs 15-30 ms. The window found is whichever process owns it, so an uninstaller that
 * restarts itself from a temporary copy is timed until its copy shows the box.
 *
 * Memory is PeakWorkingSetSize of the process owning the last window, read just before that
 * window is dismissed; Wine fills it from /proc/PID/status VmHWM of that process.
 * Each run also records whether the windows show the expected texts and whether the keys and
 * files were already gone when the completion window appeared.
 * Output: one CSV line per run, warm-up runs flagged. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

static const wchar_t confirm_title[] = L"确认御载";
static const wchar_t done_title[] = L"御载";
static const wchar_t confirm_text[] =
    L"你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。";
static const wchar_t done_text[] = L"已经成功御载！";

static const wchar_t *const files[] = {
    L"Kembrasil.ocx", L"vantorix.ocx", L"PRELDA32.OCX", L"tolvane.dat",
    L"Orvandel.exe",  L"marrowin.dat", L"sarnoth.txt",  L"TIMBRAL.txt",
};

struct key {
    HKEY root;
    const wchar_t *path;
    const wchar_t *sub; /* a subkey, so only a tree deletion removes the key */
};

static const struct key keys[] = {
    {HKEY_CLASSES_ROOT, L"*\\shell\\Orvandel", L"command"},
    {HKEY_CLASSES_ROOT, L"Folder\\shell\\Orvandel", L"command"},
    {HKEY_LOCAL_MACHINE, L"password", NULL},
};

struct program {
    wchar_t name[64];
    int full;
    wchar_t exe[MAX_PATH];
};

static LARGE_INTEGER frequency;

static double now_ms(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void fail(const char *what)
{
    fprintf(stderr, "driver: %s (error %lu)\n", what, GetLastError());
    fflush(stderr);
}

static int stage(const wchar_t *dir, const wchar_t *exe, wchar_t *staged_exe)
{
    if (!CreateDirectoryW(dir, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return fail("cannot create the stage folder"), 0;
    const wchar_t *base = wcsrchr(exe, L'\\');
    base = base ? base + 1 : exe;
    swprintf(staged_exe, MAX_PATH, L"%ls\\%ls", dir, base);
    if (!CopyFileW(exe, staged_exe, FALSE))
        return fail("cannot copy the program"), 0;
    for (unsigned i = 0; i < sizeof files / sizeof files[0]; ++i) {
        wchar_t path[MAX_PATH];
        swprintf(path, MAX_PATH, L"%ls\\%ls", dir, files[i]);
        HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return fail("cannot create a data file"), 0;
        DWORD written;
        WriteFile(h, "benchmark data\r\n", 16, &written, NULL);
        CloseHandle(h);
    }
    for (unsigned i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        HKEY h;
        if (RegCreateKeyExW(keys[i].root, keys[i].path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL) != ERROR_SUCCESS)
            return fail("cannot create a key"), 0;
        RegSetValueExW(h, L"", 0, REG_SZ, (const BYTE *)L"Orvandel", 18);
        if (keys[i].sub) {
            HKEY s;
            if (RegCreateKeyExW(h, keys[i].sub, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &s, NULL) != ERROR_SUCCESS)
                return RegCloseKey(h), fail("cannot create a subkey"), 0;
            RegSetValueExW(s, L"", 0, REG_SZ, (const BYTE *)L"\"C:\\Orvandel.exe\" \"%1\"", 46);
            RegCloseKey(s);
        }
        RegCloseKey(h);
    }
    return 1;
}

/* 1 when every key and file the program should remove is gone */
static int removed(const wchar_t *dir)
{
    for (unsigned i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        HKEY h;
        if (RegOpenKeyExW(keys[i].root, keys[i].path, 0, KEY_READ, &h) == ERROR_SUCCESS) {
            RegCloseKey(h);
            return 0;
        }
    }
    for (unsigned i = 0; i < sizeof files / sizeof files[0]; ++i) {
        wchar_t path[MAX_PATH];
        swprintf(path, MAX_PATH, L"%ls\\%ls", dir, files[i]);
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            return 0;
    }
    return 1;
}

/* Waits up to MS for HANDLE (or just waits, with none) while answering our own window's
   messages, so a program that broadcasts to every top-level window never waits on us. */
static int pump_wait(HANDLE handle, DWORD ms)
{
    double deadline = now_ms() + ms;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        double left = deadline - now_ms();
        if (left <= 0)
            return 0;
        DWORD r = MsgWaitForMultipleObjects(handle ? 1 : 0, &handle, FALSE, (DWORD)left + 1, QS_ALLINPUT);
        if (handle && r == WAIT_OBJECT_0)
            return 1;
        if (r == WAIT_TIMEOUT)
            return 0;
    }
}

struct search {
    const wchar_t *title;
    HWND found;
};

/* A window counts as shown once it is visible with at least one visible control in it: a
   program that shows its frame first and fills it afterwards is not done yet. */
static int has_visible_child(HWND window)
{
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (IsWindowVisible(child))
            return 1;
    return 0;
}

struct text_search {
    const wchar_t *text;
    int found;
};

static BOOL CALLBACK match_child_text(HWND child, LPARAM parameter)
{
    struct text_search *s = (struct text_search *)parameter;
    wchar_t text[128];
    if (GetWindowTextW(child, text, 128) && wcscmp(text, s->text) == 0) {
        s->found = 1;
        return FALSE;
    }
    return TRUE;
}

/* 1 when a control of WINDOW shows TEXT: checks the measured window is the right one. */
static int shows_text(HWND window, const wchar_t *text)
{
    struct text_search s = {text, 0};
    EnumChildWindows(window, match_child_text, (LPARAM)&s);
    return s.found;
}

static BOOL CALLBACK match_window(HWND window, LPARAM parameter)
{
    struct search *s = (struct search *)parameter;
    wchar_t text[64];
    if (!IsWindowVisible(window))
        return TRUE;
    if (GetWindowTextW(window, text, 64) && wcscmp(text, s->title) == 0 && has_visible_child(window)) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

/* Polls for a visible top-level window titled TITLE; returns it and the time it was seen. */
static HWND wait_window(const wchar_t *title, double deadline_ms, double *seen)
{
    for (;;) {
        struct search s = {title, NULL};
        EnumWindows(match_window, (LPARAM)&s);
        if (s.found) {
            *seen = now_ms();
            return s.found;
        }
        if (now_ms() > deadline_ms)
            return NULL;
        pump_wait(NULL, 1);
    }
}

static HANDLE owner_of(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
}

static double peak_kib(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof counters;
    if (!process || !GetProcessMemoryInfo(process, &counters, sizeof counters))
        return -1;
    return (double)counters.PeakWorkingSetSize / 1024.0;
}

/* Lets the window finish painting before it is answered, so the next phase starts from an
   idle program, as it would for a person reading the box. */
static void settle(HANDLE process)
{
    if (process)
        WaitForInputIdle(process, 2000);
    pump_wait(NULL, 150);
}

static void run_one(FILE *out, const struct program *p, int round, int warmup, const wchar_t *stage_root)
{
    wchar_t dir[MAX_PATH], staged[MAX_PATH];
    swprintf(dir, MAX_PATH, L"%ls\\r%02d-%ls", stage_root, round, p->name);
    double launch = -1, yes = -1, mem_box = -1, mem_end = -1;
    DWORD exit_code = 999;
    int texts = 0, removed_first = -1;
    wchar_t done_class[64] = L"";
    if (!stage(dir, p->exe, staged))
        goto report;

    wchar_t command[MAX_PATH + 4];
    swprintf(command, MAX_PATH + 4, L"\"%ls\"", staged);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    double t0 = now_ms(), seen = 0;
    if (!CreateProcessW(staged, command, NULL, NULL, FALSE, 0, NULL, dir, &startup, &child)) {
        fail("cannot start the program");
        goto report;
    }
    HWND box = wait_window(confirm_title, t0 + 20000, &seen);
    if (!box) {
        fail("no confirmation box");
        TerminateProcess(child.hProcess, 99);
        goto done;
    }
    launch = seen - t0;
    texts = shows_text(box, confirm_text);
    HANDLE owner = owner_of(box);
    settle(owner);
    mem_box = peak_kib(owner);

    /* The Yes click as the box itself reports it: WM_COMMAND from the Yes button. */
    HWND yes_button = GetDlgItem(box, IDYES);
    double t1 = now_ms();
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), (LPARAM)yes_button);
    if (p->full) {
        HWND end = wait_window(done_title, t1 + 20000, &seen);
        if (!end) {
            fail("no completion window");
        } else {
            yes = seen - t1;
            /* Taken after the time stamp: the removal must be over once the completion shows. */
            removed_first = removed(dir);
            GetClassNameW(end, done_class, 64);
            texts = texts && shows_text(end, done_text);
            HANDLE end_owner = owner_of(end);
            settle(end_owner);
            mem_end = peak_kib(end_owner);
            PostMessageW(end, WM_CLOSE, 0, 0);
            if (end_owner) {
                pump_wait(end_owner, 10000);
                CloseHandle(end_owner);
            }
        }
    } else {
        mem_end = mem_box;
    }
    if (owner) {
        pump_wait(owner, 10000);
        CloseHandle(owner);
    }
done:
    if (!pump_wait(child.hProcess, 10000))
        TerminateProcess(child.hProcess, 98);
    GetExitCodeProcess(child.hProcess, &exit_code);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
report:;
    int ok = launch >= 0 && (!p->full || (yes >= 0 && removed(dir)));
    fprintf(out, "%d,%d,%ls,%.2f,%.2f,%.0f,%.0f,%lu,%d,%d,%d,%ls\n", round, warmup, p->name, launch, yes, mem_box,
            mem_end, exit_code, ok, texts, removed_first, done_class);
    fflush(out);
}

static LRESULT CALLBACK keeper_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return DefWindowProcW(window, message, wparam, lparam);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: driver OUT.csv ROUNDS WARMUP STAGE_ROOT NAME=KIND=EXE...\n");
        return 2;
    }
    QueryPerformanceFrequency(&frequency);
    FILE *out = _wfopen(argv[1], L"w");
    if (!out)
        return fail("cannot open the output"), 3;
    int rounds = _wtoi(argv[2]), warmup = _wtoi(argv[3]);
    const wchar_t *stage_root = argv[4];
    CreateDirectoryW(stage_root, NULL);

    struct program programs[8];
    int count = 0;
    for (int i = 5; i < argc && count < 8; ++i, ++count) {
        wchar_t *kind = wcschr(argv[i], L'=');
        wchar_t *exe = kind ? wcschr(kind + 1, L'=') : NULL;
        if (!exe)
            return fprintf(stderr, "driver: bad program %ls\n", argv[i]), 2;
        *kind++ = 0;
        *exe++ = 0;
        lstrcpynW(programs[count].name, argv[i], 64);
        programs[count].full = wcscmp(kind, L"box") != 0;
        lstrcpynW(programs[count].exe, exe, MAX_PATH);
    }

    /* A hidden window of our own keeps Wine's desktop process alive between runs; without it
       every program would wait for the desktop to restart. */
    WNDCLASSW window_class = {0};
    window_class.lpfnWndProc = keeper_proc;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.lpszClassName = L"BenchDriverKeeper";
    RegisterClassW(&window_class);
    CreateWindowExW(0, window_class.lpszClassName, L"bench keeper", WS_OVERLAPPED, 0, 0, 1, 1, NULL, NULL,
                    window_class.hInstance, NULL);

    fprintf(out, "round,warmup,name,launch_ms,yes_ms,peak_box_kib,peak_end_kib,exit,ok,texts,removed_first,done_class\n");
    for (int round = 1 - warmup; round <= rounds; ++round)
        for (int i = 0; i < count; ++i) {
            run_one(out, &programs[i], round + warmup, round <= 0, stage_root);
            fprintf(stderr, ".");
            fflush(stderr);
        }
    fprintf(stderr, "\n");
    fclose(out);
    return 0;
}
