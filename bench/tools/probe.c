/* Per-user probe, run inside the benchmark's Wine prefix with profiles and hives staged.
 *
 *   probe ROUNDS WARMUP
 *
 * Makes the system calls the tool makes for each profile ProfileList lists and for each
 * classes hive HKEY_USERS lists, in the same order with the same arguments, and times each
 * call, so that what the system itself takes per user shows apart from the tool's own work.
 *
 * A profile: its entry listed and its ProfileImagePath read as stored, expanded where it holds
 * a variable; its folder held by its full native path (\??\C:\users\pN), examined and named;
 * then AppData, Local and VirtualStore, each opened relative to the one before as itself,
 * examined and named, up to the first one missing.
 * A hive: listed once; then for each of its two keys (*\shell\Orvandel, Folder\shell\Orvandel),
 * twice (the removal and the last look): \Registry\User, <SID>_Classes, the class and shell
 * opened one in the other by counted name as themselves, each asked for a SymbolicLinkValue,
 * then Orvandel opened as itself, which must be absent.
 *
 * Prints a Markdown table: per call kind, the calls per round, the median over the measured
 * rounds of their total ms, and what that makes per call in microseconds, also from the best
 * round, which other load on a shared machine stretches least. */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

NTSTATUS NTAPI NtOpenKey(HANDLE *key, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes);
BOOL WINAPI ExpandEnvironmentStringsForUserW(HANDLE token, const wchar_t *text, wchar_t *out, DWORD chars);

enum kind {
    LIST_PROFILE, READ_PATH, EXPAND, OPEN_PROFILE, OPEN_PROFILE_MISSING, OPEN_BELOW,
    OPEN_BELOW_MISSING, EXAMINE, NAME, CLOSE_FILE,
    LIST_HIVE, OPEN_USERS, OPEN_KEY, LINK_VALUE, OPEN_TARGET, CLOSE_KEY, KINDS
};
static const char *const label[KINDS] = {
    "RegEnumKeyExW, ProfileList",
    "RegGetValueW, ProfileImagePath",
    "ExpandEnvironmentStringsForUserW",
    "NtCreateFile, profile folder by full path, found",
    "NtCreateFile, profile folder by full path, missing",
    "NtCreateFile, relative (AppData, Local), found",
    "NtCreateFile, relative (VirtualStore), missing",
    "GetFileInformationByHandleEx, FileAttributeTagInfo",
    "NtQueryObject, ObjectNameInformation",
    "CloseHandle, folders",
    "RegEnumKeyExW, HKEY_USERS",
    "NtOpenKey, \\Registry\\User",
    "NtOpenKey, relative (<SID>_Classes, class, shell)",
    "RegQueryValueExW, SymbolicLinkValue",
    "RegOpenKeyExA, Orvandel (absent)",
    "RegCloseKey",
};

#define MAX_ROUNDS 64
static double spent[MAX_ROUNDS][KINDS];
static unsigned calls[KINDS];
static unsigned profiles, hives;
static int round_at, first_measured;
static LARGE_INTEGER frequency, started;

static void start(void) { QueryPerformanceCounter(&started); }

static void stop(enum kind k)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    spent[round_at][k] += (double)(t.QuadPart - started.QuadPart) * 1000.0 / (double)frequency.QuadPart;
    if (round_at == first_measured)
        ++calls[k];
}

static void die(const char *what, long code)
{
    fprintf(stderr, "probe: %s (%ld)\n", what, code);
    exit(1);
}

/* The name buffer the tool gives NtQueryObject: room for any name. */
static union { UNICODE_STRING header; wchar_t text[2 + 0x8000]; } name_room;

/* Opens NAME (relative to ROOT when given) as the tool holds a folder on its way to a mirror:
   asks whether it is a link, and names it. */
