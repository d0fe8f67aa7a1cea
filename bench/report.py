#!/usr/bin/env python3
"""Turns the driver's and the tree program's per-run CSVs into the Markdown results (medians and ratios)."""
import argparse
import csv
import os
import platform
import statistics
import sys

import pefile

# DLLs every Windows installation has; anything else would have to ship with the program.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll",
    "ole32.dll", "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "msvcrt.dll", "version.dll",
    "ntdll.dll", "uxtheme.dll", "psapi.dll", "winmm.dll", "ws2_32.dll", "crypt32.dll",
    "rpcrt4.dll", "setupapi.dll", "userenv.dll", "secur32.dll", "imm32.dll",
}
ORDER = ["tool", "floor-a", "floor-b", "nsis", "floor-a-manifest"]
LABEL = {
    "tool": "tool (uninstall.exe)",
    "floor-a": "floor (a): MessageBoxW only",
    "floor-b": "floor (b): box + removal + box",
    "nsis": "NSIS peer uninstaller",
    "floor-a-manifest": "context: floor (a) + the tool's manifest",
}


def imports(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    names = [e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    return sorted(n for n in names if n not in SYSTEM_DLLS), sorted(names)


def spread(values, fmt):
    if not values:
        return "n/a"
    return f"{fmt(statistics.median(values))} ({fmt(min(values))}–{fmt(max(values))})"


def ratio(a, b):
    return f"{a / b:.2f}×" if a is not None and b else "n/a"


TREE_KEYS_LABEL = "Tree of 2,100 keys"
TREE_LIMIT = 1.5


def read_tree(path):
    """Measured deletion times by remover, from tree_bench's CSV (every row a checked deletion)."""
    times = {}
    keys = set()
    with open(path, encoding="utf-8", newline="") as f:
        for r in csv.DictReader(f):
            if r["warmup"] == "1":
                continue
            times.setdefault(r["name"], []).append(float(r["ms"]))
            keys.add(int(r["keys"]))
    return times, keys


def tree_section(path, build_note):
    """The tree table and the target's row (or None when there is nothing to compare)."""
    times, keys = read_tree(path)
    tool, system = times.get("tool", []), times.get("RegDeleteTreeW", [])
    label = f"Tree of {next(iter(keys)):,} keys" if len(keys) == 1 else TREE_KEYS_LABEL
    fmt = lambda x: f"{x:.1f}" if x >= 10 else f"{x:.2f}"
    lines = [f"## {label}: tool vs RegDeleteTreeW, median ms, ratio", ""]
    if build_note:
        lines.append(f"- Measured: {build_note}")
    lines += [
        "- HKLM\\UninstallBenchTree: a chain 100 deep with 20 leaf subkeys per level, each key with a "
        "default value, built afresh (untimed) before every deletion; only the deletion is timed "
        "(QueryPerformanceCounter), the two take turns at going first, and every deletion is "
        "checked gone (any failure fails the run).",
        "",
        "| Removal of the same tree | Median, ms (min–max) | vs RegDeleteTreeW | Rounds |",
        "|---|---:|---:|---:|",
    ]
    tool_med = statistics.median(tool) if tool else None
    system_med = statistics.median(system) if system else None
    lines.append(f"| tool: `Module1::RemoveRegKey` | {spread(tool, fmt)} | {ratio(tool_med, system_med)} | {len(tool)} |")
    lines.append(f"| system: `RegDeleteTreeW` | {spread(system, fmt)} | {ratio(system_med, system_med)} | {len(system)} |")
    lines.append("")
    target = None
    if tool_med is not None and system_med:
        r = tool_med / system_med
        result = "met" if r <= TREE_LIMIT else "**not met**"
        target = (f"| {label}: removal ≤ {TREE_LIMIT} × RegDeleteTreeW on the same tree | {r:.2f}× "
                  f"({fmt(tool_med)} vs {fmt(system_med)} ms) | {result} |")
    return lines, target


# What each staged kind is, in the title and the staging note.
USERS = {
    "profiles": ("more listed profiles", "it looks for a VirtualStore mirror in every profile ProfileList lists: "
                 "the prefix's own and the added S-1-5-21-1-2-3-1 … -{n}, all in C:\\users as C:\\users\\p<n>, "
                 "odd ones with their folder and its AppData\\Local, even ones with no folder, every third stored "
                 "with %SystemDrive% (all REG_EXPAND_SZ)"),
    "hives": ("more loaded classes hives", "it walks every classes hive HKEY_USERS lists: the added "
              "S-1-5-21-1-2-3-1_Classes … -{n}_Classes, each with another program's *\\shell\\Corvane\\command "
              "and Folder\\shell\\Corvane\\command, so each shell key is there and the tool's own key is not"),
}


def users_report(a, kind):
    """The tool alone, from a folder under Program Files, with A.PROFILES or A.HIVES more users staged."""
    runs = []
    with open(a.csv, encoding="utf-8", newline="") as f:
        runs = [r for r in csv.DictReader(f) if r["warmup"] != "1" and r["name"] == "tool"]
    ok = [r for r in runs if r["ok"] == "1"]
    ms = lambda x: f"{x:.0f}" if x >= 100 else f"{x:.1f}"
    n = getattr(a, kind)
    what, staged = USERS[kind]
    lines = [
        f"# Benchmark: Yes → completion with {n:,} {what} (Wine)",
        "",
        f"- Command: `{a.command}`",
        f"- Date: {a.date}; the whole run took {a.seconds} s",
        f"- Machine: {platform.node()}, {os.cpu_count()} CPUs, {platform.machine()}, "
        f"Linux {platform.release()}; {a.wine} (32-bit prefix build/bench/prefix, zh_CN.UTF-8, "
        f"private Xvfb, no window manager); i686-w64-mingw32-gcc {a.gcc}",
    ]
    if a.tool_build:
        lines.append(f"- Tool measured: {a.tool_build}")
    lines += [
        f"- The tool's folder lies under C:\\Program Files and Wine's token is an administrator's, so "
        f"{staged.format(n=n)}. Medians with (min–max); warm-up rounds dropped.",
        "",
        f"| Added {kind} | Yes → completion, ms | Launch → box, ms | Runs ok |",
        "|---:|---:|---:|---:|",
        f"| {n:,} | {spread([float(r['yes_ms']) for r in ok], ms)} "
        f"| {spread([float(r['launch_ms']) for r in ok], ms)} | {len(ok)}/{len(runs)}"
        f"{'' if all(r['texts'] == '1' for r in ok) else ' (wrong texts)'}"
        f"{'' if all(r['removed_first'] != '0' for r in ok) else ' (completion before removal)'} |",
        "",
        f"Per-run data: build/bench/{kind}-{n}.csv.",
    ]
    text = "\n".join(lines) + "\n"
    with open(a.out, "w", encoding="utf-8") as f:
        f.write(text)
    sys.stdout.write(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--csv", help="the driver's runs (all but --tree-only)")
    ap.add_argument("--out", required=True)
    ap.add_argument("--command", required=True)
    ap.add_argument("--date", required=True)
    ap.add_argument("--seconds", type=int, default=0)
    ap.add_argument("--wine", default="")
    ap.add_argument("--makensis", default="")
    ap.add_argument("--gcc", default="")
    ap.add_argument("--program", action="append", default=[])
    ap.add_argument("--tool-build", default="")
    ap.add_argument("--tree-csv", default="")
    ap.add_argument("--tree-build", default="")
    ap.add_argument("--tree-only", action="store_true", help="only the tree table, from --tree-csv")
    ap.add_argument("--profiles", type=int, help="only the tool, with this many more profiles listed")
    ap.add_argument("--hives", type=int, help="only the tool, with this many more classes hives loaded")
    a = ap.parse_args()
    paths = dict(p.split("=", 1) for p in a.program)
    tree_lines, tree_target = tree_section(a.tree_csv, a.tree_build) if a.tree_csv else ([], None)

    if a.tree_only:
        lines = [
            "# Benchmark: registry tree removal, tool vs RegDeleteTreeW (Wine)",
            "",
            f"- Command: `{a.command}`",
            f"- Date: {a.date}; the whole run took {a.seconds} s",
            f"- Machine: {platform.node()}, {os.cpu_count()} CPUs, {platform.machine()}, "
            f"Linux {platform.release()}; {a.wine} (32-bit prefix build/bench/prefix); "
            f"i686-w64-mingw32-gcc {a.gcc}",
            "",
            *tree_lines,
        ]
        if tree_target:
            lines += ["| Target | Measured | Result |", "|---|---|---|", tree_target, ""]
        text = "\n".join(lines) + "\n"
        with open(a.out, "w", encoding="utf-8") as f:
            f.write(text)
        sys.stdout.write(text)
        return
    if not a.csv:
        ap.error("--csv is needed unless --tree-only")
    for kind in USERS:
        if getattr(a, kind) is not None:
            users_report(a, kind)
            return

    rows = {}
    total = {}
    bad = []
    with open(a.csv, encoding="utf-8", newline="") as f:
        for r in csv.DictReader(f):
            if r["warmup"] == "1":
                continue
            total[r["name"]] = total.get(r["name"], 0) + 1
            if r["ok"] != "1":
                bad.append(r)
                continue
            rows.setdefault(r["name"], []).append(r)

    def values(name, field):
        return [float(r[field]) for r in rows.get(name, []) if float(r[field]) >= 0]

    def med(name, field):
        v = values(name, field)
        return statistics.median(v) if v else None

    ms = lambda x: f"{x:.0f}" if x >= 100 else f"{x:.1f}"
    mib = lambda x: f"{x / 1024:.1f}"
    lines = []
    out = lines.append
    out("# Benchmark: removal tool vs. floor vs. NSIS peer (Wine)")
    out("")
    out(f"- Command: `{a.command}`")
    out(f"- Date: {a.date}; the whole run took {a.seconds} s")
    out(f"- Machine: {platform.node()}, {os.cpu_count()} CPUs, {platform.machine()}, "
        f"Linux {platform.release()}; {a.wine} (32-bit prefix build/bench/prefix, zh_CN.UTF-8, "
        f"private Xvfb, no window manager); i686-w64-mingw32-gcc {a.gcc}; makensis {a.makensis}")
    if a.tool_build:
        out(f"- Tool measured: {a.tool_build}")
    out("- Medians with (min–max) over the measured rounds; warm-up rounds dropped. "
        "These machines are shared and noisy: read medians and ratios, not single runs.")
    out("")
    out("| Program | Size (bytes) | Non-system DLL imports | Launch → box, ms | vs floor (a) "
        "| Yes → completion, ms | vs floor (b) | Peak WS at end, MiB | vs floor (a) "
        "| Peak WS at box, MiB | vs floor (a) | Runs ok |")
    out("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    fa_launch, fb_yes = med("floor-a", "launch_ms"), med("floor-b", "yes_ms")
    fa_end, fa_box = med("floor-a", "peak_end_kib"), med("floor-a", "peak_box_kib")
    summary = {}
    for name in ORDER:
        if name not in paths:
            continue
        size = os.path.getsize(paths[name])
        foreign, _ = imports(paths[name])
        launch, yes = med(name, "launch_ms"), med(name, "yes_ms")
        end, box = med(name, "peak_end_kib"), med(name, "peak_box_kib")
        summary[name] = dict(size=size, foreign=foreign, launch=launch, yes=yes, end=end, box=box)
        box_only = name.startswith("floor-a")
        yes_cell = "—" if box_only else spread(values(name, "yes_ms"), ms)
        out(f"| {LABEL[name]} | {size:,} | {', '.join(foreign) or 'none'} "
            f"| {spread(values(name, 'launch_ms'), ms)} | {ratio(launch, fa_launch)} "
            f"| {yes_cell} | {'—' if box_only else ratio(yes, fb_yes)} "
            f"| {spread(values(name, 'peak_end_kib'), mib)} | {ratio(end, fa_end)} "
            f"| {spread(values(name, 'peak_box_kib'), mib)} | {ratio(box, fa_box)} "
            f"| {len(rows.get(name, []))}/{total.get(name, 0)}"
            f"{'' if all(r['texts'] == '1' for r in rows.get(name, [])) else ' (wrong texts)'}"
            f"{'' if all(r['removed_first'] != '0' for r in rows.get(name, [])) else ' (completion before removal)'} |")
    out("")

    t = summary.get("tool")
    n = summary.get("nsis")
    if t:
        def verdict(ok):
            return "met" if ok else "**not met**"
        out("## Tool against its targets")
        out("")
        out("| Target | Measured | Result |")
        out("|---|---|---|")
        out(f"| Size ≤ 27 KiB (27,648 bytes) | {t['size']:,} bytes | {verdict(t['size'] <= 27648)} |")
        out(f"| No non-system DLL imports | {', '.join(t['foreign']) or 'none'} | {verdict(not t['foreign'])} |")
        if t["launch"] and fa_launch:
            r = t["launch"] / fa_launch
            out(f"| Launch → box ≤ 1.05 × floor (a) | {r:.2f}× ({t['launch']:.0f} vs {fa_launch:.0f} ms) "
                f"| {verdict(r <= 1.05)} |")
        fm_launch = med("floor-a-manifest", "launch_ms")
        if t["launch"] and fm_launch:
            r = t["launch"] / fm_launch
            out(f"| Launch → box ≤ 1.05 × floor (a) with the tool's manifest | {r:.2f}× "
                f"({t['launch']:.0f} vs {fm_launch:.0f} ms) | {verdict(r <= 1.05)} |")
        if t["yes"] and fb_yes:
            r = t["yes"] / fb_yes
            out(f"| Yes → completion ≤ 1.1 × floor (b) | {r:.2f}× ({t['yes']:.1f} vs {fb_yes:.1f} ms) "
                f"| {verdict(r <= 1.1)} |")
        if t["yes"] and n and n["yes"]:
            out(f"| Yes → completion below the NSIS peer | {t['yes']:.1f} vs {n['yes']:.1f} ms "
                f"| {verdict(t['yes'] < n['yes'])} |")
        if t["end"] and fa_end:
            r = t["end"] / fa_end
            fb_end = med("floor-b", "peak_end_kib")
            context = f"; {t['end'] / fb_end:.2f}× floor (b), which also does the removal" if fb_end else ""
            out(f"| Peak memory ≤ 1.1 × floor (a) | {r:.2f}× ({t['end'] / 1024:.1f} vs {fa_end / 1024:.1f} MiB{context}) "
                f"| {verdict(r <= 1.1)} |")
        if tree_target:
            out(tree_target)
        out("")
    for line in tree_lines:
        out(line)
    if bad:
        out("## Failed runs")
        out("")
        for r in bad:
            out(f"- round {r['round']} {r['name']}: launch {r['launch_ms']} ms, yes {r['yes_ms']} ms, "
                f"exit {r['exit']}, completion class '{r['done_class']}' (removal incomplete or a window missing)")
        out("")
    out("How each number is taken: see bench/README.md. Per-run data: build/bench/runs.csv.")
    text = "\n".join(lines) + "\n"
    with open(a.out, "w", encoding="utf-8") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
