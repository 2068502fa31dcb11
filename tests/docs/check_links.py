#!/usr/bin/python3
"""Checks that every relative link and anchor of the guide leads somewhere.

check_links.py ROOT            the README and docs/*.md under ROOT
check_links.py FILE.md...      those files alone

Each link to a file must name one that exists, and an anchor (#...) must be
the slug of a heading of the page it names, as GitHub makes them. Links with a
scheme (https:, mailto:) are not followed. Prints one line a broken link and
exits 1 when there is one.

The system's interpreter, not whichever python3 comes first on PATH: the
Markdown parser is Debian's python3-markdown-it.
"""
import re
import sys
from pathlib import Path
from urllib.parse import unquote, urlsplit

from markdown_it import MarkdownIt

# Tables on: a link in a table cell is found either way, but a cell's inline
# code must be read as code, not as text with a link in it.
_parser = MarkdownIt("commonmark").enable("table")


def slug(text):
    """GitHub's anchor for a heading's rendered text."""
    text = text.strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def _rendered_text(inline):
    # What the reader sees: code spans keep their text, emphasis its content,
    # a link its label.
    return "".join(c.content for c in inline.children or [] if c.type in ("text", "code_inline"))


def anchors(tokens):
    """Every heading's anchor, with -1, -2 ... for repeated ones."""
    seen = {}
    result = set()
    for i, token in enumerate(tokens):
        if token.type != "heading_open":
            continue
        base = slug(_rendered_text(tokens[i + 1]))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def links(tokens):
    """(line, target) for every link and image outside code."""
    for token in tokens:
        if token.type != "inline":
            continue
        line = token.map[0] + 1 if token.map else 0
        for child in token.children or []:
            if child.type == "link_open":
                yield line, child.attrs.get("href", "")
            elif child.type == "image":
                yield line, child.attrs.get("src", "")


class Pages:
    def __init__(self):
        self._anchors = {}

    def anchors_of(self, path):
        path = path.resolve()
        if path not in self._anchors:
            self._anchors[path] = anchors(_parser.parse(path.read_text(encoding="utf-8")))
        return self._anchors[path]


def broken_links(page, pages):
    """The broken links of one page, each as 'FILE:LINE: TARGET: why'."""
    problems = []
    for line, target in links(_parser.parse(page.read_text(encoding="utf-8"))):
        parts = urlsplit(target)
        if parts.scheme or parts.netloc:
            continue
        where = f"{page}:{line}: {target}"
        destination = page.parent / unquote(parts.path) if parts.path else page
        if not destination.exists():
            problems.append(f"{where}: no such file")
            continue
        if not parts.fragment:
            continue
        if destination.suffix != ".md":
            # A source file's line anchor (#L10) is the host's business.
            continue
        if unquote(parts.fragment) not in pages.anchors_of(destination):
            problems.append(f"{where}: no heading {destination.name} makes #{parts.fragment}")
    return problems


def guide_pages(root):
    return [root / "README.md"] + sorted((root / "docs").glob("*.md"))


def main(argv):
    if len(argv) == 2 and Path(argv[1]).is_dir():
        files = guide_pages(Path(argv[1]))
    elif len(argv) >= 2:
        files = [Path(a) for a in argv[1:]]
    else:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    pages = Pages()
    problems = [p for f in files for p in broken_links(f, pages)]
    for p in problems:
        print(p)
    print(f"{len(files)} pages, {len(problems)} broken links", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