static HANDLE hold(HANDLE root, const wchar_t *name, enum kind found, enum kind missing)
{
    USHORT bytes = (USHORT)(wcslen(name) * sizeof(wchar_t));
    UNICODE_STRING text = {bytes, bytes, (wchar_t *)name};
    SECURITY_QUALITY_OF_SERVICE qos = {sizeof qos, SecurityIdentification, SECURITY_STATIC_TRACKING, TRUE};
    OBJECT_ATTRIBUTES object = {sizeof object, root, &text, OBJ_CASE_INSENSITIVE, NULL, &qos};
    IO_STATUS_BLOCK io;
    HANDLE handle = NULL;
    ULONG options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | 0x100 /* complete if oplocked */ |
                    (root ? 0x200000 /* open reparse point */ : 0);
    start();
    NTSTATUS status = NtCreateFile(&handle, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &io,
                                   NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, options, NULL, 0);
    stop(status == 0 ? found : missing);
    if (status != 0) {
        if (status != (NTSTATUS)0xC0000034 && status != (NTSTATUS)0xC000003A)
            die("a folder open failed otherwise than absent", status);
        return NULL;
    }
    /* Whether it is a link: no volume serial, which the tool asks only of the mirror folder itself. */
    FILE_ATTRIBUTE_TAG_INFO tag;
    start();
    BOOL examined = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag);
    stop(EXAMINE);
    ULONG size = 0;
    start();
    status = NtQueryObject(handle, ObjectNameInformation, &name_room, sizeof name_room, &size);
    stop(NAME);
    if (!examined || status != 0)
        die("a held folder could not be examined or named", status);
    return handle;
}

static void close_file(HANDLE handle)
{
    start();
    CloseHandle(handle);
    stop(CLOSE_FILE);
}

static void walk_profiles(void)
{
    HKEY list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_WOW64_64KEY, &list) != 0)
        die("cannot open ProfileList", GetLastError());
    static wchar_t expanded[0x8000];
    for (DWORD index = 0;; ++index) {
        wchar_t sid[256], stored[MAX_PATH + 1], path[4 + 0x8000];
        DWORD chars = 256, bytes = sizeof stored;
        start();
        LONG status = RegEnumKeyExW(list, index, sid, &chars, NULL, NULL, NULL, NULL);
        stop(LIST_PROFILE);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        start();
        status = RegGetValueW(list, sid, L"ProfileImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                              NULL, stored, &bytes);
        stop(READ_PATH);
        if (status != 0)
            continue;
        const wchar_t *folder = stored;
        if (wcschr(stored, L'%')) {
            start();
            BOOL done = ExpandEnvironmentStringsForUserW(NULL, stored, expanded, 0x8000);
            stop(EXPAND);
            if (!done)
                die("cannot expand a profile's folder", GetLastError());
            folder = expanded;
        }
        if (round_at == first_measured)
            ++profiles;
        swprintf(path, sizeof path / sizeof path[0], L"\\??\\%ls", folder);
        HANDLE held = hold(NULL, path, OPEN_PROFILE, OPEN_PROFILE_MISSING);
        static const wchar_t *const below[] = {L"AppData", L"Local", L"VirtualStore"};
        for (unsigned i = 0; held && i < 3; ++i) {
            HANDLE next = hold(held, below[i], OPEN_BELOW, OPEN_BELOW_MISSING);
            close_file(held);
            held = next;
        }
        if (held)
            die("a staged profile has a VirtualStore", 0);
    }
    RegCloseKey(list);
}

static void close_key(HKEY key)
{
    start();
    RegCloseKey(key);
    stop(CLOSE_KEY);
}

/* One copy, as the tool reaches it in another user's hive: \Registry\User, HIVE, CLASS and shell
 * opened one in the other by counted name, each asked whether it is a link, then Orvandel opened
 * as itself below shell. */
static void look_at_copy(const wchar_t *hive, const wchar_t *class, REGSAM access)
{
    const wchar_t *names[] = {L"\\Registry\\User", hive, class, L"shell"};
    HANDLE parent = NULL;
    for (unsigned i = 0; i < 4; ++i) {
        USHORT bytes = (USHORT)(wcslen(names[i]) * sizeof(wchar_t));
        UNICODE_STRING text = {bytes, bytes, (wchar_t *)names[i]};
        OBJECT_ATTRIBUTES object = {sizeof object, parent, &text, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK, NULL, NULL};
        HANDLE next = NULL;
        start();
        NTSTATUS status = NtOpenKey(&next, KEY_QUERY_VALUE, &object);
        stop(i == 0 ? OPEN_USERS : OPEN_KEY);
        if (status != 0)
            die("a staged hive's key could not be opened", status);
        start();
        LONG link = RegQueryValueExW((HKEY)next, L"SymbolicLinkValue", NULL, NULL, NULL, NULL);
        stop(LINK_VALUE);
        if (link != ERROR_FILE_NOT_FOUND)
            die("a staged hive's key answered otherwise than no link", link);
        if (parent)
            close_key((HKEY)parent);
        parent = next;
    }
    HKEY target;
    start();
    LONG status = RegOpenKeyExA((HKEY)parent, "Orvandel", REG_OPTION_OPEN_LINK, access, &target);
    stop(OPEN_TARGET);
    if (status != ERROR_FILE_NOT_FOUND)
        die("a staged hive holds Orvandel, or the look failed", status);
    close_key((HKEY)parent);
}

