"""Every relative link of the Markdown pages reaches a file, and its anchor a
heading of that file, as GitHub names headings."""

import re
import unicodedata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = sorted([*ROOT.glob("*.md"), *(ROOT / "docs").glob("*.md")])
LINK = re.compile(r"\]\(([^()\s]*)\)")
FENCE = re.compile(r"^(```|~~~)")


def prose_lines(text):
    """The lines outside fenced code blocks."""
    fenced = False
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced:
            yield line


def slug(heading):
    """GitHub's anchor for a heading: lower case, punctuation dropped (`_`
    and `-` kept), spaces as hyphens."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).strip().lower()
    kept = "".join(
        c for c in text
        if c in " -_" or unicodedata.category(c)[0] in "LNM"
    )
    return kept.replace(" ", "-")


def anchors(page):
    seen = {}
    found = set()
    for line in prose_lines(page.read_text()):
        m = re.match(r"#{1,6} +(.*?) *#* *$", line)
        if not m:
            continue
        base = slug(m.group(1))
        n = seen.get(base, 0)
        seen[base] = n + 1
        found.add(base if n == 0 else f"{base}-{n}")
    return found


def links(page):
    for line in prose_lines(page.read_text()):
        for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
            if not re.match(r"[a-z]+:", target):
                yield target


def broken_links(page):
    broken = []
    for target in links(page):
        path, _, anchor = target.partition("#")
        dest = (page.parent / path).resolve() if path else page
        if not dest.exists():
            broken.append(f"{target} (no such file)")
        elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
            broken.append(f"{target} (no such heading in {dest.name})")
    return broken


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_relative_links_resolve(page):
    assert broken_links(page) == []


def test_the_check_finds_what_github_would_not(tmp_path):
    (tmp_path / "other.md").write_text("# Other\n\n## The bridge: `ferrant.Handler`\n")
    page = tmp_path / "page.md"
    page.write_text(
        "# Page\n\n## Exit\n\n## Exit\n\n```sh\n# not a heading\n```\n\n"
        "[a](#exit) [b](#exit-1) [c](#exit-2) [d](#not-a-heading)\n"
        "[e](other.md#the-bridge-ferranthandler) [f](other.md#the-bridge) [g](gone.md)\n"
        "`[h](#in-code)` [i](https://example.com/#x)\n"
    )
    assert broken_links(page) == [
        "#exit-2 (no such heading in page.md)",
        "#not-a-heading (no such heading in page.md)",
        "other.md#the-bridge (no such heading in other.md)",
        "gone.md (no such file)",
    ]
