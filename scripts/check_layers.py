#!/usr/bin/env python3
"""Checks the CMake link graph and include folders against the README's layer table.

    scripts/check_layers.py [REPO]

Reads every CMakeLists.txt of the suite's own code (not tests/, fuzz/, bench/ folders), takes the
folder each library or program is defined in, and every arrow between two of them: each
target_link_libraries dependency (also when named through a variable set with set() or
list(APPEND) in that file or a folder above it, quoted, or inside a generator expression such as
$<BUILD_INTERFACE:...>), each folder that target_include_directories adds when it lies in another
folder of the suite, and the same for the whole folder's link_libraries and include_directories. An arrow from one layer's folder to another's
must be allowed by the table in README.md (the lines `| folder/ | may use |` under "Layers"); a
folder inside a layer (client/ui/dialogs) belongs to the longest layer that contains it. Exits 1
listing each arrow the table does not allow, 2 when the table cannot be read.
"""
import os
import re
import sys

SKIP = {"tests", "fuzz", "bench", "build", ".git", "cmake"}
SOURCE_DIRS = ("CMAKE_SOURCE_DIR", "PROJECT_SOURCE_DIR", "CMAKE_CURRENT_SOURCE_DIR", "CMAKE_CURRENT_LIST_DIR")


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


def calls(text, name):
    """(first word, the rest) of every call of `name`, nested parentheses (generator expressions) kept."""
    for m in re.finditer(r"\b" + name + r"\s*\(", text):
        depth, k = 1, m.end()
        while k < len(text) and depth:
            depth += {"(": 1, ")": -1}.get(text[k], 0)
            k += 1
        words = text[m.end():k - 1].split()
        if words:
            yield words[0], words[1:]


def unwrap(word):
    """The payload of a generator expression ($<COND:payload>, nested too); the word itself otherwise."""
    while word.startswith("$<") and word.endswith(">"):
        depth, k = 0, 0
        while k < len(word):
            if word.startswith("$<", k):
                depth, k = depth + 1, k + 2
                continue
            if word[k] == ">":
                depth -= 1
            elif word[k] == ":" and depth == 1:
                break
            k += 1
        if k >= len(word):
            return ""  # no payload ($<CONFIG>): names nothing
        word = word[k + 1:-1]
    return word


def expand(word, variables, seen=()):
    """The words a ${VAR} reference stands for (several for a list); the word itself otherwise.
    Quotes, generator expressions and ';'-lists are taken apart first."""
    out = []
    for part in unwrap(word.strip('"')).split(";"):
        m = re.fullmatch(r"\$\{(\w+)\}", part)
        if m and m.group(1) in variables and m.group(1) not in seen:
            for w in variables[m.group(1)]:
                out += expand(w, variables, seen + (m.group(1),))
        elif part:
            out.append(part)
    return out


def read_graph(repo):
    owner, links, includes = {}, [], []
    scopes = {}  # folder -> the variables set there and above, as CMake's directory scopes pass them down
    for folder, dirs, files in os.walk(repo):
        dirs[:] = sorted(d for d in dirs if d not in SKIP and not d.startswith("build"))
        rel = os.path.relpath(folder, repo).replace(os.sep, "/")
        variables = dict(scopes.get((os.path.dirname(rel) or ".") if rel != "." else None, {}))
        if "CMakeLists.txt" in files:
            text = re.sub(r"#[^\n]*", "", open(os.path.join(folder, "CMakeLists.txt"), encoding="utf-8").read())
            for name, rest in calls(text, "set"):
                variables[name] = [w.strip('"') for w in rest if w not in ("PARENT_SCOPE", "CACHE")]
            for verb, rest in calls(text, "list"):
                if verb == "APPEND" and rest:
                    variables.setdefault(rest[0], []).extend(w.strip('"') for w in rest[1:])
            for m in re.finditer(r"\badd_(?:library|executable)\(\s*([\w.-]+)", text):
                owner[m.group(1)] = rel
            # A folder-wide link or include folder counts for the folder itself (no target of that
            # name, so the arrow starts at the folder).
            uses = [(t, rest) for t, rest in calls(text, "target_link_libraries")]
            uses += [("link_libraries", [first] + rest) for first, rest in calls(text, "link_libraries")]
            for target, rest in uses:
                for word in rest:
                    for dep in expand(word, variables):
                        links.append((target, dep, rel))
            folders = [(t, rest) for t, rest in calls(text, "target_include_directories")]
            folders += [("include_directories", [first] + rest) for first, rest in calls(text, "include_directories")]
            for target, rest in folders:
                for word in rest:
                    for path in expand(word, variables):
                        where = include_folder(path, rel, repo)
                        if where is not None:
                            includes.append((target, where, rel))
        scopes[rel] = variables
    return owner, links, includes


def include_folder(path, here, repo):
    """The suite's folder (relative to the repo) an include path names, or None for system paths."""
    m = re.match(r"\$\{(\w+)\}(.*)", path)
    if m and m.group(1) in SOURCE_DIRS:
        base = here if "CURRENT" in m.group(1) else "."
        path = os.path.normpath(os.path.join(base, m.group(2).lstrip("/"))).replace(os.sep, "/")
    elif "$" in path or os.path.isabs(path) or not path or path.isupper():
        return None
    else:
        path = os.path.normpath(os.path.join(here, path)).replace(os.sep, "/")
    return None if path.startswith("..") else path


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
    owner, links, includes = read_graph(repo)
    arrows = [(s, d, owner[d], f, "links") for s, d, f in links if d in owner]
    arrows += [(s, path, path, f, "includes") for s, path, f in includes]
    bad = []
    for source, dep, dep_folder, folder, how in arrows:
        src_folder = owner.get(source, folder)
        here = layer_of(src_folder, allowed)
        there = layer_of(dep_folder, allowed)
        if there is None and how == "includes" and dep_folder.split("/")[0] in SKIP:
            there = dep_folder  # a folder outside every layer (tests/support): never for the suite's code
        if here is None or there is None:
            bad.append(f"{source} ({src_folder}) {how} {dep} ({dep_folder}): folder not in the table")
        elif here != there and there not in allowed[here]:
            bad.append(f"{source} ({here}/) {how} {dep} ({there}/): not allowed by the README's layer table")
    for line in sorted(set(bad)):
        print("check_layers: " + line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
