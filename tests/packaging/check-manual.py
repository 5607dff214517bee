#!/usr/bin/python3
"""Checks an HTML manual folder: every link and image of every page resolves (files and #anchors),
every page is reachable from index.html, and every picture in it is shown somewhere.

  check-manual.py FOLDER      exit 0 when all is well; otherwise one line per fault, exit 1
"""
import html.parser
import os
import sys
import urllib.parse


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.links = []   # (attribute value, line)
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("id", "name") and value:
                self.ids.add(value)
            if value and ((tag == "a" and name == "href") or (tag in ("img", "link", "script") and name in ("src", "href"))):
                self.links.append((value, self.getpos()[0]))


def main(root):
    root = os.path.abspath(root)
    pages, faults = {}, []
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if name.endswith(".html"):
                page = Page()
                with open(path, encoding="utf-8") as f:
                    page.feed(f.read())
                pages[path] = page
    index = os.path.join(root, "index.html")
    if index not in pages:
        return ["index.html is missing"]

    used = set()
    for path, page in sorted(pages.items()):
        where = os.path.relpath(path, root)
        for value, line in page.links:
            url = urllib.parse.urlsplit(value)
            if url.scheme or url.netloc:
                if url.scheme not in ("http", "https", "mailto", "man"):
                    faults.append("%s:%d: unexpected link %s" % (where, line, value))
                continue
            target = os.path.normpath(os.path.join(os.path.dirname(path), urllib.parse.unquote(url.path))) if url.path else path
            if not target.startswith(root + os.sep):
                faults.append("%s:%d: %s leaves the manual" % (where, line, value))
                continue
            if not os.path.isfile(target):
                faults.append("%s:%d: %s: no such file" % (where, line, value))
                continue
            used.add(target)
            if url.fragment and (target not in pages or url.fragment not in pages[target].ids):
                faults.append("%s:%d: %s: no anchor #%s there" % (where, line, value, url.fragment))

    # Reachable from the first page, following links between pages.
    seen, todo = {index}, [index]
    while todo:
        path = todo.pop()
        for value, _ in pages[path].links:
            url = urllib.parse.urlsplit(value)
            if url.scheme or url.netloc or not url.path:
                continue
            target = os.path.normpath(os.path.join(os.path.dirname(path), urllib.parse.unquote(url.path)))
            if target in pages and target not in seen:
                seen.add(target)
                todo.append(target)
    for path in sorted(set(pages) - seen):
        faults.append("%s: not reachable from index.html" % os.path.relpath(path, root))

    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if name.endswith((".png", ".svg", ".jpg")) and path not in used:
                faults.append("%s: picture shown on no page" % os.path.relpath(path, root))
    return faults


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    problems = main(sys.argv[1])
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)
