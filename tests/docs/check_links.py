#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md must lead somewhere: the file exists, and an
#anchor names a heading of that page (as GitHub spells heading anchors) or an explicit id. And the
map in docs/layout.md ("Where each rule lives") must lead somewhere too: each function it names is
defined in the file it names."""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```.*?^```", re.S | re.M)


def anchors(page: Path) -> set:
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    found, seen = set(), {}
    for heading in re.findall(r"^#{1,6}\s+(.*?)\s*#*\s*$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower().replace("`", "")).replace(" ", "-")
        # GitHub numbers a repeated heading's anchor: -1, -2, ...
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    found.update(re.findall(r"""<a\s+(?:id|name)=["']([^"']+)["']""", text))
    return found


RULES = re.compile(r"<!-- rules:.*?-->(.*?)<!-- end of rules -->", re.S)


def defined(name: str, source: str) -> bool:
    """A function's definition (its name, its parameters, then its body) or a constant's."""
    function = rf"\b{re.escape(name)}\s*\([^;{{}}]*\)\s*(?:const\s*)?(?:noexcept\s*)?\{{"
    constant = rf"\b{re.escape(name)}\s*=\s*\{{"
    return re.search(function, source) is not None or re.search(constant, source) is not None


def stale_rules() -> list:
    """Each row of the map: `file` and its `functions`, every one defined there."""
    stale = []
    table = RULES.search((ROOT / "docs" / "layout.md").read_text(encoding="utf-8"))
    rows = [row for row in (table.group(1) if table else "").splitlines() if row.endswith("` |")]
    if not rows:
        return ["docs/layout.md: the map of where each rule lives is missing"]
    for row in rows:
        cells = [cell.strip() for cell in row.strip("|").split("|")]
        path = ROOT / cells[-2].strip("`")
        source = path.read_text(encoding="utf-8") if path.is_file() else ""
        for name in re.findall(r"`([A-Za-z_]\w*)`", cells[-1]):
            if not defined(name, source):
                stale.append(f"docs/layout.md: {name} is not defined in {cells[-2]}")
    return stale


def main() -> int:
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    dead = []
    for page in pages:
        text = FENCE.sub("", page.read_text(encoding="utf-8"))
        for target in LINK.findall(text):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto: are not checked
                continue
            path, _, anchor = target.partition("#")
            dest = (page.parent / path).resolve() if path else page
            if not dest.exists():
                dead.append(f"{page.relative_to(ROOT)}: {target}: no such file")
            elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
                dead.append(f"{page.relative_to(ROOT)}: {target}: no such anchor")
    dead += stale_rules()
    print("\n".join(dead) if dead else f"{len(pages)} pages, every relative link and the map lead somewhere")
    return 1 if dead else 0


if __name__ == "__main__":
    sys.exit(main())