static void walk_hives(void)
{
    enum { most = 8192 };
    static wchar_t listed[most][256];
    unsigned count = 0;
    for (DWORD index = 0;; ++index) {
        DWORD chars = 256;
        if (count == most)
            die("HKEY_USERS lists more classes hives than the probe takes", most);
        start();
        LONG status = RegEnumKeyExW(HKEY_USERS, index, listed[count], &chars, NULL, NULL, NULL, NULL);
        stop(LIST_HIVE);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != 0)
            die("cannot list HKEY_USERS", status);
        count += chars > 8 && wcscmp(listed[count] + chars - 8, L"_Classes") == 0;
    }
    if (round_at == first_measured)
        hives = count;
    /* Each key in every hive before the next key; the removal, then the last look. */
    for (unsigned pass = 0; pass < 2; ++pass)
        for (unsigned key = 0; key < 2; ++key)
            for (unsigned i = 0; i < count; ++i)
                look_at_copy(listed[i], key == 0 ? L"*" : L"Folder",
                             pass == 0 ? KEY_ENUMERATE_SUB_KEYS | DELETE : KEY_ENUMERATE_SUB_KEYS);
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* The median (or the best) over the rounds of the ms spent in kinds FIRST to LAST. */
static double over_rounds(int first, int last, int rounds, int best)
{
    double v[MAX_ROUNDS] = {0};
    for (int r = 0; r < rounds; ++r)
        for (int k = first; k <= last; ++k)
            v[r] += spent[first_measured + r][k];
    qsort(v, rounds, sizeof v[0], by_value);
    return best ? v[0] : rounds % 2 ? v[rounds / 2] : (v[rounds / 2 - 1] + v[rounds / 2]) / 2;
}

int wmain(int argc, wchar_t **argv)
{
    int rounds = argc > 1 ? _wtoi(argv[1]) : 5;
    first_measured = argc > 2 ? _wtoi(argv[2]) : 1;
    if (rounds < 1 || first_measured < 0 || rounds + first_measured > MAX_ROUNDS)
        die("rounds and warm-up rounds: 64 in all at most", rounds + first_measured);
    QueryPerformanceFrequency(&frequency);
    for (round_at = 0; round_at < first_measured + rounds; ++round_at) {
        walk_profiles();
        walk_hives();
    }
    printf("%u profiles listed, %u classes hives listed; %d rounds after %d warm-up, medians\n\n", profiles, hives,
           rounds, first_measured);
    printf("| Call | Calls per round | ms per round | µs per call | µs per call, best round |\n"
           "|---|---:|---:|---:|---:|\n");
    for (int k = 0; k < KINDS; ++k) {
        double ms = over_rounds(k, k, rounds, 0), best = over_rounds(k, k, rounds, 1);
        unsigned n = calls[k] ? calls[k] : 1;
        printf("| %s | %u | %.2f | %.1f | %.1f |\n", label[k], calls[k], ms, ms * 1000.0 / n, best * 1000.0 / n);
    }
    double walk = over_rounds(LIST_PROFILE, CLOSE_FILE, rounds, 0), look = over_rounds(LIST_HIVE, CLOSE_KEY, rounds, 0);
    printf("\nAll profile calls: %.1f ms a round, %.1f µs per profile.\n", walk, walk * 1000.0 / profiles);
    if (hives)
        printf("All hive calls: %.1f ms a round, %.1f µs per hive.\n", look, look * 1000.0 / hives);
    return 0;
}
