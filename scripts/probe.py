#!/usr/bin/env python3
"""The fault probe (scripts/probe.sh runs it): plants one-line faults, one at a time, in the lines a
change added under src/ since BASE, runs the quick loop for each and prints the faults no test
caught. Every file is given back its own bytes after each fault and on exit, error, Ctrl-C or
SIGTERM."""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
LOGS = ROOT / "build" / "probe"
PER_LINE = 3


def git(*args: str) -> str:
    done = subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"probe: git {' '.join(args)}: {done.stderr.strip()}")
    return done.stdout


# ---- which lines ---------------------------------------------------------------------------------

def same_line(text: str) -> str:
    # A namespace-scope name moved into a header gains `inline`: still the same line.
    return " ".join(re.sub(r"\binline\s+", "", text).split())


def changed(base: str):
    """The lines the diff adds, by file and number, and the text of every line it removes."""
    added, removed, path, number, hunk = {}, [], None, 0, False
    for line in git("diff", "-w", "-U0", "--no-renames", base, "HEAD", "--", "src").splitlines():
        if line.startswith("diff --git"):
            path, hunk = None, False
        elif line.startswith("+++ b/") and not hunk:
            path = line[6:]
        elif line.startswith("@@"):
            number, hunk = int(re.match(r"@@ -\S+ \+(\d+)", line).group(1)), True
        elif line.startswith("-") and hunk:
            removed.append(same_line(line[1:]))
        elif line.startswith("+") and hunk and path:
            added.setdefault(path, set()).add(number)
            number += 1
    return added, removed


def blamed_new(base: str, path: str) -> set:
    """Lines git blame gives to a commit after BASE; moves and copies from other files it gives
    to where they came from, and what is older than BASE to BASE itself (the boundary)."""
    new, number, boundary = set(), 0, False
    blame = git("blame", "-w", "-M", "-C", "-C", "--line-porcelain", f"{base}..HEAD", "--", path)
    for line in blame.splitlines():
        header = re.match(r"[0-9a-f]{40} \d+ (\d+)", line)
        if header:
            number, boundary = int(header.group(1)), False
        elif line == "boundary":
            boundary = True
        elif line.startswith("\t") and not boundary:
            new.add(number)
    return new


def new_lines(base: str) -> list:
    """(path, number, text, the code line before it) of each line added since BASE and not merely
    moved. Blame misses moved blocks below its size threshold, so a line it calls new is taken as
    moved when its text is that of a removed line no other moved line accounts for."""
    added, removed = changed(base)
    texts, fresh = {}, {}
    for path in sorted(added):
        if not re.search(r"\.(cpp|h)$", path) or not (ROOT / path).is_file():
            continue
        texts[path] = (ROOT / path).read_text(encoding="utf-8").splitlines()
        fresh[path] = blamed_new(base, path)
    pool = Counter(removed)
    pool.subtract(same_line(texts[p][n - 1]) for p in texts for n in added[p] - fresh[p])
    found = []
    for path in texts:
        for number in sorted(fresh[path]):
            text = texts[path][number - 1]
            if pool[same_line(text)] > 0:
                pool[same_line(text)] -= 1
            else:
                before = (masked(t).strip() for t in reversed(texts[path][:number - 1]))
                found.append((path, number, text, next((t for t in before if t), "")))
    return found


# ---- which faults --------------------------------------------------------------------------------

LITERALS = re.compile(
    r'(?P<raw>\b(?:u8|[uUL])?R"(?P<d>[^(\s]*)\(.*?\)(?P=d)")'
    r'|(?P<str>(?:\b(?:u8|[uUL]))?"(?:\\.|[^"\\])*")'
    r"|(?P<chr>(?:\b(?:u8|[uUL]))?'(?:\\.|[^'\\])+')"
    r"|(?P<num>\b\d[\w']*)"
    r"|(?P<comment>//.*|/\*.*?\*/)")
NOT_CODE = re.compile(r"\s*(?:$|//|/\*|\*(?:\s|/|$)|#|[{}()\[\];,]+\s*(?://.*)?$)")
STATUS = r"(?<![\w.>:])((?:\w+(?:\.|->))*\w*(?:status|error|result|code)\w*)"
FLIP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
SHIFT = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
COMPARISON = r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)"


