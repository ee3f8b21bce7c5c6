#!/usr/bin/env python3
"""Sizes of a class's member functions, for keeping classes and functions small.

    scripts/function_sizes.py CLASS FILE...

Counts every out-of-line definition `CLASS::Name(...) {...}` in the files (brace matching with
strings, characters and comments skipped) plus the inline bodies in the class body, and prints
the class's lines (definitions and the class body), its function count and every function over
80 lines. Exit status 0 always: it reports, it does not judge.
"""
import re
import sys

LIMIT = 80


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
            if c == '"' and i > 0 and text[i - 1] == "R":  # raw string R"x(...)x"
                k = text.find("(", i)
                delim = ")" + text[i + 1:k] + '"'
                j = text.find(delim, k) + len(delim)
            else:
                j = i + 1
                while j < n and text[j] != c:
                    j += 2 if text[j] == "\\" else 1
                j += 1
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:j - 1]) + c); i = j
        else:
            out.append(c); i += 1
    return "".join(out)


def matching(text, open_at):
    depth = 0
    for k in range(open_at, len(text)):
        if text[k] == "{":
            depth += 1
        elif text[k] == "}":
            depth -= 1
            if depth == 0:
                return k
    return len(text) - 1


def main():
    cls, files = sys.argv[1], sys.argv[2:]
    defn = re.compile(r"(?m)^[^\s#/][^;{}]*?\b" + re.escape(cls) + r"::(~?\w+|operator\S+)\s*\(")
    funcs, total = [], 0
    for path in files:
        text = strip(open(path, encoding="utf-8").read())
        for m in defn.finditer(text):
            body = text.find("{", m.end())
            semi = text.find(";", m.end())
            if body < 0 or (0 <= semi < body and ":" not in text[m.end():semi]):
                continue
            end = matching(text, body)
            lines = text.count("\n", m.start(), end) + 1
            funcs.append((lines, m.group(1), path))
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


if __name__ == "__main__":
    main()
