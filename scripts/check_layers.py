#!/usr/bin/env python3
"""Checks the CMake link graph against the README's layer table.

    scripts/check_layers.py [REPO]

Reads every CMakeLists.txt of the suite's own code (not tests/, fuzz/, bench/ folders), takes the
folder each library or program is defined in, and every target_link_libraries arrow between two
of them. An arrow from one layer's folder to another's must be allowed by the table in README.md
(the lines `| folder/ | may use |` under "Layers"); a folder inside a layer (client/ui/dialogs)
belongs to the longest layer that contains it. Exits 1 listing each arrow the table does not
allow, 2 when the table cannot be read.
"""
import os
import re
import sys

SKIP = {"tests", "fuzz", "bench", "build", ".git", "cmake"}


def read_table(readme):
    text = open(readme, encoding="utf-8").read()
    start = text.find("| layer | may use |")
    if start < 0:
        sys.exit("check_layers: no layer table ('| layer | may use |') in " + readme)
    allowed = {}
    for line in text[start:].splitlines()[2:]:
        if not line.startswith("|"):
            break
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        folders = re.findall(r"`([^`]+)/`", cells[0])
        uses = set(re.findall(r"`([^`]+)/`", cells[1]))
        for folder in folders:
            allowed[folder] = uses
    if not allowed:
        sys.exit("check_layers: the layer table is empty")
    return allowed


def read_graph(repo):
    owner, arrows = {}, []
    for folder, dirs, files in os.walk(repo):
        dirs[:] = [d for d in dirs if d not in SKIP and not d.startswith("build")]
        if "CMakeLists.txt" not in files:
            continue
        rel = os.path.relpath(folder, repo).replace(os.sep, "/")
        text = re.sub(r"#[^\n]*", "", open(os.path.join(folder, "CMakeLists.txt"), encoding="utf-8").read())
        for m in re.finditer(r"\badd_(?:library|executable)\(\s*([\w.-]+)", text):
            owner[m.group(1)] = rel
        for m in re.finditer(r"\btarget_link_libraries\(\s*([\w.-]+)([^)]*)\)", text):
            for dep in re.findall(r"[\w.:-]+", m.group(2)):
                arrows.append((m.group(1), dep, rel))
    return owner, arrows


def layer_of(folder, layers):
    best = None
    for layer in layers:
        if folder == layer or folder.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def main():
    repo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    allowed = read_table(os.path.join(repo, "README.md"))
    owner, arrows = read_graph(repo)
    bad = []
    for source, dep, folder in arrows:
        if dep not in owner:
            continue  # a system or third-party library
        here = layer_of(owner.get(source, folder), allowed)
        there = layer_of(owner[dep], allowed)
        if here is None or there is None:
            bad.append(f"{source} ({owner.get(source, folder)}) -> {dep} ({owner[dep]}): folder not in the table")
        elif here != there and there not in allowed[here]:
            bad.append(f"{source} ({here}/) -> {dep} ({there}/): not allowed by the README's layer table")
    for line in sorted(set(bad)):
        print("check_layers: " + line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