def masked(line: str) -> str:
    """The line with its comment blanked and its literals' insides filled, the same length, so
    that nothing in a string or a comment is taken for code."""
    def blank(m):
        if m.group("num"):
            return m.group(0)
        if m.group("comment"):
            return " " * len(m.group(0))
        text = m.group(0)
        start, end = text.index(text[-1]) + 1, len(text) - 1
        return text[:start] + "\x01" * (end - start) + text[end:]
    return LITERALS.sub(blank, line)


def short(text: str) -> str:
    text = " ".join(text.split())
    return text if len(text) <= 48 else text[:45] + "..."


def closing(code: str, start: int) -> int:
    """Where the bracket opened at `start` closes, or -1 when not on this line."""
    depth = 0
    for i in range(start, len(code)):
        depth += (code[i] in "([{") - (code[i] in ")]}")
        if depth == 0:
            return i
    return -1


def status_accepted(code: str, line: str):
    for m in re.finditer(STATUS + r" (!=|==) 0[uU]?\b", code, re.I):
        new = "false" if m.group(2) == "!=" else "true"
        yield m.start(), m.end(), new, f"'{line[m.start():m.end()]}' -> '{new}'"
    m = re.match(r"\s*return " + STATUS + r";", code, re.I)
    if m:
        yield m.start(1), m.end(1), "0", f"'return {m.group(1)};' -> 'return 0;'"


def comparison_flipped(code: str, line: str):
    for m in re.finditer(COMPARISON, code):
        yield m.start(), m.end(), FLIP[m.group(1)], f"'{m.group(1)}' -> '{FLIP[m.group(1)]}'"


def left_operand(code: str, at: int) -> int:
    """Where the operand left of the operator at `at` starts, back to the previous operator of its
    level, its bracket or the start of its statement; -1 where that is not on this line."""
    depth = 0
    for i in range(at - 1, -1, -1):
        c = code[i]
        if c in ")]}":
            depth += 1
        elif c in "([{":
            if depth == 0:
                return i + 1
            depth -= 1
        elif depth == 0 and (code[i - 1:i + 1] in ("&&", "||") or c in ",;?" or
                             (c == "=" and code[i - 1] not in "=!<>" and code[i + 1:i + 2] != "=")):
            return i + 1
    start = len(code) - len(code.lstrip())
    return start + 7 if code[start:].startswith("return ") else -1


def operand_dropped(code: str, line: str):
    """Either operand of `&&` or `||`: the left one back to the previous operator of its level or its
    bracket, the right one up to the next."""
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        start = left_operand(code, m.start())
        if start >= 0 and code[start:m.start()].strip():
            start += len(code[start:m.start()]) - len(code[start:m.start()].lstrip())
            yield start, m.end() + 1, "", f"dropped '{short(line[start:m.start()])} {m.group(1)}'"
        depth, end = 0, -1
        for i in range(m.end(), len(code)):
            c = code[i]
            if c in "([{":
                depth += 1
            elif c in ")]}" and depth > 0:
                depth -= 1
            elif depth == 0 and (c in ")]};,?" or code.startswith(("&&", "||"), i) or
                                 (c == ":" and code[i - 1:i + 2].count(":") == 1)):
                end = i
                break
        if end < 0 or not code[m.end():end].strip():
            continue
        end = m.end() + len(code[m.end():end].rstrip())
        yield m.start() - 1, end, "", f"dropped '{short(line[m.start():end])}'"


def condition_negated(code: str, line: str):
    if re.search(COMPARISON, code):
        return  # a comparison flipped says the same
    for m in re.finditer(r"\b(?:if|while)\s*\(", code):
        end = closing(code, m.end() - 1)
        if end > 0:
            inner = line[m.end():end]
            yield m.end(), end, f"!({inner})", f"negated '{short(line[m.start():end + 1])}'"


def boundary_moved(code: str, line: str):
    for m in re.finditer(COMPARISON, code):
        if m.group(1) in SHIFT:
            yield m.start(), m.end(), SHIFT[m.group(1)], f"'{m.group(1)}' -> '{SHIFT[m.group(1)]}'"


