#!/usr/bin/python3
"""Planted-DLL test under Wine, with its control.

A copy of uxtheme.dll that leaves a mark when loaded is put beside the program in a
fresh folder. user32 loads uxtheme.dll on demand when the first window appears,
long after the imports are resolved, so only SetDefaultDllDirectories at the start
of the program keeps that load in the system folder.

Wine prefers its builtin uxtheme over any file of that name, which would hide the
search order; WINEDLLOVERRIDES=uxtheme=n,b makes it take the first file found, as
Windows does. The loader trace (+loaddll) is checked as well: it names the folder a
DLL was found in, whichever copy then runs.

  control, plain:     a program without the restriction loads the planted DLL
  control, restrict:  the same program with SetDefaultDllDirectories does not
  tool:               uninstall.exe, box answered No, does not

Exit 77 (skip) when the plain control shows that this Wine never loads a DLL from
the program's folder: the test could not tell a fault from a fix then.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

SKIP = 77
DLL_NAME = "uxtheme.dll"
MARK = "planted-dll-loaded.txt"


class Runner:
    def __init__(self, wine_run, work):
        self.wine_run = wine_run
        self.work = work
        self.env = dict(os.environ)
        self.env["WINEDLLOVERRIDES"] = "uxtheme=n,b"
        self.env["WINEDEBUG"] = "+loaddll"
        # The display the harness's prefix uses, for xdotool.
        env_sh = os.path.join(os.path.dirname(os.path.realpath(wine_run)), "env.sh")
        shown = subprocess.run(["bash", "-c", 'source "$1" && printf %s "${DISPLAY:-}"', "-", env_sh],
                               capture_output=True, text=True, check=False)
        self.display = shown.stdout.strip()

    def folder(self, name, program, dll):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        shutil.copy2(program, path)
        shutil.copy2(dll, os.path.join(path, DLL_NAME))
        return path

    def start(self, folder, program, args, name):
        # Files, not pipes: Wine's background processes keep inherited handles open.
        out = open(os.path.join(self.work, name + ".out"), "wb")
        err = open(os.path.join(self.work, name + ".err"), "wb")
        process = subprocess.Popen([self.wine_run, os.path.join(folder, os.path.basename(program)), *args],
                                   cwd=folder, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        return process, out, err

    def finish(self, started, timeout):
        process, out, err = started
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            status = None
        out.close()
        err.close()
        with open(err.name, encoding="utf-8", errors="replace") as trace:
            return status, trace.read()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": self.display},
                              capture_output=True, text=True, timeout=15, check=False)


def planted_loads(trace, folder):
    """Loader trace lines that name the planted copy, as Wine spells the folder (Z:\\...)."""
    wanted = ("z:" + folder.replace("/", "\\") + "\\" + DLL_NAME).lower()
    return [line for line in trace.splitlines() if "loaddll" in line and wanted in line.lower().replace("\\\\", "\\")]


def answer_no(runner, inspect):
    """Waits for the tool's message box and answers No with a key press, as a user would."""
    found = subprocess.run([runner.wine_run, inspect, "find", "--class", "#32770", "--timeout", "30000"],
                           env={**os.environ, "WINEDEBUG": "-all"}, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, check=False)
    boxes = [json.loads(line) for line in found.stdout.decode("utf-8", "replace").splitlines() if line.startswith("{")]
    if not boxes:
        return "no message box appeared within 30 s"
    title = boxes[0]["title"]
    windows = []
    for _ in range(50):
        windows = runner.xdotool("search", "--name", "^" + re.escape(title) + "$").stdout.split()
        if windows:
            break
        time.sleep(0.1)
    if not windows:
        return f"the box {title!r} has no X window"
    # Unmanaged windows ignore keys sent to a window: focus it, then press the key.
    runner.xdotool("windowfocus", "--sync", windows[-1])
    runner.xdotool("key", "n")
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--inspect", required=True, help="tests/wine's inspect.exe")
    parser.add_argument("--exe", required=True, help="uninstall.exe")
    parser.add_argument("--host", required=True, help="the control program")
    parser.add_argument("--dll", required=True, help="the marking DLL")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    runner = Runner(args.wine_run, args.work)

    results = {}
    for mode in ("plain", "restrict"):
        folder = runner.folder("control-" + mode, args.host, args.dll)
        status, trace = runner.finish(runner.start(folder, args.host, [mode], "control-" + mode), 60)
        results[mode] = (status, os.path.exists(os.path.join(folder, MARK)), bool(planted_loads(trace, folder)))
        print(f"control {mode:<8}: exit {status}, mark made: {results[mode][1]}, "
              f"loader opened the planted copy: {results[mode][2]}")
    if results["plain"][0] != 0:
        print("FAIL: the control program did not run")
        return 1
    if not results["plain"][1]:
        print(f"SKIP: this Wine does not load {DLL_NAME} from the program's folder even for a program that "
              "does not restrict the search, so a planted DLL cannot be told from Wine's own behaviour")
        return SKIP
    if results["restrict"][1] or results["restrict"][2]:
        print("SKIP: this Wine loads the planted DLL even after SetDefaultDllDirectories(SYSTEM32), "
              "so the tool cannot show that it is protected")
        return SKIP

    folder = runner.folder("tool", args.exe, args.dll)
    started = runner.start(folder, args.exe, [], "tool")
    problem = answer_no(runner, args.inspect)
    status, trace = runner.finish(started, 60)
    mark = os.path.exists(os.path.join(folder, MARK))
    opened = planted_loads(trace, folder)
    print(f"tool: exit {status}, mark made: {mark}, loader opened the planted copy: {bool(opened)}")
    failures = []
    if problem:
        failures.append(problem)
    if status != 1:
        failures.append(f"expected exit code 1 (answered No), got {status}")
    if mark:
        failures.append(f"the {DLL_NAME} beside the tool ran in its process")
    if opened:
        failures.append(f"the loader took the planted copy ({len(opened)} trace lines), e.g.:\n  " +
                        "\n  ".join(opened[:2]))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
