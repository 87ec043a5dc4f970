#!/usr/bin/env python3
"""Writes Debian's changelog from CHANGELOG.md: one entry per "## [VERSION] - DATE" section,
newest first, its list items as "  * " lines wrapped at 78 columns.

Usage: debian_changelog.py CHANGELOG.md "NAME <ADDRESS>" OUT
"""
import datetime
import re
import sys
import textwrap


def entries(markdown):
    version = None
    for line in markdown.splitlines():
        heading = re.match(r"## \[(\d+\.\d+\.\d+)\] - (\d{4}-\d{2}-\d{2})$", line)
        if heading:
            if version:
                yield version, date, items
            version, date, items = heading.group(1), heading.group(2), []
        elif version and line.startswith("- "):
            items.append(line[2:].strip())
        elif version and line.startswith("  ") and items:
            items[-1] += " " + line.strip()
    if version:
        yield version, date, items


def main():
    source, maintainer, out = sys.argv[1:4]
    with open(source, encoding="utf-8") as file:
        markdown = file.read()
    text = []
    for version, date, items in entries(markdown):
        text.append(f"skyhelm ({version}) unstable; urgency=medium\n\n")
        for item in items or ["Release."]:
            item = item.replace("`", "")
            text.append(textwrap.fill(item, width=78, initial_indent="  * ",
                                      subsequent_indent="    ") + "\n")
        day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
        text.append(f"\n -- {maintainer}  {day.strftime('%a, %d %b %Y %H:%M:%S +0000')}\n\n")
    if not text:
        sys.exit(f"{source}: no \"## [VERSION] - DATE\" section")
    with open(out, "w", encoding="utf-8") as file:
        file.write("".join(text).rstrip("\n") + "\n")


if __name__ == "__main__":
    main()
