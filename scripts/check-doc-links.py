#!/usr/bin/env python3
"""Checks the user documentation of a linkwatch source tree.

    check-doc-links.py [root]      checks the tree (default: this repository)
    check-doc-links.py --self-test checks that each kind of fault is found

Fails (exit 1, one line per fault) when
- a relative link of README.md or docs/*.md names a file that does not exist,
  or an #anchor that is no heading of the file it points to (anchors as
  GitHub makes them: lower case, blanks to '-', punctuation dropped, a
  repeated heading gets -1, -2, ...);
- a key of examples/*.txt (also a commented-out one) is named in none of them;
- a program message in src/ names README.md or docs/<page>.md (with or
  without #anchor) that does not exist;
- .ci/run does not run the test command that README.md shows.
Needs only python3.
"""
import os
import re
import sys
import tempfile

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
SOURCE_REF = re.compile(r"\b((?:README\.md|docs/[A-Za-z0-9_.-]+\.md))(#[A-Za-z0-9_-]+)?")
EXAMPLE_KEY = re.compile(r"^\s*\*?\s*([a-z_]+)\s*:\s*\"")


def slug(heading):
    text = re.sub(r"`([^`]*)`", r"\1", heading.strip())
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)  # a link shows its text
    text = text.lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def prose_lines(text):
    """(line number, line) of the text outside fenced and indented code."""
    fence = None
    previous_blank = True
    in_indented = False
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.lstrip()
        if fence:
            if stripped.startswith(fence):
                fence = None
            previous_blank = False
            continue
        if stripped.startswith("```") or stripped.startswith("~~~"):
            fence = stripped[:3]
            continue
        indented = line.startswith("    ") or line.startswith("\t")
        if indented and (previous_blank or in_indented) and not stripped.startswith(("-", "*", "|")):
            in_indented = True
            previous_blank = False
            continue
        in_indented = False
        previous_blank = stripped == ""
        yield number, line