def constant_changed(code: str, line: str):
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9a-fA-F']+|\d[\d']*)([uUlL]*)(?![\w.'])", code):
        if m.group(1) == "0" and re.search(r"[=!]=\s*$", code[:m.start()]):
            continue  # a flip says the same
        digits = m.group(1).replace("'", "")
        value = int(digits, 16 if digits[:2].lower() == "0x" else 10)
        value = value - 1 if value > 0 else 1
        if digits[:2].lower() == "0x":
            new = digits[:2] + format(value, "X" if digits.upper() == digits.replace("x", "X") else "x")
        else:
            new = str(value)
        yield m.start(), m.end(), new + m.group(2), f"'{m.group(0)}' -> '{new + m.group(2)}'"


def flag_dropped(code: str, line: str):
    for m in re.finditer(r"(?<=\s)\|\s+([\w:]++)(?!\s*[(.\[]|->)", code):
        yield m.start() - 1, m.end(), "", f"dropped '| {m.group(1)}'"


def call_dropped(code: str, line: str, before: str):
    m = re.match(r"(\s*)(?:\w+(?:\.|->|::))*\w+\(.*\);\s*$", code)
    # A statement of its own: not the rest of one the line before began.
    starts = not before or before.startswith("#") or before.endswith((";", "{", "}", ":", ")", "else"))
    if m and starts and not code.lstrip().startswith("static_assert") and \
            closing(code, code.index("(")) == len(code.rstrip()) - 2:
        yield 0, len(line), m.group(1) + ";", f"dropped call '{short(line)}'"


# An error a caller tells apart, for its neighbour in meaning.
NEIGHBOURS = {"FileNotFound": "PathNotFound", "PathNotFound": "FileNotFound", "AccessDenied": "SharingViolation",
              "SharingViolation": "AccessDenied", "TimedOut": "SharingViolation"}
WIN32_NEIGHBOURS = {"ERROR_FILE_NOT_FOUND": "ERROR_PATH_NOT_FOUND", "ERROR_PATH_NOT_FOUND": "ERROR_FILE_NOT_FOUND",
                    "ERROR_ACCESS_DENIED": "ERROR_SHARING_VIOLATION", "ERROR_TIMEOUT": "ERROR_SHARING_VIOLATION",
                    "ERROR_SHARING_VIOLATION": "ERROR_ACCESS_DENIED"}


def neighbour_swapped(code: str, line: str):
    for m in re.finditer(r"\bk(" + "|".join(NEIGHBOURS) + r")\b|\b(" + "|".join(WIN32_NEIGHBOURS) + r")\b", code):
        old = m.group(0)
        new = "k" + NEIGHBOURS[m.group(1)] if m.group(1) else WIN32_NEIGHBOURS[m.group(2)]
        yield m.start(), m.end(), new, f"'{old}' -> '{new}'"


def boolean_flipped(code: str, line: str):
    for m in re.finditer(r"\b(TRUE|FALSE)\b", code):
        new = "FALSE" if m.group(1) == "TRUE" else "TRUE"
        yield m.start(), m.end(), new, f"'{m.group(1)}' -> '{new}'"


def reset_dropped(code: str, line: str):
    """A statement that puts a state back: `x = 0;`, `x = nullptr;`, `x = false;`, `x = {};`."""
    m = re.match(r"(\s*)[\w.\->\[\]*]+ = (?:0[uU]?|nullptr|false|\{\});\s*$", code)
    if m:
        yield 0, len(line), m.group(1) + ";", f"dropped reset '{short(line)}'"


def unit_dropped(code: str, line: str):
    """A length's unit: `* sizeof(...)` or `/ sizeof(...)`, `* 2` or `/ 2`, so bytes and characters
    are taken for each other."""
    for m in re.finditer(r"\s[*/]\s+(?:sizeof\s*(?:\([^()]*\)|\w+)|2(?![\w.']))", code):
        yield m.start(), m.end(), "", f"dropped '{line[m.start():m.end()].strip()}'"


KINDS = [status_accepted, comparison_flipped, operand_dropped, neighbour_swapped, boolean_flipped, reset_dropped,
         unit_dropped, condition_negated, boundary_moved, constant_changed, flag_dropped, call_dropped]


def faults_of(line: str, before: str) -> list:
    """The first faults of each kind, in the kinds' order, then the second of each, and so on."""
    if NOT_CODE.match(line):
        return []
    code = masked(line)
    ranked = []
    for order, kind in enumerate(KINDS):
        found = kind(code, line, before) if kind is call_dropped else kind(code, line)
        for nth, (start, end, new, what) in enumerate(found):
            ranked.append((nth, order, line[:start] + new + line[end:], what))
    chosen = []
    for _, _, text, what in sorted(ranked, key=lambda r: r[:2]):
        if text != line and all(text != c[0] for c in chosen):
            chosen.append((text, what))
    return chosen[:PER_LINE]


# ---- where they run ------------------------------------------------------------------------------

def host_files() -> set:
    """The files under src/ the host build compiles: its sources and what they include."""
    commands = ROOT / "build" / "host" / "compile_commands.json"
    if not commands.is_file():
        run_quietly(["cmake", "--preset", "host"], "configure", 600)
    todo = [Path(entry["file"]) for entry in json.loads(commands.read_text())]
    seen = set()
    while todo:
        path = todo.pop().resolve()
        if path in seen or not path.is_file():
            continue
        seen.add(path)
        for name in re.findall(r'^\s*#\s*include\s+"([^"]+)"', path.read_text(encoding="utf-8"), re.M):
            todo += [path.parent / name, ROOT / "src" / name]
    return {str(p.relative_to(ROOT)) for p in seen if p.is_relative_to(ROOT / "src")}


# ---- running -------------------------------------------------------------------------------------

def run(command: list, log: Path, timeout: int) -> bool:
    """True when the command succeeds. It runs in a session of its own, ended whole when it times
    out or the probe is stopped, so that nothing it started outlives the probe."""
    with open(log, "ab") as out:
        child = subprocess.Popen(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True)
        try:
            return child.wait(timeout=timeout) == 0
        except subprocess.TimeoutExpired:
            return False
        finally:
            if child.returncode is None:
                try:
                    os.killpg(child.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                child.wait()


def run_quietly(command: list, name: str, timeout: int) -> None:
    LOGS.mkdir(parents=True, exist_ok=True)
    log = LOGS / f"{name}.log"
    log.unlink(missing_ok=True)
    if not run(command, log, timeout):
        sys.exit(f"probe: {' '.join(command)} failed with no fault planted; see {log}")


def trial(host: bool, wine: str, log: Path) -> str:
    if host:
        if not run(["cmake", "--build", "--preset", "host"], log, 1800):
            return "not built"
        # One failing test is enough; a fault that makes every walk loop would otherwise wait out
        # the timeout of each test in turn. (Not for Wine's tests: their fixture must come down.)
        if not run(["ctest", "--preset", "quick", "--timeout", "30", "--stop-on-failure"], log, 1800):
            return "caught"
        if not wine:
            return "missed"
    if not run(["cmake", "--build", "--preset", "win32"], log, 1800):
        return "not built"
    if not run(["ctest", "--preset", "win32", "-R", wine, "--timeout", "120"], log, 3600):
        return "caught"
    return "missed"


class Stopped(Exception):
    pass


def stop(signum, frame):
    raise Stopped(signum)


def probe(faults: list, wine: str) -> dict:
    originals, results = {}, {}
    try:
        for index, (path, number, text, what, host) in enumerate(faults, 1):
            file = ROOT / path
            original = originals.setdefault(path, file.read_bytes())
            lines = original.decode("utf-8").splitlines(keepends=True)
            ending = lines[number - 1][len(lines[number - 1].rstrip("\r\n")):]
            lines[number - 1] = text + ending
            file.write_bytes("".join(lines).encode("utf-8"))
            log = LOGS / f"{index}.log"
            log.write_text(f"{path}:{number}: {what}\n")
            try:
                results[index - 1] = trial(host, wine, log)
            finally:
                # Written anew, so the next build sees it changed and builds it again.
                file.write_bytes(original)
            print(f"[{index}/{len(faults)}] {path}:{number}: {what}: {results[index - 1]}", flush=True)
    finally:
        # A second Ctrl-C must not stop the restoring.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        for path, original in originals.items():
            (ROOT / path).write_bytes(original)
        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
    return results


def main() -> int:
    parser = argparse.ArgumentParser(
        prog="scripts/probe.sh", description="Plants one-line faults in the lines added under src/ since "
        "BASE, one at a time, runs the quick loop for each and prints the faults no test caught.")
    parser.add_argument("base", nargs="?", help="the commit the change starts from (default: the last merge)")
    parser.add_argument("--list", action="store_true", help="print the faults it would plant, run nothing")
    parser.add_argument("--max", type=int, metavar="N", help="plant at most N faults, the first in file "
                        "order (Windows-only ones left out without --wine do not count)")
    parser.add_argument("--wine", metavar="REGEX", help="run the Windows-only faults too, and every fault "
                        "the quick loop misses, against the win32 tests REGEX matches")
    args = parser.parse_args()
    base = args.base or git("log", "--merges", "-1", "--format=%H").strip()
    if not base:
        sys.exit("probe: no merge commit on this branch; give BASE")
    base = git("rev-parse", "--verify", f"{base}^{{commit}}").strip()
    # The lines are HEAD's, as blame numbers them, so the files must be HEAD's; and with nothing
    # uncommitted, no restore can take away an edit of someone's.
    if not args.list and git("status", "--porcelain", "--", "src"):
        sys.exit("probe: src/ has uncommitted changes; commit or stash them first")

    host = host_files()
    plan = [(path, number, text, what, path in host)
            for path, number, line, before in new_lines(base) for text, what in faults_of(line, before)]
    # Each fault labelled once: two of one kind on a line are told apart by their place.
    seen = Counter()
    for i, (path, number, text, what, runs) in enumerate(plan):
        seen[(path, number, what)] += 1
        if seen[(path, number, what)] > 1:
            plan[i] = (path, number, text, f"{what} (#{seen[(path, number, what)]})", runs)
    planted = [f for f in plan if f[4] or args.wine][:args.max]
    unrun = [f for f in plan if not (f[4] or args.wine)]
    if args.list:
        for path, number, _, what, runs in [*planted, *unrun]:
            print(f"{path}:{number}: {what}" + ("" if runs or args.wine else "  (Windows-only, not run)"))
        print(f"{len(planted)} to plant, {len(unrun)} Windows-only, not run (base {base[:7]})")
        return 0

    print(f"base {base[:7]}: {len(planted)} faults to plant, {len(unrun)} Windows-only, not run", flush=True)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        return run_all(args.wine, planted, unrun)
    except Stopped:
        print("probe: stopped; every file is as it was", file=sys.stderr)
        return 130


def run_all(wine: str, planted: list, unrun: list) -> int:
    for log in LOGS.glob("*.log"):
        log.unlink()
    run_quietly(["cmake", "--preset", "host"], "configure", 600)
    run_quietly(["cmake", "--build", "--preset", "host"], "build", 1800)
    run_quietly(["ctest", "--preset", "quick", "--timeout", "30"], "test", 1800)
    if wine:
        if not (ROOT / "build" / "win32" / "CMakeCache.txt").is_file():
            run_quietly(["cmake", "--preset", "win32"], "configure-win32", 600)
        run_quietly(["cmake", "--build", "--preset", "win32"], "build-win32", 3600)
        if "Total Tests: 0" in subprocess.run(["ctest", "--preset", "win32", "-N", "-R", wine], cwd=ROOT,
                                              capture_output=True, text=True).stdout:
            sys.exit(f"probe: no win32 test matches {wine!r}")
        run_quietly(["ctest", "--preset", "win32", "-R", wine, "--timeout", "120"], "test-win32", 3600)

    results = probe(planted, wine)
    # The build trees as the sources are again, for whoever builds next.
    run_quietly(["cmake", "--build", "--preset", "host"], "build", 1800)
    if wine:
        run_quietly(["cmake", "--build", "--preset", "win32"], "build-win32", 3600)

    outcome = Counter(results.values())
    if unrun:
        print("Windows-only, not run:")
        for path, number, _, what, _ in unrun:
            print(f"{path}:{number}: {what}")
    print("not caught:" if outcome["missed"] else "not caught: none")
    for index, result in sorted(results.items()):
        if result == "missed":
            path, number, _, what, _ = planted[index]
            print(f"{path}:{number}: {what}")
    print(f"not built: {outcome['not built']}")
    print(f"Windows-only, not run: {len(unrun)}")
    left_out = f" ({len(unrun)} Windows-only faults left out: --wine runs them)" if unrun else ""
    print(f"caught {outcome['caught']} of {outcome['caught'] + outcome['missed']}{left_out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
