#!/usr/bin/env python3
"""The removal tool end to end under Wine: one row of SCENARIOS per case.

Each row stages a fresh folder (the tool, the eight files it removes, one unrelated file, one
subfolder) and fresh registry keys, then runs the tool once or more. Every run answers the
confirmation with real key presses or clicks on the X display, waits for the windows it expects,
reads them back through the inspector helper, and afterwards checks the exit code, what is left
in the folder and what is left in the registry.

    scenarios.py --list                                   row names for CTest
    scenarios.py --only NAME --exe uninstall.exe --tools DIR [--work DIR]
    scenarios.py --answer-yes --tools DIR [--screenshots DIR]
        (the demo: answer a running tool's box with Return, close its window with the button)

Needs the environment of `prefix.sh up` (display, prefix, keeper). Exit 77: the tool is not built.
WINE_TEST_ARCH=win64 runs the rows in the 64-bit prefix (build/wine64), where the 32-bit tool runs
under WOW64; --list marks the rows that run there too ("both") and only there ("win64").
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, replace
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
ARCH = os.environ.get("WINE_TEST_ARCH", "win32")
STATE = Path(os.environ.get("WINE_TEST_STATE", ROOT / "build" / ("wine64" if ARCH == "win64" else "wine")))
# Where a 32-bit program's installer puts it: a 32-bit system's one Program Files, under WOW64 the (x86) one.
PROGRAM_FILES_32 = "Program Files (x86)" if ARCH == "win64" else "Program Files"
NATIVE_BITS = 64 if ARCH == "win64" else 32  # the prefix's own regedit
WINE_RUN = HERE / "wine-run"
PREFIX_SH = HERE / "prefix.sh"

# What the tool removes, in its order (the tests' own list): the files in its folder, then the keys.
LISTED = [line.split(" ", 1) for line in (HERE.parent / "targets.txt").read_text().splitlines() if line[:1] != "#"]
TARGETS = tuple(name for kind, name in LISTED if kind == "file")
UNRELATED_FILE = "readme-keep.txt"
SUBFOLDER = "data"

CONFIRM_TITLE = "确认御载"
CONFIRM_TEXT = ("你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，"
                "想先做好备份的话，请选否。")
# The error report's box is titled with the product name from the version header.
ERROR_TITLE = re.search(r'#define UNINSTALL_PRODUCT_NAME "([^"]+)"',
                        (ROOT / "src" / "resources" / "version.h").read_text(encoding="utf-8")).group(1)
ERROR_HEADING = "运行时错误"
DONE_TITLE = "御载"
# The system's dialog class, which assistive technology reads as a dialog; the title tells it from a box.
DONE_CLASS = "#32770"
DONE_LABEL = "已经成功御载！"
DONE_BUTTON = "确定"
IDOK, IDYES, IDNO = 1, 6, 7
BS_DEFPUSHBUTTON, SS_ICON = 0x1, 0x3

# Designed at 96 DPI: the client area's position on the screen and its size, then the label and the
# button as x, y, width, height.
CLIENT_AT_96 = (276, 199)
CLIENT_96 = (264, 111)
LABEL_96 = (64, 24, 145, 33)
BUTTON_96 = (88, 72, 65, 25)

ERROR_NAMES = {58: "文件已存在", 70: "权限被拒绝", 75: "路径/文件访问错误", 76: "路径未找到"}
REFUSED = 681  # the system code of a name that leads out of the tool's folder

# Registry keys the tool removes, as seen through HKCR, and where each is seeded.
CLASSES = "HKEY_CLASSES_ROOT\\"
SHELL_KEYS = tuple(key.removeprefix(CLASSES) for kind, key in LISTED if kind == "key" and key.startswith(CLASSES))
(MACHINE_KEY,) = (key for kind, key in LISTED if kind == "key" and not key.startswith(CLASSES))
# Siblings that must survive: a tool deleting too much (the whole shell key) shows here.
BYSTANDER_KEYS = (r"HKEY_CLASSES_ROOT\*\shell\Bystander", r"HKEY_LOCAL_MACHINE\Software\Bystander")
# Other users' profiles a row stages, directory accounts' SIDs: the registry lists names in order, so
# both come before the prefix user's (S-1-5-21-0-0-0-1000), whose mirror then shows that the run went on.
OTHER_SID = "S-1-12-1-7-7-7-1001"
THIRD_SID = "S-1-12-1-7-7-7-1002"

WINDOW_TIMEOUT = 30.0
EXIT_TIMEOUT = 30.0


@dataclass(frozen=True)
class Run:
    """One start of the tool and what must come of it."""
    answer: str = "click-yes"        # click-yes | return | click-no
    finish: str | None = "click"     # click | return | escape | close-box; None: never appears
    exit_code: int = 0
    left: tuple[str, ...] | None = ()  # targets still in the folder afterwards; None: either way
    keys_left: bool | None = False  # None: not looked at (a key something keeps making)
    # During this run: ("hold" | "hold-shared" | "hold-pipe" | "read-only" | "run" | "run-short" | "load" |
    # "recreate" | "keep-key", target); "hold-shared" holds it with delete sharing, "hold-pipe" holds it
    # and lists a named pipe it serves as its program's path (the pipe must never be opened), "run"
    # starts a program as the target ("run-short" through its folder's 8.3 short name), "load" has a
    # program load the target as a module, "recreate" makes the file again whenever it is gone (holding the next target until it has),
    # "keep-key" the key HKLM\target; "hold-namesake" holds it while a program of its name runs
    # from another folder.
    obstacle: tuple[str, str] | None = None
    # Error box: (error number, system error, file it names), or several such, listed in that order.
    error: tuple[int, int, str] | tuple[tuple[int, int, str], ...] | None = None
    # The advice below the report (one for each item when several); {pid} stands for the obstacle's process id.
    advice: str | tuple[str | None, ...] | None = None
    # Names of MIRRORED left in the folder's VirtualStore mirror afterwards, for a row that stages one;
    # None: either way (the profiles' order is the system's).
    mirror_left: tuple[str, ...] | None = ()
    # A click (WM_COMMAND 1), the close messages and the DPI messages posted to the tool's hidden window
    # while the confirmation asks and while a report shows: they must change nothing.
    stray_click: bool = False
    # What an attacker does: "mirror-link-out" makes the mirror's sarnoth.txt a link to a file outside;
    # "mirror-folder-link-out" puts the mirror folder outside and a link to it in its place;
    # "link-out" makes a target a link to a file outside the folder before
    # the run, "link-down" one to the file of that name in the subfolder; "replace-folder" renames
    # the folder and puts a link to another in its place while the confirmation box is up (from the
    # Unix side, which Wine's share modes do not stop).
    attack: str | None = None


@dataclass(frozen=True)
class Scenario:
    name: str
    runs: tuple[Run, ...]
    seed: str = "machine"          # machine: keys through HKCR; user+machine: a copy in each hive
    dpi: int = 96
    lang: str = "zh_CN.UTF-8"
    folder: str = "app"
    serial: bool = False           # restarts the prefix's Wine processes (DPI): nothing else may run
    links: tuple[tuple[str, str], ...] = ()  # registry links planted after seeding: (HKLM\path, target)
    together: int = 0              # rounds of two copies started at once and answered Yes at once
    subkeys: tuple[str, ...] = ()  # more keys seeded below the targets, by full path
    # Keys whose counted name holds a NUL, each with a subkey, planted below (HKLM|HKCU, parent).
    nul_keys: tuple[tuple[str, str], ...] = ()
    # A VirtualStore mirror of the folder, staged with MIRRORED and one file of its own:
    # "program-files" puts the folder in the prefix's Program Files for 32-bit programs, where Windows
    # virtualises a legacy program's writes; "program-files-64" in the 64-bit one (C:\Program Files
    # under WOW64); "elsewhere" stages a mirror for the usual folder anyway; "program-files-x" puts
    # the folder in a look-alike, C:\Program FilesX; "windows" in the Windows folder.
    mirror: str | None = None
    # Another user, staged by the row: a ProfileList entry (its folder stored with %SystemDrive%) and
    # their loaded classes hive (keys below HKEY_USERS\<SID>_Classes, with a sibling and their own hive
    # beside it). "mirror" stages their VirtualStore mirror too; "store-link-out" makes their
    # VirtualStore folder a link to an outside folder of that name holding the same path, "local-link-out"
    # their AppData\Local; "file-in-the-way" puts a file where their mirror folder would be and lists a
    # third profile after theirs, with a mirror; "shell-link-out" is "store-link-out" with their classes
    # hive's *\shell a registry link to a machine key holding the same keys; "profile-disk" puts their
    # profile's folder where another drive's root is mounted (a profile disk), with their mirror on it;
    # "past-max-path" stores their profile's folder longer than MAX_PATH, and stages no folder.
    other_user: str | None = None
    # How the tool is started: "path", by its path as Wine maps it; "short", by its 8.3 short path as
    # Wine gives it. (Started by the \\?\ form, Wine's loader gives the tool its path without the
    # prefix, so that start is shown on the host.)
    start: str = "path"
    # --- what only the 64-bit prefix (WOW64) shows ---
    win64_only: bool = False
    # The regedit that seeds the keys, of 32 or 64 bits; with both_views every target and sibling is
    # looked at in both registry views (reg's /reg:32 and /reg:64).
    regedit: int = 32
    both_views: bool = False
    # Orvandel's Folder verb run on the folder through the shell of this many bits (Shell.Application's
    # ShellExecute in wscript, as a context menu runs it): it runs before the removal and not after.
    shell: int = 0
    # Libraries the tool binds late: a +module trace of its run must show each asked for in the
    # system folder and mapped from SysWOW64.
    late_bound: tuple[str, ...] = ()


# The advice below a report, by cause. Wine does not say which processes have a file open, so a
# program holding a file open is not named here; Windows names it as a running one is. A key refused to the user
# (the advice to run as administrator) cannot be staged: as root, Wine enforces no deny entry on
# a key. The host tests show both choices.
RERUN = "请将其关闭，然后再次运行本工具，即可完成卸载。"
ADVICE_HELD = "此文件正被其他程序使用。" + RERUN
ADVICE_RUNNING = "Orvandel.exe（进程 {pid}）正在使用此文件。" + RERUN
ADVICE_LOADED = "holder.exe（进程 {pid}）正在使用此文件。" + RERUN
ADVICE_READ_ONLY = "此文件为只读文件。请取消其只读属性，然后再次运行本工具。"
ADVICE_OUTSIDE = ("此名称指向别处，那里的任何内容都未被改动。"
                  "请手动检查该链接或文件夹，必要时将其删除，然后再次运行本工具。")


ADVICE_BACK = "它在删除后又出现了：有程序仍在使用或不断重新创建它。请关闭本软件（以及它启动的程序），然后再次运行本工具，即可完成卸载。"
# What the application writes beside itself, and so what Windows keeps in its mirror.
MIRRORED = ("tolvane.dat", "marrowin.dat", "sarnoth.txt", "TIMBRAL.txt")
MIRROR_OWN_FILE = "settings-keep.ini"


def stopped(code: int, system_error: int, target: str, advice: str | None = None, **more) -> Run:
    """A run answered with Return that ends in the report of CODE for TARGET; a file stops the run,
    so it and the targets after it stay. MORE sets the rest, or overrides."""
    left = TARGETS[TARGETS.index(target):] if target in TARGETS else ()
    return Run(**{"answer": "return", "finish": None, "exit_code": code, "left": left,
                  "error": (code, system_error, target), "advice": advice, **more})


def held(target: str) -> Run:
    """A run stopped at TARGET, held open by another process."""
    return stopped(70, 32, target, ADVICE_HELD, obstacle=("hold", target))


SCENARIOS = (
    Scenario("yes_removes_everything", (Run(),)),
    Scenario("no_changes_nothing", (Run(answer="click-no", finish=None, exit_code=1, left=TARGETS, keys_left=True),)),
    # Stops at the held file with the error box; once it is released a second run finishes.
    Scenario("held_file_stops_then_rerun_finishes", (held("Orvandel.exe"), Run(answer="return"))),
    Scenario("read_only_file_stops", (
        stopped(70, 5, "tolvane.dat", ADVICE_READ_ONLY, obstacle=("read-only", "tolvane.dat")),
        Run())),
    # The commonest failure: the application itself still running. Named with its process id.
    Scenario("running_program_is_named", (
        stopped(70, 5, "Orvandel.exe", ADVICE_RUNNING, obstacle=("run", "Orvandel.exe")),
        Run())),
    # A control of the application loaded by a program, as the application loads its .ocx files.
    Scenario("program_with_the_file_loaded_is_named", (
        stopped(70, 5, "Kembrasil.ocx", ADVICE_LOADED, obstacle=("load", "Kembrasil.ocx")),
        Run())),
    # The application's name running from another folder while another program holds the target:
    # that program is not the one using it.
    Scenario("namesake_elsewhere_is_not_named", (
        stopped(70, 32, "Orvandel.exe", ADVICE_HELD, obstacle=("hold-namesake", "Orvandel.exe")),)),
    # Started through its folder's 8.3 short name, the application is named all the same.
    Scenario("program_started_by_short_path_is_named", (
        stopped(70, 5, "Orvandel.exe", ADVICE_RUNNING, obstacle=("run-short", "Orvandel.exe")),),
        folder="OrvandelApplication"),
    # A program holding a target that lists a pipe it serves as its module path: the advice names
    # no one (Wine cannot tell who holds a file), and the pipe is never opened.
    Scenario("module_path_naming_a_pipe_is_never_opened", (
        stopped(70, 32, "sarnoth.txt", ADVICE_HELD, obstacle=("hold-pipe", "sarnoth.txt")),)),
    # Another program has it open but lets deletion through: removed, and gone once it lets go.
    Scenario("file_held_with_delete_sharing_completes", (Run(obstacle=("hold-shared", "Orvandel.exe")),)),
    # A per-user copy in HKCU\Software\Classes over the machine one: both gone, each looked for
    # where it lives (Wine 8 does not show HKCU\Software\Classes through HKCR), and through HKCR.
    Scenario("user_and_machine_class_keys", (Run(),), seed="user+machine"),
    # Something makes a target again at once while the tool runs: reported, never the window.
    # Made again at once, and held up no matter how the machine schedules its maker: the next target
    # is kept in use until the first is back. Seen right after its deletion or at the last look.
    Scenario("file_recreated_during_the_run", (
        stopped(58, 183, "Kembrasil.ocx", ADVICE_BACK, obstacle=("recreate", "Kembrasil.ocx"), left=None),)),
    Scenario("key_recreated_during_the_run", (
        # Found back in the walk (files untouched) or at the last look (files gone): either way reported.
        stopped(58, 183, MACHINE_KEY, ADVICE_BACK, obstacle=("keep-key", "password"), left=None, keys_left=None),)),
    # The user's VirtualStore mirror of a folder under Program Files goes too, the mirror's own
    # file and the mirror folder stay; a folder elsewhere has no mirror, and one staged is untouched;
    # a mirror's name that leads out is refused like the folder's.
    Scenario("mirror_under_program_files_goes_too", (Run(),), mirror="program-files"),
    Scenario("mirror_of_a_folder_elsewhere_is_untouched", (Run(mirror_left=MIRRORED),), mirror="elsewhere"),
    Scenario("mirror_of_a_program_files_look_alike_is_untouched", (Run(mirror_left=MIRRORED),),
             mirror="program-files-x"),
    # Started by another name for its folder, the tool finds the mirror by where the folder lies.
    Scenario("mirror_goes_when_started_by_short_path", (Run(),), mirror="program-files", start="short"),
    # Run as administrator, as Wine runs every program, the prefix user's mirror is reached through the
    # profile list like anyone's: what is refused there stays, reported, and the rest still goes.
    Scenario("mirror_name_linking_outside_is_refused", (
        stopped(75, REFUSED, "mirror/sarnoth.txt", ADVICE_OUTSIDE, attack="mirror-link-out",
                mirror_left=MIRRORED[2:3]),), mirror="program-files"),
    # The mirror folder itself a link to a folder outside: refused, naming the mirror folder.
    Scenario("mirror_folder_linking_outside_is_refused", (
        stopped(75, REFUSED, "mirror/", ADVICE_OUTSIDE, attack="mirror-folder-link-out", mirror_left=MIRRORED),),
        mirror="program-files"),
    # Run as administrator (as Wine runs every program), another user's entries go too: their class keys
    # from their loaded classes hive, siblings and their own hive kept, and their mirror below the
    # profile the machine lists for them; a user's VirtualStore folder that leads to another folder of
    # that name is refused and what lies there kept.
    Scenario("another_users_entries_go", (Run(),), mirror="program-files", other_user="mirror"),
    # Their profile a disk of its own, mounted at their profile's folder (a drive's root there): the
    # walk below it is not taken for a link.
    Scenario("a_users_profile_disk_is_their_profile", (Run(),), mirror="program-files", other_user="profile-disk"),
    # A profile stored longer than MAX_PATH names no folder a legacy program reaches: the profiles
    # listed after it (the prefix user's) still have their mirrors emptied.
    Scenario("a_users_profile_past_max_path_is_passed_over", (Run(),), mirror="program-files",
             other_user="past-max-path"),
    # Each of these stays, reported at the end after everything else went.
    Scenario("a_users_virtualstore_linking_outside_is_refused", (
        stopped(75, REFUSED, "other-mirror/", ADVICE_OUTSIDE),), mirror="program-files", other_user="store-link-out"),
    Scenario("a_users_local_app_data_linking_outside_is_refused", (
        stopped(75, REFUSED, "other-mirror/", ADVICE_OUTSIDE),), mirror="program-files", other_user="local-link-out"),
    # A file where the folder would be does not stop the next profile's mirror.
    Scenario("a_users_mirror_folder_that_is_a_file_stays", (stopped(75, 267, "other-mirror/"),),
             mirror="program-files", other_user="file-in-the-way"),
    # Their class key and their mirror both refused: one box lists the two, keys first.
    Scenario("a_users_shell_key_linking_to_the_machine_is_refused", (
        stopped(75, REFUSED, "other-mirror/", (ADVICE_OUTSIDE, ADVICE_OUTSIDE), error=(
            (75, REFUSED, rf"HKEY_USERS\{OTHER_SID}_Classes\{SHELL_KEYS[0]}"), (75, REFUSED, "other-mirror/"))),),
        mirror="program-files", other_user="shell-link-out"),
    Scenario("mirror_under_the_windows_folder_goes_too", (Run(),), mirror="windows"),
    # A stray click while the box asks and while a report shows changes nothing.
    Scenario("stray_click_changes_nothing", (
        replace(held("Orvandel.exe"), stray_click=True),
        Run(stray_click=True))),
    # --- the completion window ---
    Scenario("window_closed_by_close_box", (Run(finish="close-box"),)),
    Scenario("window_closed_by_return", (Run(finish="return"),)),
    Scenario("window_closed_by_escape", (Run(finish="escape"),)),
    Scenario("window_layout_144_dpi", (Run(),), dpi=144, serial=True),
    # ANSI code page 1252 and a folder name it cannot encode: texts and paths must stay Unicode.
    Scenario("english_locale_chinese_folder", (Run(), ), lang="en_US.UTF-8", folder="御载 测试 目录"),
    Scenario("english_locale_held_file_names_path", (held("sarnoth.txt"),), lang="en_US.UTF-8",
             folder="御载 测试 目录"),
    # Subkeys named in characters code page 1252 lacks go with their trees.
    Scenario("subkeys_beyond_the_ansi_code_page", (Run(),), lang="en_US.UTF-8", subkeys=(
        r"HKEY_LOCAL_MACHINE\password\御载设置\数据", r"HKEY_LOCAL_MACHINE\password\Настройки",
        r"HKEY_CLASSES_ROOT\*\shell\Orvandel\命令\한국어")),
    # Keys named with a NUL, which no NUL-terminated call can open, below both kinds of target.
    Scenario("subkeys_named_with_a_nul", (Run(),), seed="user+machine", nul_keys=(
        ("HKLM", "password"), ("HKCU", r"Software\Classes\*\shell\Orvandel"))),
    # The folder taken as written: a last name ending in a space, and a path past MAX_PATH.
    Scenario("folder_name_ending_in_a_space", (Run(),), folder="app "),
    Scenario("folder_path_over_300_characters", (Run(),), folder="/".join(["nested-folder-" + "x" * 50] * 6)),
    # --- an elevated deleter that cannot be turned against anything else ---
    # Stops at the first file with the refusal; the other folder keeps all eight.
    Scenario("folder_replaced_by_link_while_asking", (
        stopped(75, REFUSED, TARGETS[0], ADVICE_OUTSIDE, attack="replace-folder"),)),
    Scenario("target_linking_outside_is_refused", (
        stopped(75, REFUSED, TARGETS[2], ADVICE_OUTSIDE, attack="link-out"),)),
    # Wine resolves the link to a file of the same name one level down: the folder part gives it away.
    Scenario("target_linking_into_the_subfolder_is_refused", (
        stopped(75, REFUSED, TARGETS[0], ADVICE_OUTSIDE, attack="link-down"),)),
    # Below the targets: a link to the shell key that holds a bystander, a loop, a dangling link,
    # a link to a key outside. Each goes as a link; the bystanders' keys survive.
    Scenario("registry_links_below_targets", (Run(),), links=(
        (r"password\shell", r"\Registry\Machine\Software\Classes\*\shell"),
        (r"password\loop", r"\Registry\Machine\password"),
        (r"password\command\dangling", r"\Registry\Machine\Nothing\Here"),
        (r"Software\Classes\*\shell\Orvandel\x", r"\Registry\Machine\Software\Bystander"))),
    Scenario("registry_target_is_a_link", (Run(),),
             links=((r"password", r"\Registry\Machine\Software\Bystander"),)),
    Scenario("two_copies_answered_at_once", (), together=3),
    # --- the 64-bit prefix only: the 32-bit tool under WOW64 ---
    # Keys written by a 32-bit and by a 64-bit program, the user's and the machine's copies of the
    # class keys, are the same keys in both views (Software\Classes is shared, HKLM\password lies
    # outside the redirected Software), and go from both; the sibling under HKLM\Software lives in
    # its writer's view and stays there.
    Scenario("keys_written_by_32_bit_regedit_go_from_both_views", (Run(),), seed="user+machine",
             win64_only=True, both_views=True),
    Scenario("keys_written_by_64_bit_regedit_go_from_both_views", (Run(),), seed="user+machine",
             win64_only=True, both_views=True, regedit=64),
    # The mirror of a folder in the 64-bit Program Files, which the 32-bit tool's own view names
    # C:\Program Files (x86). Fails until the tool reads the other view's ProgramFilesDir.
    Scenario("mirror_under_the_64_bit_program_files_goes_too", (Run(),), win64_only=True, mirror="program-files-64"),
    # What the tool loads late (advapi32, and userenv for a profile stored with a variable) is the 32-bit
    # system's.
    Scenario("late_bound_libraries_come_from_syswow64", (Run(),), win64_only=True, mirror="program-files",
             other_user="mirror", late_bound=("advapi32.dll", "userenv.dll")),
    # 64-bit Explorer's context menu runs verbs through the 64-bit shell: after the removal it has none.
    Scenario("folder_verb_gone_from_the_64_bit_shell", (Run(),), win64_only=True, shell=64),
)


# The rows where the architecture matters run in the 64-bit prefix too: the registry's views and the
# native key walk under WOW64, Program Files and the mirror, the system folder and the loader (the
# programs named from their images and their module lists). The Windows folder, the code pages and
# HKLM\password have one layout in both; the class keys of both hives are shown there from both views.
BOTH_PREFIXES = (
    "yes_removes_everything", "subkeys_named_with_a_nul", "registry_links_below_targets", "registry_target_is_a_link",
    "mirror_under_program_files_goes_too", "mirror_of_a_folder_elsewhere_is_untouched",
    "mirror_name_linking_outside_is_refused", "mirror_folder_linking_outside_is_refused",
    "mirror_of_a_program_files_look_alike_is_untouched", "mirror_goes_when_started_by_short_path",
    "running_program_is_named", "program_with_the_file_loaded_is_named", "program_started_by_short_path_is_named",
    "module_path_naming_a_pipe_is_never_opened",
    "another_users_entries_go", "a_users_virtualstore_linking_outside_is_refused",
    "a_users_local_app_data_linking_outside_is_refused", "a_users_mirror_folder_that_is_a_file_stays",
    "a_users_shell_key_linking_to_the_machine_is_refused", "a_users_profile_disk_is_their_profile",
)


def runs_in(scenario: Scenario, arch: str) -> bool:
    if arch == "win64":
        return scenario.win64_only or scenario.name in BOTH_PREFIXES
    return not scenario.win64_only


class Failure(Exception):
    pass


def check(condition: bool, message: str) -> None:
    if not condition:
        raise Failure(message)


def wait_until(found, failure: str, timeout: float = WINDOW_TIMEOUT, step: float = 0.03):
    """What FOUND gives once it gives something; Failure(FAILURE) after TIMEOUT seconds."""
    deadline = time.monotonic() + timeout
    while not (result := found()):
        check(time.monotonic() < deadline, failure)
        time.sleep(step)
    return result


def windows_path(path: Path) -> str:
    """The same file as the tool sees it: through C: inside the prefix's drive_c, else Wine's Z: drive."""
    drive_c = STATE / "prefix" / "drive_c"
    if path.is_relative_to(drive_c):
        return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\")
    return "Z:" + str(path).replace("/", "\\")


def mirror_of(folder: Path) -> Path:
    """Where Windows would keep a legacy program's writes into FOLDER: the prefix user's VirtualStore."""
    users = STATE / "prefix" / "drive_c" / "users"
    # The prefix's own user: neither Public nor a profile a row staged for another user.
    local = next(p for p in sorted(users.iterdir()) if p.name != "Public" and not p.name.startswith("other "))
    local = local / "AppData" / "Local"
    return local / "VirtualStore" / Path(*windows_path(folder)[3:].split("\\"))


def started_as(wine: Wine, program: Path, how: str) -> str:
    """The name the tool is started by: its path or its 8.3 short path."""
    if how == "short":
        # Wine's cmd takes a quoted path with spaces only from a batch file.
        batch = wine.work / "short.bat"
        batch.write_text(f'@for %%I in ("{windows_path(program)}") do @echo %%~sI\r\n')
        found = wine.run("cmd", "/c", windows_path(batch)).stdout.decode().strip()
        check("~" in found, f"no short name: {found!r}")
        return found
    return str(program)


def stage_mirror(mirror: Path) -> Path:
    shutil.rmtree(mirror, ignore_errors=True)
    mirror.mkdir(parents=True)
    for name in MIRRORED + (MIRROR_OWN_FILE,):
        (mirror / name).write_text("written beside the application\n")
    return mirror


# The other user's profile disk, and the drive letter that names its root.
PROFILE_DISK = STATE / "profile-disk"
PROFILE_DRIVE = STATE / "prefix" / "dosdevices" / "u:"
PROFILE_LIST = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
# The other user's keys: what the tool removes from their classes hive, and what must stay there and
# in their own hive beside it.
OTHER_CLASS_KEYS = tuple(rf"HKEY_USERS\{OTHER_SID}_Classes\{key}" for key in SHELL_KEYS)
OTHER_KEPT_KEYS = (rf"HKEY_USERS\{OTHER_SID}_Classes\*\shell\Bystander",
                   rf"HKEY_USERS\{OTHER_SID}\Software\Classes\{SHELL_KEYS[0]}")
# Their *\shell made a link to another program's key, which has one view in both prefixes.
OTHER_SHELL_LINK = (rf"HKEY_USERS\{OTHER_SID}_Classes\*\shell", r"\Registry\Machine\System\Velmora\shell")
LINKED_MACHINE_KEY = r"HKEY_LOCAL_MACHINE\System\Velmora"


def other_store(folder: Path, third: bool = False) -> Path:
    """The staged other user's (or the third profile's) VirtualStore folder."""
    profile = f"other {folder.name}" + (" third" if third else "")
    return STATE / "prefix" / "drive_c" / "users" / profile / "AppData" / "Local" / "VirtualStore"


def other_mirror_of(folder: Path, third: bool = False) -> Path:
    return other_store(folder, third) / Path(*windows_path(folder)[3:].split("\\"))


def stage_other_user(wine: Wine, how: str, folder: Path) -> None:
    """A second profile in ProfileList, stored as REG_EXPAND_SZ with %SystemDrive%, and their loaded
    classes hive; HOW: "mirror" stages their mirror, "store-link-out" ("local-link-out") makes their
    VirtualStore (AppData\\Local) folder a link to an outside folder of that name, holding the same
    path and files; see Scenario.other_user for the rest."""
    remove_other_user(wine, folder)
    profiles = [(OTHER_SID, other_store(folder))]
    if how in ("store-link-out", "local-link-out", "shell-link-out"):
        linked = other_store(folder).parent if how == "local-link-out" else other_store(folder)
        outside = wine.work / "outside" / linked.name
        shutil.rmtree(outside.parent, ignore_errors=True)
        stage_mirror(outside / other_mirror_of(folder).relative_to(linked))
        linked.parent.mkdir(parents=True)
        linked.symlink_to(outside, target_is_directory=True)
    elif how == "profile-disk":
        # As Wine shows a volume mounted at a folder: the folder a link to what a drive letter names.
        PROFILE_DISK.mkdir(parents=True)
        PROFILE_DRIVE.symlink_to(PROFILE_DISK, target_is_directory=True)
        other_store(folder).parents[2].symlink_to(PROFILE_DISK, target_is_directory=True)
        stage_mirror(other_mirror_of(folder))
    elif how == "file-in-the-way":
        other_mirror_of(folder).parent.mkdir(parents=True)
        other_mirror_of(folder).write_text("not a folder\n")
        stage_mirror(other_mirror_of(folder, third=True))
        profiles.append((THIRD_SID, other_store(folder, third=True)))
    elif how != "past-max-path":
        stage_mirror(other_mirror_of(folder))
    lines = []
    for sid, store in profiles:
        stored = "%SystemDrive%\\users\\" + store.parents[2].name + ("-" * 260 if how == "past-max-path" else "")
        data = ",".join(f"{b:02x}" for b in (stored + "\0").encode("utf-16-le"))
        lines += [f"[{PROFILE_LIST}\\{sid}]", f'"ProfileImagePath"=hex(2):{data}', ""]
    keys = OTHER_CLASS_KEYS + OTHER_KEPT_KEYS
    # Behind the link: the same two keys under the other program's shell key.
    linked_keys = (rf"{LINKED_MACHINE_KEY}\shell\Orvandel", rf"{LINKED_MACHINE_KEY}\shell\Bystander") \
        if how == "shell-link-out" else ()
    wine.import_registry(lines + [f'[{key}\\command]\n@="x"\n' for key in keys + linked_keys], NATIVE_BITS)
    if how == "shell-link-out":
        wine.reglink(*OTHER_SHELL_LINK)
    check(all(wine.registry_has(key) for key in keys), "seeding the other user's keys failed")


def remove_other_user(wine: Wine, folder: Path) -> None:
    # The link first: regedit would delete what it leads to and keep it.
    wine.tool("reglink", "--unlink", OTHER_SHELL_LINK[0])
    keys = (f"{PROFILE_LIST}\\{OTHER_SID}", f"{PROFILE_LIST}\\{THIRD_SID}", rf"HKEY_USERS\{OTHER_SID}_Classes",
            rf"HKEY_USERS\{OTHER_SID}", LINKED_MACHINE_KEY)
    wine.import_registry([f"[-{key}]\n" for key in keys], NATIVE_BITS)
    for third in (False, True):
        profile = other_store(folder, third).parents[2]
        if profile.is_symlink():
            profile.unlink()
        shutil.rmtree(profile, ignore_errors=True)
    PROFILE_DRIVE.unlink(missing_ok=True)
    shutil.rmtree(PROFILE_DISK, ignore_errors=True)


def check_other_user(wine: Wine, how: str, folder: Path) -> None:
    """Their two keys gone, the others kept (behind their *\\shell made a link, the machine's kept);
    their mirror emptied but for its own file, or, where a folder led outside, everything there kept;
    a file in the way kept, and the next profile's mirror emptied."""
    linked = how == "shell-link-out"
    for key in OTHER_CLASS_KEYS + OTHER_KEPT_KEYS:
        kept = key in OTHER_KEPT_KEYS or (linked and key.startswith(OTHER_SHELL_LINK[0] + "\\"))
        check(wine.registry_has(key) == kept, f"{key}: wrongly kept or removed")
    if linked:
        check(wine.registry_has(LINKED_MACHINE_KEY + r"\shell\Orvandel"), "the key behind their link was removed")
    if how == "past-max-path":
        return
    outside = how in ("store-link-out", "local-link-out", "shell-link-out")
    mirror = other_mirror_of(folder, third=how == "file-in-the-way")
    left = {p.name for p in (wine.work / "outside" if outside else mirror).rglob("*") if p.is_file()}
    expected = {MIRROR_OWN_FILE} | (set(MIRRORED) if outside else set())
    check(left == expected, f"left in the other user's mirror: {sorted(left)}, expected {sorted(expected)}")
    if how == "file-in-the-way":
        check(other_mirror_of(folder).is_file(), "the file in the way of their mirror was removed")


def scaled(values, dpi: int):
    # MulDiv rounding, as Windows scales dialog metrics.
    return tuple((v * dpi + 48) // 96 for v in values)


class Wine:
    """Runs programs in the test prefix through wine-run, on the suite's display."""

    def __init__(self, tools: Path, work: Path, lang: str = "zh_CN.UTF-8"):
        self.tools = tools
        self.work = work
        self.lang = lang
        display_file = STATE / "display"
        check(display_file.exists(), "no display recorded: run tests/wine/prefix.sh up first")
        self.display = display_file.read_text().strip()

    def env(self) -> dict:
        env = dict(os.environ)
        env["WINE_RUN_LANG"] = self.lang
        env["DISPLAY"] = self.display
        return env

    def run(self, *args: str, timeout: float = 60.0) -> subprocess.CompletedProcess:
        self.work.mkdir(parents=True, exist_ok=True)
        with open(self.work / "wine-run.out", "wb+") as out:
            result = subprocess.run([str(WINE_RUN), *args], stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, env=self.env(), timeout=timeout, cwd=self.work)
            out.seek(0)
            result.stdout = out.read()
        return result

    def start(self, name: str, *args: str, debug: str | None = None) -> subprocess.Popen:
        log = open(self.work / f"{name}.log", "wb")
        env = self.env()
        if debug:
            env["WINEDEBUG"] = debug
        process = subprocess.Popen([str(WINE_RUN), *args], stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, env=env, cwd=self.work,
                                   start_new_session=True)
        process.log_path = self.work / f"{name}.log"
        return process

    def tool(self, name: str, *args: str) -> subprocess.CompletedProcess:
        """Runs one of the test helpers (inspect, reglink, ...)."""
        return self.run(str(self.tools / f"{name}.exe"), *args)

    def reglink(self, *args: str) -> None:
        made = self.tool("reglink", *args)
        check(made.returncode == 0, f"reglink {' '.join(args)} failed: {made.returncode}")

    def inspect(self, *args: str) -> list[dict]:
        result = self.tool("inspect", *args)
        return [json.loads(line) for line in result.stdout.decode("utf-8").splitlines() if line.startswith("{")]

    def find_window(self, title: str | None = None, class_name: str | None = None,
                    timeout: float = WINDOW_TIMEOUT) -> dict:
        args = ["find", "--timeout", str(int(timeout * 1000))]
        if title:
            args += ["--title", title]
        if class_name:
            args += ["--class", class_name]
        found = self.inspect(*args)
        check(len(found) == 1, f"expected one window {title or class_name!r} within {timeout:.0f} s, found {len(found)}")
        return found[0]

    def registry_has(self, key: str, view: int | None = None) -> bool:
        """Whether KEY exists, in the registry view of VIEW bits (None: reg's own, the 32-bit one)."""
        result = self.run("reg", "query", key, *([f"/reg:{view}"] if view else []))
        return result.returncode == 0

    def import_registry(self, lines: list[str], bits: int = 32) -> None:
        """Imports LINES with the regedit of BITS bits (64: the 64-bit prefix's own)."""
        reg = self.work / "seed.reg"
        text = "\n".join(["Windows Registry Editor Version 5.00", ""] + lines)
        reg.write_bytes(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le"))
        result = self.run(*(["--64"] if bits == 64 else []), "regedit", "/S", windows_path(reg))
        check(result.returncode == 0, f"regedit failed: {result.stdout!r}")

    # --- the X side: real input, focus first ---

    def xdotool(self, *args: str) -> str:
        result = subprocess.run(["xdotool", *args], capture_output=True, text=True,
                                env=self.env(), timeout=10)
        return result.stdout.strip()

    def x_window(self, title: str) -> str:
        return wait_until(lambda: self.xdotool("search", "--onlyvisible", "--name", f"^{title}$").split(),
                          f"no X window named {title!r}")[0]

    def focus(self, title: str) -> None:
        window = self.x_window(title)

        def focused() -> bool:
            # Without a window manager keys go to the X focus; --window would be ignored.
            self.xdotool("windowfocus", window)
            return self.xdotool("getwindowfocus") == window
        wait_until(focused, f"could not give {title!r} the keyboard focus", timeout=5)

    def press(self, title: str, key: str) -> None:
        self.focus(title)
        self.xdotool("key", key)

    def click(self, title: str, control: dict) -> None:
        self.focus(title)
        left, top, right, bottom = control["screen"]
        # No --sync: it hangs when the pointer is already there.
        self.xdotool("mousemove", str((left + right) // 2), str((top + bottom) // 2))
        self.xdotool("click", "1")

    def click_close_box(self, title: str, window: dict) -> None:
        """Clicks the title bar's close button, which Wine draws itself without a window manager."""
        left, top, right, _ = window["rect"]
        border = window["client"][0] - left
        caption = window["client"][1] - top - border
        self.click(title, {"screen": [right - border - caption, top + border, right - border, top + border + caption]})

    def screenshot(self, title: str, path: Path) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", self.x_window(title), str(path)],
                       check=False, timeout=20, capture_output=True)

    def blue_pixels(self, rect) -> int:
        """Pixels of the label's rectangle (screen coordinates) drawn in a clearly blue colour."""
        raw = self.work / "screen.rgb"
        subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8", f"rgb:{raw}"],
                       check=True, timeout=20, capture_output=True)
        width = int(self.xdotool("getdisplaygeometry").split()[0])
        data = raw.read_bytes()
        left, top, right, bottom = rect
        count = 0
        for y in range(top, bottom):
            row = data[(y * width + left) * 3:(y * width + right) * 3]
            for x in range(0, len(row), 3):
                r, g, b = row[x], row[x + 1], row[x + 2]
                count += b > 150 and r < 90 and g < 90
        return count


class TitleWatch:
    """Polls the display for a window title while a run lasts: "never appeared" needs watching, not one look."""

    def __init__(self, wine: Wine, title: str):
        self.wine, self.title, self.seen = wine, title, False
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        while not self.stopping.is_set():
            # Visible only: the tool may create its window hidden before it asks.
            if self.wine.xdotool("search", "--onlyvisible", "--name", f"^{self.title}$"):
                self.seen = True
            time.sleep(0.03)

    def stop(self) -> bool:
        self.stopping.set()
        self.thread.join()
        return self.seen


# --- staging ---

def stage_folder(folder: Path, exe: Path) -> None:
    if folder.exists():
        for path in folder.rglob("*"):
            path.chmod(0o755 if path.is_dir() else 0o644)
        shutil.rmtree(folder)
    (folder / SUBFOLDER).mkdir(parents=True)
    shutil.copy2(exe, folder / exe.name)
    for name in TARGETS:
        (folder / name).write_bytes(f"{name}\n".encode())
    (folder / UNRELATED_FILE).write_text("not the tool's\n")
    (folder / SUBFOLDER / "Kembrasil.ocx").write_text("same name one level down: must stay\n")


def shell_key_roots(seed: str) -> list[str]:
    if seed == "machine":
        return [r"HKEY_CLASSES_ROOT"]
    return [r"HKEY_CURRENT_USER\Software\Classes", r"HKEY_LOCAL_MACHINE\Software\Classes"]


def seed_registry(wine: Wine, seed: str, folder: Path, regedit: int = 32, views=(None,)) -> list[str]:
    """Removes what earlier rows left, writes fresh keys with the regedit of REGEDIT bits, sees each in
    every view of VIEWS; returns the keys the tool must remove."""
    command = f'"{windows_path(folder)}\\Orvandel.exe" "%1"'.replace("\\", "\\\\").replace('"', '\\"')
    everywhere = [r"HKEY_CURRENT_USER\Software\Classes", r"HKEY_LOCAL_MACHINE\Software\Classes"]
    lines = []
    for root in everywhere:
        for key in SHELL_KEYS:
            lines += [f"[-{root}\\{key}]", ""]
    lines += [f"[-{MACHINE_KEY}]", ""]
    removed = []
    for root in shell_key_roots(seed):
        for key in SHELL_KEYS:
            lines += [f"[{root}\\{key}]", '@="Orvandel"', "", f"[{root}\\{key}\\command]", f'@="{command}"', ""]
            removed.append(f"{root}\\{key}")
    lines += [f"[{MACHINE_KEY}]", '"Data"="x"', "", f"[{MACHINE_KEY}\\command]", '@="x"', ""]
    removed.append(MACHINE_KEY)
    for key in BYSTANDER_KEYS:
        lines += [f"[{key}\\command]", '@="stays"', ""]
    wine.import_registry(lines, regedit)
    for key in removed:
        for view in views:
            check(wine.registry_has(key, view), f"seeding failed: {key} missing{f' in the {view}-bit view' if view else ''}")
    check_bystanders(wine, views, regedit)
    if seed == "machine":
        return removed
    return removed + [f"HKEY_CLASSES_ROOT\\{key}" for key in SHELL_KEYS]


# --- one run ---

class Obstacle:
    def __init__(self, wine: Wine, folder: Path, obstacle: tuple[str, str] | None):
        self.wine, self.obstacle, self.holder, self.pid, self.namesake = wine, obstacle, None, None, None
        if not obstacle:
            return
        kind, target = obstacle
        self.path = folder / target
        self.stop_file = wine.work / "holder.stop"
        if kind == "read-only":
            # What Wine's attrib +r does: clears the Unix write bits.
            self.path.chmod(0o444)
            return
        self.stop_file.unlink(missing_ok=True)
        held = self.path
        if kind in ("run", "run-short", "load"):
            # The holder's own image stands in for the application's program or control.
            shutil.copyfile(wine.tools / "holder.exe", self.path)
        if kind in ("run", "run-short"):
            # Started as the target; what it holds is elsewhere.
            held = wine.work / "unrelated.dat"
            held.write_text("not the tool's\n")
        extra = {"load": ["load"], "hold-shared": ["share-delete"], "hold-pipe": ["pipe"]}.get(kind, [])
        if kind == "recreate":
            extra = ["recreate", windows_path(folder / TARGETS[TARGETS.index(target) + 1])]
        program = str(self.path) if kind == "run" else str(wine.tools / "holder.exe")
        if kind == "hold-namesake":
            # The holder's image as a program of the target's name, in another folder.
            elsewhere = wine.work / "elsewhere"
            elsewhere.mkdir(exist_ok=True)
            shutil.copyfile(wine.tools / "holder.exe", elsewhere / target)
            (elsewhere / "unrelated.dat").write_text("not the tool's\n")
            self.namesake = wine.start("namesake", str(elsewhere / target), windows_path(elsewhere / "unrelated.dat"),
                                       windows_path(self.stop_file))
            self.wait_holding(self.namesake)
        if kind == "keep-key":
            self.holder = wine.start("holder", str(wine.tools / "reglink.exe"), "--keep", target,
                                     windows_path(self.stop_file))
            return
        if kind == "run-short":
            program = started_as(wine, self.path, "short")
        self.holder = wine.start("holder", program, windows_path(held), windows_path(self.stop_file), *extra)
        self.pid = self.wait_holding(self.holder)

    @staticmethod
    def wait_holding(holder: subprocess.Popen) -> int:
        def holding():
            check(holder.poll() is None, f"holder ended: {holder.log_path.read_bytes()!r}")
            return re.search(rb"holding (\d+)", holder.log_path.read_bytes())
        return int(wait_until(holding, "holder did not open the file").group(1))

    def release(self) -> None:
        if not self.obstacle:
            return
        if self.holder:
            self.stop_file.write_text("stop\n")
            for holder in filter(None, (self.holder, self.namesake)):
                try:
                    holder.wait(timeout=EXIT_TIMEOUT)
                except subprocess.TimeoutExpired:
                    os.killpg(holder.pid, 9)
                    holder.wait()
        elif self.path.exists():
            self.path.chmod(0o644)


def check_confirmation(box: dict) -> None:
    check(box["class"] == "#32770", f"confirmation is not a message box: {box['class']}")
    texts = [c["text"] for c in box["children"] if c["class"].lower() == "static"]
    check(CONFIRM_TEXT in texts, f"confirmation text: {texts}")
    buttons = {c["id"]: c for c in box["children"] if c["class"].lower() == "button"}
    check(sorted(buttons) == [IDYES, IDNO], f"buttons should be Yes and No: {sorted(buttons)}")
    check(buttons[IDYES]["style"] & 0xF == BS_DEFPUSHBUTTON, "Yes is not the default button")
    check(box["focus_id"] == IDYES, f"focus on control {box['focus_id']}, not Yes")
    check(any(c["class"].lower() == "static" and c["style"] & 0x1F == SS_ICON for c in box["children"]),
          "no icon in the confirmation")


def check_error_box(box: dict, folder: Path, error, advice) -> None:
    """ERROR one item or several, each with its ADVICE (one, or one for each item)."""
    items = error if isinstance(error[0], tuple) else (error,)
    advices = advice if isinstance(advice, tuple) else (advice,)
    texts = [c["text"] for c in box["children"] if c["class"].lower() == "static" and c["text"]]
    reports = []
    for (number, system_error, target), advice in zip(items, advices + (None,) * len(items)):
        where = (target if target.startswith("HKEY_") else
                 windows_path(mirror_of(folder) / target[len("mirror/"):]) if target.startswith("mirror/") else
                 windows_path(other_mirror_of(folder)) if target == "other-mirror/" else
                 windows_path(folder / target))
        report = f"{ERROR_HEADING} '{number}':\n\n{ERROR_NAMES[number]}\n\n{where}\n(系统错误 {system_error})"
        reports.append(report + ("\n\n" + advice if advice else ""))
    # Items listed in one report, each after a gap.
    expected = "\n\n\n".join(reports)
    check(expected in texts, f"error text {texts!r}, expected {expected!r}")
    buttons = [c["id"] for c in box["children"] if c["class"].lower() == "button"]
    check(buttons == [IDOK], f"error box buttons {buttons}, expected OK only")


def check_done_window(wine: Wine, window: dict, dpi: int) -> tuple[dict, dict]:
    check(window["title"] == DONE_TITLE, f"window title {window['title']!r}")
    check(window["dpi"] == dpi, f"prefix reports {window['dpi']} DPI, row wants {dpi}")
    labels = [c for c in window["children"] if c["class"].lower() == "static"]
    buttons = [c for c in window["children"] if c["class"].lower() == "button"]
    check([c["text"] for c in labels] == [DONE_LABEL], f"labels {[c['text'] for c in labels]!r}")
    check([(c["text"], c["id"]) for c in buttons] == [(DONE_BUTTON, IDOK)],
          f"buttons {[(c['text'], c['id']) for c in buttons]!r}")
    check(window["focus"] == buttons[0]["hwnd"], "the button does not have the keyboard focus")
    check(buttons[0]["style"] & 0xF == BS_DEFPUSHBUTTON, "the button does not show the default-button cue")
    # The screen is large enough here: the designed place, not moved.
    check(tuple(window["client"][:2]) == scaled(CLIENT_AT_96, dpi),
          f"client area at {list(window['client'][:2])}, designed {list(scaled(CLIENT_AT_96, dpi))}")
    # Wine never stretches a window, so these show that the layout itself scales with the DPI.
    tolerance = 0 if dpi == 96 else 1
    print(f"  measured at {dpi} DPI: client {list(window['client'][2:])}, label {list(labels[0]['pos'])}, "
          f"button {list(buttons[0]['pos'])}", flush=True)
    for what, got, want in (("client area", window["client"][2:], scaled(CLIENT_96, dpi)),
                            ("label", labels[0]["pos"], scaled(LABEL_96, dpi)),
                            ("button", buttons[0]["pos"], scaled(BUTTON_96, dpi))):
        check(all(abs(g - w) <= tolerance for g, w in zip(got, want)),
              f"{what} at {dpi} DPI is {list(got)}, expected {list(want)}")
    check(wine.blue_pixels(labels[0]["screen"]) >= 20, "the label is not drawn in blue")
    # Moved as a user drags it, it stays where it was put: nothing of its making is still at work.
    wine.tool("inspect", "move", "--title", DONE_TITLE, "--class", DONE_CLASS)
    time.sleep(0.1)
    moved = wine.find_window(title=DONE_TITLE, class_name=DONE_CLASS)
    check(tuple(moved["client"][:2]) == (window["client"][0] + 40, window["client"][1] + 40),
          f"moved to {list(moved['client'][:2])}, it went back or elsewhere")
    return moved, next(c for c in moved["children"] if c["class"].lower() == "button")


def leftovers(folder: Path, exe_name: str) -> set[str]:
    return {p.name for p in folder.iterdir()} - {exe_name, UNRELATED_FILE, SUBFOLDER}


def run_once(wine: Wine, scenario: Scenario, run: Run, index: int, folder: Path, exe: Path,
             keys: list[str], shots: Path | None) -> None:
    tag = f"{scenario.name}-{index}"
    stale = [w["title"] for w in wine.inspect("list") if w["title"] in (CONFIRM_TITLE, ERROR_TITLE, DONE_TITLE)]
    check(not stale, f"windows left over from an earlier run: {stale}")
    obstacle = Obstacle(wine, folder, run.obstacle)
    outside = wine.work / "outside"
    moved = folder.with_name(folder.name + "-moved")
    if run.attack == "mirror-folder-link-out":
        # The mirror's files, with its own, now lie outside; the mirror's name leads there.
        shutil.rmtree(outside, ignore_errors=True)
        mirror_of(folder).rename(outside)
        mirror_of(folder).symlink_to(outside)
    if run.attack in ("link-out", "link-down", "mirror-link-out"):
        # The name the report gives made a link, to a file outside or to its namesake one level down.
        link = mirror_of(folder) / run.error[2][len("mirror/"):] if run.attack == "mirror-link-out" \
            else folder / run.error[2]
        leads_to = folder / SUBFOLDER / link.name
        if run.attack != "link-down":
            outside.mkdir(exist_ok=True)
            leads_to = outside / "secret.dll"
            leads_to.write_text("not the tool's\n")
        link.unlink()
        link.symlink_to(leads_to)
    watch = TitleWatch(wine, DONE_TITLE) if run.finish is None else None
    tool = wine.start("tool", started_as(wine, folder / exe.name, scenario.start),
                      debug="+module" if scenario.late_bound else None)
    try:
        box = wine.find_window(title=CONFIRM_TITLE)
        check_confirmation(box)
        if run.stray_click:
            stray_click(wine, tool, CONFIRM_TITLE)
        if shots:
            wine.screenshot(CONFIRM_TITLE, shots / f"{tag}-confirm.png")
        if run.attack == "replace-folder":
            outside.mkdir(exist_ok=True)
            for name in TARGETS:
                (outside / name).write_text("another folder's\n")
            folder.rename(moved)
            folder.symlink_to(outside)
        buttons = {c["id"]: c for c in box["children"]}
        if run.answer == "return":
            wine.press(CONFIRM_TITLE, "Return")
        else:
            wine.click(CONFIRM_TITLE, buttons[IDYES if run.answer == "click-yes" else IDNO])

        if run.error:
            error_box = wine.find_window(title=ERROR_TITLE)
            advice = run.advice.format(pid=obstacle.pid) if isinstance(run.advice, str) else run.advice
            check_error_box(error_box, folder, run.error, advice)
            if run.stray_click:
                stray_click(wine, tool, ERROR_TITLE)
            if shots:
                wine.screenshot(ERROR_TITLE, shots / f"{tag}-error.png")
            wine.press(ERROR_TITLE, "Return")
        if run.finish:
            window = wine.find_window(title=DONE_TITLE, class_name=DONE_CLASS)
            window, button = check_done_window(wine, window, scenario.dpi)
            if shots:
                wine.screenshot(DONE_TITLE, shots / f"{tag}-done.png")
            if run.finish == "click":
                wine.click(DONE_TITLE, button)
            elif run.finish == "close-box":
                wine.click_close_box(DONE_TITLE, window)
            else:
                wine.press(DONE_TITLE, {"return": "Return", "escape": "Escape"}[run.finish])
        try:
            status = tool.wait(timeout=EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            waiting = f", a {DONE_TITLE!r} window is open" if watch and watch.seen else ""
            raise Failure(f"the tool did not exit within {EXIT_TIMEOUT:.0f} s{waiting}") from None
        check(status == run.exit_code, f"exit code {status}, expected {run.exit_code}")
    finally:
        if tool.poll() is None:
            os.killpg(tool.pid, 9)
            tool.wait()
        obstacle.release()
        seen = watch.stop() if watch else False
        if run.attack == "replace-folder" and moved.exists():
            folder.unlink()
            moved.rename(folder)
        if run.attack == "mirror-folder-link-out" and mirror_of(folder).is_symlink():
            mirror_of(folder).unlink()
    check(not seen, f"a {DONE_TITLE!r} window appeared")
    if run.attack in ("link-out", "replace-folder", "mirror-link-out", "mirror-folder-link-out"):
        kept = [p.name for p in outside.iterdir()] if outside.exists() else []
        expected = {"replace-folder": TARGETS, "mirror-folder-link-out": MIRRORED + (MIRROR_OWN_FILE,)}.get(
            run.attack, ("secret.dll",))
        check(sorted(kept) == sorted(expected), f"outside the folder only {sorted(kept)} survived")

    if run.obstacle and run.obstacle[0] == "hold-pipe":
        check(b"connected" not in obstacle.holder.log_path.read_bytes(), "the tool opened the listed pipe")
    left = leftovers(folder, exe.name)
    check(run.left is None or left == set(run.left), f"left in the folder: {sorted(left)}, expected {run.left}")
    check((folder / exe.name).exists() and (folder / UNRELATED_FILE).exists()
          and (folder / SUBFOLDER / "Kembrasil.ocx").exists(), "the tool removed something not its own")
    views = (32, 64) if scenario.both_views else (None,)
    for key in keys if run.keys_left is not None else ():
        for view in views:
            check(wine.registry_has(key, view) == run.keys_left,
                  f"{key} {'missing' if run.keys_left else 'still there'}{f' in the {view}-bit view' if view else ''}")
    if scenario.mirror and run.attack != "mirror-folder-link-out" and run.mirror_left is not None:
        mirror = mirror_of(folder)
        left_in_mirror = {p.name for p in mirror.iterdir()} - {MIRROR_OWN_FILE}
        check(left_in_mirror == set(run.mirror_left),
              f"left in the mirror: {sorted(left_in_mirror)}, expected {sorted(run.mirror_left)}")
        check((mirror / MIRROR_OWN_FILE).exists(), "the mirror's own file was removed")
    if scenario.late_bound:
        check_late_bound(tool.log_path.read_text(errors="replace"), scenario.late_bound)
    check_bystanders(wine, views, scenario.regedit)


def stray_click(wine: Wine, tool: subprocess.Popen, title: str) -> None:
    """Posts to the tool's hidden window, while TITLE shows, the completion button's click, WM_CLOSE,
    WM_SYSCOMMAND SC_CLOSE, WM_DESTROY and the DPI messages with a pointer to nothing: nothing may change."""
    posted = wine.tool("inspect", "stray", "--title", DONE_TITLE, "--class", DONE_CLASS)
    check(posted.returncode == 0, "no hidden window of the tool to post to")
    time.sleep(0.5)
    check(tool.poll() is None, f"a click posted while {title!r} showed ended the tool with {tool.returncode}")
    check(len(wine.inspect("find", "--title", title)) == 1, f"a click posted while {title!r} showed closed it")


def check_bystanders(wine: Wine, views=(None,), writer: int = 32) -> None:
    for key in BYSTANDER_KEYS:
        # HKLM\Software is redirected under WOW64: that sibling lives in its writer's view only.
        redirected = key.upper().startswith("HKEY_LOCAL_MACHINE\\SOFTWARE\\")
        for view in ((writer,) if redirected and views != (None,) else views):
            check(wine.registry_has(f"{key}\\command", view),
                  f"{key} was removed{f' from the {view}-bit view' if view else ''}")


def check_late_bound(trace: str, libraries: tuple[str, ...]) -> None:
    """In the tool's +module trace, each library is asked for by its path in the system folder (as
    the tool names it) and every image of it mapped is SysWOW64's, the 32-bit system's."""
    for name in libraries:
        asked = re.search(r'looking for L"C:\\\\windows\\\\system32\\\\' + re.escape(name) + '"', trace, re.I)
        check(bool(asked), f"the tool never asked for {name} in the system folder")
        mapped = re.findall(r'mapping PE file L"([^"]*\\\\' + re.escape(name) + ')"', trace, re.I)
        check(bool(mapped), f"{name} was never mapped")
        wrong = [m for m in mapped if not m.lower().endswith("\\\\windows\\\\syswow64\\\\" + name.lower())]
        check(not wrong, f"{name} mapped from {wrong}, not SysWOW64")
    print(f"  mapped from SysWOW64: {', '.join(libraries)}", flush=True)


def run_scenario(scenario: Scenario, exe: Path, tools: Path, work: Path, shots: Path | None,
                 stage_in: str | None = None) -> None:
    wine = Wine(tools, work / scenario.name, scenario.lang)
    if wine.work.exists():
        shutil.rmtree(wine.work, ignore_errors=True)
    wine.work.mkdir(parents=True)
    # Below drive C: where a mirror row puts the folder, or where the caller asks for it.
    placed = {"program-files": f"{PROGRAM_FILES_32}/Orvandel {scenario.name}",
              "program-files-64": f"Program Files/Orvandel {scenario.name}",
              "program-files-x": "Program FilesX/Orvandel",
              "windows": f"windows/Orvandel {scenario.name}"}.get(scenario.mirror or "", stage_in)
    folder = STATE / "prefix" / "drive_c" / placed if placed else wine.work / scenario.folder
    if scenario.dpi != 96:
        subprocess.run([str(PREFIX_SH), "dpi", str(scenario.dpi)], check=True, stdin=subprocess.DEVNULL)
    try:
        if scenario.together:
            run_together(wine, scenario, folder, exe)
            return
        stage_folder(folder, exe)
        if scenario.mirror:
            stage_mirror(mirror_of(folder))
        if scenario.other_user:
            stage_other_user(wine, scenario.other_user, folder)
        keys = seed_registry(wine, scenario.seed, folder, scenario.regedit,
                             (32, 64) if scenario.both_views else (None,))
        if scenario.shell:
            mark_folder_verb(wine)
            check(run_folder_verb(wine, scenario.shell, folder), "the verb did not run before the removal")
        if scenario.subkeys:
            wine.import_registry([f'[{key}]\n@="x"\n' for key in scenario.subkeys])
            check(all(map(wine.registry_has, scenario.subkeys)), "seeding failed: a subkey is missing")
        for hive, parent in scenario.nul_keys:
            wine.reglink("--nul", hive, parent)
        for path, target in scenario.links:
            wine.reglink("--unlink", path)  # a link a failed run left would fail every later one
            wine.reglink(path, target)
        for index, run in enumerate(scenario.runs, 1):
            try:
                run_once(wine, scenario, run, index, folder, exe, keys, shots)
            except Failure as failure:
                raise Failure(f"run {index}: {failure}") from None
        for hive, parent in scenario.nul_keys:
            full = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}[hive] + "\\" + parent
            check(not wine.registry_has(full), f"{full} still there")
        if scenario.shell:
            check(not run_folder_verb(wine, scenario.shell, folder), "the verb still runs after the removal")
        if scenario.other_user:
            check_other_user(wine, scenario.other_user, folder)
    finally:
        if scenario.other_user:
            remove_other_user(wine, folder)
        if scenario.dpi != 96:
            subprocess.run([str(PREFIX_SH), "dpi", "96"], check=True, stdin=subprocess.DEVNULL)


FOLDER_WINDOW_CLASS = "ExplorerWClass"  # Wine's Explorer window on a folder


def mark_folder_verb(wine: Wine) -> None:
    """Gives Orvandel's Folder verb a command that leaves a mark and says which kind of program ran it."""
    ran = wine.work / "verb-ran.txt"
    command = f'cmd.exe /c echo %PROCESSOR_ARCHITECTURE%>"{windows_path(ran)}"'
    wine.import_registry([f"[HKEY_CLASSES_ROOT\\{SHELL_KEYS[1]}\\command]",
                          '@="' + command.replace("\\", "\\\\").replace('"', '\\"') + '"', ""])


def run_folder_verb(wine: Wine, bits: int, folder: Path) -> bool:
    """Runs Orvandel's Folder verb on FOLDER through the shell of BITS bits, as a context menu does.
    True when the verb's command ran; False when the shell, not knowing the verb, opened the folder
    instead (Wine's answer; Windows reports the verb unknown). Either is waited for."""
    ran = wine.work / "verb-ran.txt"
    ran.unlink(missing_ok=True)
    script = wine.work / "verb.js"
    script.write_text('var a = WScript.Arguments;\n'
                      'new ActiveXObject("Shell.Application").ShellExecute(a(0), "", "", a(1), 1);\n')
    # The 64-bit prefix's own wscript through the 64-bit loader; the 32-bit one from SysWOW64.
    host = ["--64", "wscript"] if bits == 64 else [r"C:\windows\syswow64\wscript.exe"]
    result = wine.run(*host, "//nologo", windows_path(script), windows_path(folder), SHELL_KEYS[1].split("\\")[-1])
    check(result.returncode == 0, f"wscript failed: {result.stdout!r}")

    def outcome() -> tuple[str] | None:
        # What the verb wrote, or "" once the shell opened the folder instead.
        kind = ran.read_text(errors="replace").strip() if ran.exists() else ""
        opened = not kind and any(w["class"] == FOLDER_WINDOW_CLASS for w in wine.inspect("list"))
        return (kind,) if kind or opened else None
    (kind,) = wait_until(outcome, "the shell neither ran the verb nor opened the folder", step=0.1)
    if not kind:
        wine.tool("inspect", "close", "--class", FOLDER_WINDOW_CLASS)
        return False
    check(kind == ("AMD64" if bits == 64 else "x86"), f"the verb ran as {kind}, not through the {bits}-bit shell")
    return True


def run_together(wine: Wine, scenario: Scenario, folder: Path, exe: Path) -> None:
    """Two copies in one folder, both boxes answered Yes by one program at the same instant, a few
    times over: each must end in its completion window with 0 (or report a real failure, of which
    there is none here), never a false error."""
    for round_ in range(1, scenario.together + 1):
        stage_folder(folder, exe)
        keys = seed_registry(wine, scenario.seed, folder)
        tools = [wine.start(f"tool{i}", str(folder / exe.name)) for i in (1, 2)]
        try:
            def titled(title: str, class_name: str | None = None) -> list[dict]:
                return [w for w in wine.inspect("list") if w["title"] == title and class_name in (None, w["class"])]

            def both_done() -> bool:
                errors = titled(ERROR_TITLE)
                texts = [c["text"] for w in errors for c in w["children"] if c["text"]]
                check(not errors, f"round {round_}: an error was reported: {texts}")
                return len(titled(DONE_TITLE, DONE_CLASS)) >= 2
            wait_until(lambda: len(titled(CONFIRM_TITLE)) >= 2,
                       f"round {round_}: two confirmation boxes did not come up")
            wine.tool("inspect", "yes", "--title", CONFIRM_TITLE)
            wait_until(both_done, f"round {round_}: two completion windows did not come up")
            wine.tool("inspect", "close", "--title", DONE_TITLE, "--class", DONE_CLASS)
            statuses = [tool.wait(timeout=EXIT_TIMEOUT) for tool in tools]
            check(statuses == [0, 0], f"round {round_}: exit codes {statuses}")
        finally:
            for tool in tools:
                if tool.poll() is None:
                    os.killpg(tool.pid, 9)
                    tool.wait()
        left = leftovers(folder, exe.name)
        check(not left, f"round {round_}: left in the folder: {sorted(left)}")
        for key in keys:
            check(not wine.registry_has(key), f"round {round_}: {key} still there")
        check_bystanders(wine)


def answer_yes(tools: Path, shots: Path | None) -> int:
    """For the demo: answer a running tool's confirmation with Return and close its window with the button."""
    wine = Wine(tools, STATE / "demo-driver")
    box = wine.find_window(title=CONFIRM_TITLE)
    if shots:
        wine.screenshot(CONFIRM_TITLE, shots / "confirm.png")
    wine.press(CONFIRM_TITLE, "Return")
    window = wine.find_window(title=DONE_TITLE, class_name=DONE_CLASS)
    if shots:
        wine.screenshot(DONE_TITLE, shots / "done.png")
    button = [c for c in window["children"] if c["class"].lower() == "button"][0]
    wine.click(DONE_TITLE, button)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--exe", type=Path)
    parser.add_argument("--tools", type=Path, default=ROOT / "build" / "win32" / "tests" / "wine" / "tools")
    parser.add_argument("--work", type=Path, default=STATE / "scenarios")
    parser.add_argument("--screenshots", type=Path, default=STATE / "screenshots")
    parser.add_argument("--no-screenshots", action="store_true")
    # For the README's pictures: the folder where an installer puts it (a path below drive C:, such
    # as "Program Files/Orvandel"), not a build machine's.
    parser.add_argument("--stage-in")
    parser.add_argument("--answer-yes", action="store_true")
    args = parser.parse_args()
    shots = None if args.no_screenshots else args.screenshots

    if args.list:
        misnamed = set(BOTH_PREFIXES) - {scenario.name for scenario in SCENARIOS}
        if misnamed:
            print(f"BOTH_PREFIXES names no row: {sorted(misnamed)}", file=sys.stderr)
            return 2
        for scenario in SCENARIOS:
            prefixes = " win64" if scenario.win64_only else " both" if scenario.name in BOTH_PREFIXES else ""
            print(scenario.name + (" serial" if scenario.serial else "") + prefixes)
        return 0
    if args.answer_yes:
        return answer_yes(args.tools, shots)

    if not args.exe or not args.exe.exists():
        print(f"the tool is not built: {args.exe}", file=sys.stderr)
        return 77
    chosen = [s for s in SCENARIOS if (not args.only or s.name in args.only) and runs_in(s, ARCH)]
    unknown = set(args.only) - {s.name for s in chosen}
    if unknown:
        print(f"no such scenario in the {ARCH} prefix: {sorted(unknown)}", file=sys.stderr)
        return 2
    failed = 0
    for scenario in chosen:
        started = time.monotonic()
        try:
            run_scenario(scenario, args.exe.resolve(), args.tools.resolve(), args.work.resolve(), shots,
                         args.stage_in)
            print(f"ok   {scenario.name} ({time.monotonic() - started:.1f} s)")
        except (Failure, subprocess.SubprocessError) as failure:
            failed += 1
            print(f"FAIL {scenario.name}: {failure}")
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