def anchors(path):
    seen = {}
    result = set()
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for _, line in prose_lines(text):
        m = re.match(r"^(#{1,6})\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        base = slug(m.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def doc_files(root):
    files = [os.path.join(root, "README.md")]
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        files += sorted(os.path.join(docs, n) for n in os.listdir(docs) if n.endswith(".md"))
    return [f for f in files if os.path.isfile(f)]


def check_target(root, source, target, where, faults, cache):
    path_part, _, anchor = target.partition("#")
    path = os.path.normpath(os.path.join(os.path.dirname(source), path_part)) if path_part else source
    if not os.path.exists(path):
        faults.append(f"{where}: {target}: no file {os.path.relpath(path, root)}")
        return
    if anchor:
        if not path.endswith(".md"):
            faults.append(f"{where}: {target}: an anchor into a file that is no .md page")
            return
        if path not in cache:
            cache[path] = anchors(path)
        if anchor not in cache[path]:
            faults.append(f"{where}: {target}: no heading #{anchor} in {os.path.relpath(path, root)}")


def check(root):
    faults = []
    cache = {}
    docs = doc_files(root)
    if not docs:
        return [f"{root}: no README.md"]
    all_text = ""
    for source in docs:
        with open(source, encoding="utf-8") as f:
            text = f.read()
        all_text += text
        rel = os.path.relpath(source, root)
        for number, line in prose_lines(text):
            line = re.sub(r"`[^`]*`", "", line)  # code spans hold no links
            for m in LINK.finditer(line):
                target = m.group(1)
                if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
                    continue  # http:, https:, mailto:
                check_target(root, source, target, f"{rel}:{number}", faults, cache)

    examples = os.path.join(root, "examples")
    if os.path.isdir(examples):
        for name in sorted(os.listdir(examples)):
            if not name.endswith(".txt"):
                continue
            with open(os.path.join(examples, name), encoding="utf-8-sig") as f:
                for number, line in enumerate(f, 1):
                    m = EXAMPLE_KEY.match(line)
                    if m and f"`{m.group(1)}`" not in all_text:
                        faults.append(f"examples/{name}:{number}: key {m.group(1)} is named in no document")

    src = os.path.join(root, "src")
    for folder, _, names in os.walk(src):
        for name in sorted(names):
            if not name.endswith((".cc", ".h")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    for m in SOURCE_REF.finditer(line):
                        target = m.group(1) + (m.group(2) or "")
                        where = f"{os.path.relpath(path, root)}:{number}"
                        check_target(root, os.path.join(root, "README.md"), target, where, faults, cache)

    ci = os.path.join(root, ".ci", "run")
    if os.path.isfile(ci):
        with open(ci, encoding="utf-8") as f:
            ci_text = f.read()
        m = re.search(r"(scripts/[A-Za-z0-9_.-]+)", ci_text)
        readme = open(os.path.join(root, "README.md"), encoding="utf-8").read()
        first_block = re.search(r"```[a-z]*\n(.*?)```", readme, re.S)
        if not m or not first_block or not re.search(rf"^{re.escape(m.group(1))}\b", first_block.group(1), re.M):
            faults.append(".ci/run: does not run a command of README.md's first code block")
    return faults


def self_test():
    """Each row: files of a small tree, and a piece every fault line must show
    (None: the tree is clean)."""
    good_readme = ("# Tool\n\n```sh\nscripts/test.sh\n```\n\n## First steps\n\n"
                   "See [a](docs/a.md#the-key-k), [b](docs/a.md#when--check-fails), "
                   "[c](#first-steps), [x](https://example.org/#nothing).\n")
    good_a = ("# A\n\n## The key `k`\n\nUse `k` here. Back to [top](../README.md).\n\n"
              "## When -check fails\n\n    [not a link](nowhere.md)\n\n## Twice\n\n## Twice\n\n"
              "[second](#twice-1)\n")
    base = {
        "README.md": good_readme,
        "docs/a.md": good_a,
        "examples/x.txt": '* k : "1"\n',
        ".ci/run": 'exec "$(dirname "$0")/../scripts/test.sh"\n',
        "src/m.cc": 'const char* kHint = "see docs/a.md#the-key-k";\n',
    }
    rows = [
        ({}, None),
        ({"docs/a.md": good_a.replace("../README.md", "../READ.md")}, "no file READ.md"),
        ({"README.md": good_readme.replace("#the-key-k", "#the-key")}, "no heading #the-key in docs/a.md"),
        ({"README.md": good_readme.replace("#first-steps", "#first_steps")}, "no heading #first_steps"),
        ({"docs/a.md": good_a.replace("#twice-1", "#twice-2")}, "no heading #twice-2"),
        ({"examples/x.txt": 'k : "1"\nother_key : "2"\n'}, "key other_key is named in no document"),
        ({"src/m.cc": 'const char* kHint = "see README.md#gone";\n'}, "src/m.cc:1: README.md#gone"),
        ({"src/m.cc": 'const char* kHint = "see docs/b.md";\n'}, "no file docs/b.md"),
        ({".ci/run": 'exec scripts/other.sh\n'}, ".ci/run"),
    ]
    failures = 0
    for number, (changes, expected) in enumerate(rows):
        with tempfile.TemporaryDirectory() as root:
            for name, text in {**base, **changes}.items():
                path = os.path.join(root, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
            faults = check(root)
            ok = (not faults) if expected is None else (len(faults) == 1 and expected in faults[0])
            if not ok:
                failures += 1
                print(f"self-test row {number}: expected {expected!r}, found {faults}")
    print(f"self-test: {len(rows) - failures} of {len(rows)} rows right")
    return 1 if failures else 0


def main(argv):
    if len(argv) > 1 and argv[1] == "--self-test":
        return self_test()
    root = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    faults = check(root)
    for fault in faults:
        print(fault)
    print(f"{len(doc_files(root))} documents checked: {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
