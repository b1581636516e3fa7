#!/usr/bin/env python3
"""Writes the page templates (viewer.html, spikes.html, timeline.html, view.html) from their sources in nivra/viz/web.

A shipped template is one offline file. Its skeleton, web/<page>.html, holds the markup and
the placeholders; each directive (on lines of its own) is replaced by the sources it names:

    <!--@style theme.css base.css viewer.css-->   one <style> element
    <!--@script theme.js-->                        one <script>, the sources' code at top level
    <!--@script-iife format.js viewer-util.js-->   one <script>, the sources sharing one private
                                                   strict-mode function scope

Every source starts with a line naming itself and its job ("// format.js: ..." or
"/* theme.css: ... */"); each script opens with a map of its sections made from those lines.
PAGES below says how each page is filled. The build runs this script (CMakeLists.txt) and
installs its output beside the extension modules. Standard library only.

Usage: assemble_templates.py OUTDIR
"""
from __future__ import annotations

import re
import string
import sys
from dataclasses import dataclass
from pathlib import Path

WEB = Path(__file__).resolve().parent.parent / "nivra" / "viz" / "web"


@dataclass(frozen=True)
class Page:
    placeholders: tuple[str, ...]   # as written in the skeleton; sources must not contain them
    dollar_template: bool = False   # a string.Template: every other "$" is written "$$"
    ascii: bool = False             # reads the same whatever encoding writes the page


PAGES = {
    # nivra.viz.render replaces each placeholder (str.replace).
    "viewer.html": Page(("{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}")),
    # nivra.viz.spikes fills it with string.Template.substitute.
    "spikes.html": Page(("$title", "$data_json"), dollar_template=True, ascii=True),
    # nivra.viz.timeline replaces both placeholders in one pass (re.sub).
    "timeline.html": Page(("{{TITLE}}", "{{DATA_JSON}}")),
    # nivra.viz.view serves it with the title replaced (str.replace); it asks for the rest.
    "view.html": Page(("{{TITLE}}",), ascii=True),
}

DIRECTIVE = re.compile(r"^<!--@(style|script|script-iife) ([^>]*?) ?-->$")
HEADER = re.compile(r"^(?://|/\*) ?([\w.-]+): (.+?)(?: \*/)?$")
CLOSING = re.compile(r"</(script|style)", re.I)


class AssemblyError(Exception):
    pass


def read_source(name: str, web: Path) -> tuple[str, str]:
    """A source's text and the job its first line names."""
    path = web / name
    if not path.is_file():
        raise AssemblyError(f"{name}: no such source in {web}")
    text = path.read_text(encoding="utf-8")
    head = HEADER.match(text.split("\n", 1)[0])
    if not head or head.group(1) != name:
        raise AssemblyError(f'{name}: the first line must be "// {name}: what it does" (or /* ... */)')
    if CLOSING.search(text):
        raise AssemblyError(f"{name}: contains '</{CLOSING.search(text).group(1)}', which would end the element early")
    return text.rstrip("\n") + "\n", head.group(2)


def section_map(page: str, names: list[str], jobs: list[str]) -> str:
    width = max(len(n) for n in names)
    lines = [f"/* {page}: this script's sections, one per source in nivra/viz/web/"]
    lines += [f" *   {n.ljust(width)}  {job}" for n, job in zip(names, jobs)]
    return "\n".join(lines) + "\n */\n"


def expand(page: str, kind: str, names: list[str], spec: Page, web: Path) -> str:
    texts, jobs = [], []
    for name in names:
        text, job = read_source(name, web)
        for ph in spec.placeholders:
            if ph in text:
                raise AssemblyError(f"{name}: contains the placeholder {ph} of {page}")
        if spec.dollar_template:
            text = text.replace("$", "$$")
        texts.append(text)
        jobs.append(job)
    body = "\n".join(texts)
    if kind == "style":
        return "<style>\n" + body + "</style>\n"
    # One source's own first line says what the script is; more get a map.
    head = section_map(page, names, jobs) if len(names) > 1 else ""
    if kind == "script-iife":
        body = '(function () {\n"use strict";\n\n' + body + "})();\n"
    return "<script>\n" + head + body + "</script>\n"


def check(page: str, text: str, spec: Page) -> None:
    if spec.ascii and not text.isascii():
        line = next(i for i, ln in enumerate(text.splitlines(), 1) if not ln.isascii())
        raise AssemblyError(f"{page} must be ASCII (use \\u escapes or entities): line {line}")
    if spec.dollar_template:
        template = string.Template(text)
        found = set(template.get_identifiers()) if template.is_valid() else None
        want = {ph.lstrip("$") for ph in spec.placeholders}
        if found != want:
            raise AssemblyError(f"{page}: placeholders {sorted(found or [])} (a stray '$'?), expected {sorted(want)}")
    else:
        missing = [ph for ph in spec.placeholders if ph not in text]
        if missing:
            raise AssemblyError(f"{page}: the skeleton lacks {', '.join(missing)}")


def assemble(page: str, web: Path = WEB) -> str:
    """The template `page` as the build installs it."""
    spec = PAGES.get(page)
    if spec is None:
        raise AssemblyError(f"{page}: not a page; add it to PAGES in {Path(__file__).name}")
    out, pending = [], ""
    for line in (web / page).read_text(encoding="utf-8").splitlines(keepends=True):
        if not pending and not line.startswith("<!--@"):
            out.append(line)
            continue
        # A directive may go on over several lines, up to its "-->".
        pending += line.strip() + " "
        if not pending.rstrip().endswith("-->"):
            continue
        m = DIRECTIVE.match(" ".join(pending.split()))
        if not m:
            raise AssemblyError(f"{page}: unknown directive {pending.strip()}")
        out.append(expand(page, m.group(1), m.group(2).split(), spec, web))
        pending = ""
    if pending:
        raise AssemblyError(f"{page}: unterminated directive {pending.strip()}")
    text = "".join(out)
    check(page, text, spec)
    return text


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__.rsplit("Usage: ", 1)[1].strip(), file=sys.stderr)
        return 2
    outdir = Path(argv[0])
    skeletons = sorted(p.name for p in WEB.glob("*.html"))
    try:
        if skeletons != sorted(PAGES):
            raise AssemblyError(f"skeletons {skeletons} in {WEB} do not match PAGES {sorted(PAGES)}")
        pages = {name: assemble(name) for name in skeletons}
    except (AssemblyError, OSError) as err:
        print(f"assemble_templates: error: {err}", file=sys.stderr)
        return 1
    outdir.mkdir(parents=True, exist_ok=True)
    for name, text in pages.items():
        (outdir / name).write_text(text, encoding="utf-8", newline="\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
