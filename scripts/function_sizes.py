#!/usr/bin/env python3
"""Sizes of functions, for keeping classes and functions small.

    scripts/function_sizes.py CLASS FILE...        one class: its lines, its functions, the long ones
    scripts/function_sizes.py --tree [--check] [REPO]
                                                   every function of the suite's code (free functions
                                                   too), tests, fuzz targets and benchmarks left out

A function's size is counted from the line of its name to its closing brace (comments, strings and
character literals skipped when braces are matched). A function over 80 lines is a smell, except a
protocol dispatcher. The class mode and --tree report and exit 0; --tree --check exits 1 when a
function of the suite's code is over 80 lines, so that CI keeps new ones out.
"""
import os
import re
import subprocess
import sys

LIMIT = 80
SKIP_DIRS = ("tests", "test", "fuzz", "bench", "build")
KEYWORDS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "decltype", "static_assert",
            "alignof", "alignas", "defined", "__attribute__", "noexcept", "requires", "throw", "new",
            "delete", "case", "do", "else", "operator"}


def strip(text):
    """The text with comments, strings and character literals blanked (newlines kept)."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i)); i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c in "\"'":
            if c == "'" and i > 0 and (text[i - 1].isalnum()) and i + 1 < n and text[i + 1].isalnum():
                out.append(" "); i += 1  # a digit separator (1'000'000)
                continue
            if c == '"' and i > 0 and text[i - 1] == "R":  # raw string R"x(...)x"
                k = text.find("(", i)
                delim = ")" + text[i + 1:k] + '"'
                j = text.find(delim, k) + len(delim)
            else:
                j = i + 1
                while j < n and text[j] != c and text[j] != "\n":
                    j += 2 if text[j] == "\\" else 1
                j += 1
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:j - 1]) + c); i = j
        else:
            out.append(c); i += 1
    return "".join(out)


def matching(text, open_at):
    """Index of the bracket closing the one at open_at."""
    pairs = {"{": "}", "(": ")", "[": "]"}
    want, depth = text[open_at], 0
    for k in range(open_at, len(text)):
        if text[k] == want:
            depth += 1
        elif text[k] == pairs[want]:
            depth -= 1
            if depth == 0:
                return k
    return len(text) - 1


def skip_space(text, k):
    while k < len(text) and text[k].isspace():
        k += 1
    return k


def body_after(text, k):
    """Index of the body's '{' when the text after a parameter list's ')' at k-1 opens a function
    body (qualifiers, trailing return type or a constructor's initialiser list between), else -1."""
    k = skip_space(text, k)
    m = re.match(r"(?:(?:const|override|final|mutable|volatile|&&|&|noexcept(?:\s*\([^)]*\))?|"
                 r"->\s*[\w:<>,\s*&]+)\s*)*", text[k:])
    k = skip_space(text, k + m.end())
    if k < len(text) and text[k] == "{":
        return k
    if k < len(text) and text[k] == ":" and not text.startswith("::", k):
        k += 1
        while True:  # member(args) or member{args}, separated by commas, then the body
            k = skip_space(text, k)
            m = re.match(r"[\w:<>,\s]*?(?=[({])", text[k:])
            if not m:
                return -1
            k += m.end()
            k = skip_space(text, matching(text, k) + 1)
            if k < len(text) and text[k] == ",":
                k += 1
                continue
            if text.startswith("...", k):
                k = skip_space(text, k + 3)
            return k if k < len(text) and text[k] == "{" else -1
    return -1


HEAD = re.compile(r"(?m)^[ \t]*(?:[\w:<>,*&~\[\]]+[ \t*&]+)*?((?:[\w]+::)*~?\w+|operator\s*\S+?)\s*\(")


def functions(text):
    """(name, first line, lines) of every function body in a stripped text, nested ones left out."""
    found, i = [], 0
    while True:
        m = HEAD.search(text, i)
        if not m:
            return found
        name = m.group(1)
        paren = m.end() - 1
        if name.split("::")[-1] in KEYWORDS or name.isupper():
            i = m.end()
            continue
        close = matching(text, paren)
        body = body_after(text, close + 1)
        if body < 0:
            i = m.end()
            continue
        end = matching(text, body)
        line = text.count("\n", 0, m.start(1)) + 1
        found.append((name, line, text.count("\n", m.start(1), end) + 1))
        i = end + 1


def class_mode(cls, files):
    funcs, total = [], 0
    for path in files:
        text = strip(open(path, encoding="utf-8").read())
        for name, _, lines in functions(text):
            if name.startswith(cls + "::"):
                funcs.append((lines, name.split("::", 1)[1], path))
                total += lines
        head = re.search(r"(?m)^class " + re.escape(cls) + r"\b[^;]*?\{", text)
        if head:
            end = matching(text, head.end() - 1)
            total += text.count("\n", head.start(), end) + 1
            inline = re.findall(r"\)\s*(?:const\s*)?(?:override\s*)?(?:noexcept\s*)?\{", text[head.end():end])
            funcs += [(1, "(inline)", path)] * len(inline)
    long = sorted((f for f in funcs if f[0] > LIMIT), reverse=True)
    print(f"{cls}: {total} lines, {len(funcs)} functions, {len(long)} over {LIMIT} lines")
    for lines, name, path in long:
        print(f"  {name} {lines} ({path})")
    return 0


def tree_files(repo):
    listed = subprocess.run(["git", "-C", repo, "ls-files", "-co", "--exclude-standard", "*.cpp", "*.h"],
                            capture_output=True, text=True)
    names = listed.stdout.split() if listed.returncode == 0 else [
        os.path.relpath(os.path.join(d, f), repo) for d, _, fs in os.walk(repo) for f in fs
        if f.endswith((".cpp", ".h"))]
    for name in sorted(names):
        parts = name.split("/")
        if any(p in SKIP_DIRS or p.startswith("build") for p in parts[:-1]) or "_test" in parts[-1]:
            continue
        if os.path.isfile(os.path.join(repo, name)):
            yield name


def tree_mode(repo, check):
    count, long = 0, []
    for name in tree_files(repo):
        text = strip(open(os.path.join(repo, name), encoding="utf-8", errors="replace").read())
        for func, line, lines in functions(text):
            count += 1
            if lines > LIMIT:
                long.append((lines, f"{name}:{line}", func))
    print(f"{count} functions, {len(long)} over {LIMIT} lines")
    for lines, where, func in sorted(long, reverse=True):
        print(f"  {func} {lines} ({where})")
    return 1 if check and long else 0


def main(argv):
    if len(argv) >= 2 and argv[1] == "--tree":
        rest = argv[2:]
        check = "--check" in rest
        rest = [a for a in rest if a != "--check"]
        repo = rest[0] if rest else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
        return tree_mode(repo, check)
    if len(argv) < 3 or argv[1].startswith("-"):
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    return class_mode(argv[1], argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
