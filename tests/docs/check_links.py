#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md must lead somewhere: the file exists, and an
#anchor names a heading of that page (as GitHub spells heading anchors) or an explicit id."""
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
    print("\n".join(dead) if dead else f"{len(pages)} pages, every relative link leads somewhere")
    return 1 if dead else 0


if __name__ == "__main__":
    sys.exit(main())
