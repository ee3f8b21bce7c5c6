#!/usr/bin/env python3
"""The CI checks against small trees of their own: the layer check sees every way a CMake file can
name a library or an include folder of a layer above, and the function-size check sees every kind of
long function of the suite's code and none of the tests' or benchmarks'."""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

README = """# t

| layer | may use |
|---|---|
| `low/` | nothing |
| `high/` | `low/` |
"""


def write(root, path, text):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w", encoding="utf-8") as f:
        f.write(text)


def run(script, *args):
    return subprocess.run([sys.executable, os.path.join(SCRIPTS, script), *args], capture_output=True, text=True)


class LayerCheck(unittest.TestCase):
    def check(self, low_extra, top_extra=""):
        with tempfile.TemporaryDirectory() as root:
            write(root, "README.md", README)
            write(root, "CMakeLists.txt", top_extra + "add_subdirectory(low)\nadd_subdirectory(high)\n")
            write(root, "low/CMakeLists.txt", "add_library(lowlib STATIC a.cpp)\n" + low_extra)
            write(root, "high/CMakeLists.txt",
                  "set(DOWN lowlib)\nadd_library(highlib STATIC b.cpp)\n"
                  "target_link_libraries(highlib PRIVATE ${DOWN} $<BUILD_INTERFACE:lowlib>)\n"
                  "target_include_directories(highlib PRIVATE ${CMAKE_SOURCE_DIR}/low/include)\n")
            return run("check_layers.py", root)

    def test_allowed_arrows_pass(self):
        r = self.check("")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_every_way_up_is_caught(self):
        cases = {
            "direct": ("target_link_libraries(lowlib PRIVATE highlib)\n", ""),
            "variable": ("set(UP highlib)\ntarget_link_libraries(lowlib PRIVATE ${UP})\n", ""),
            "list append": ("list(APPEND UP zlib highlib)\ntarget_link_libraries(lowlib PRIVATE ${UP})\n", ""),
            "variable of the folder above": ("target_link_libraries(lowlib PRIVATE ${UP})\n", "set(UP highlib)\n"),
            "quoted list": ('set(UP "zlib;highlib")\ntarget_link_libraries(lowlib PRIVATE "${UP}")\n', ""),
            "generator expression": ("target_link_libraries(lowlib PRIVATE $<$<CONFIG:Debug>:highlib>)\n", ""),
            "folder-wide link": ("link_libraries(highlib)\n", ""),
            "include folder": ("target_include_directories(lowlib PRIVATE ${CMAKE_SOURCE_DIR}/high/include)\n", ""),
            "relative include folder": ("target_include_directories(lowlib PRIVATE ../high/include)\n", ""),
            "include folder in a variable": (
                "set(INC ${CMAKE_CURRENT_SOURCE_DIR}/../high)\ntarget_include_directories(lowlib PUBLIC ${INC})\n", ""),
            "quoted include folder": ('target_include_directories(lowlib PUBLIC "${PROJECT_SOURCE_DIR}/high")\n', ""),
            "include folder in a generator expression": (
                "target_include_directories(lowlib PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/high/include>)\n", ""),
            "folder-wide include folder": ("include_directories(SYSTEM ${CMAKE_SOURCE_DIR}/high/include)\n", ""),
        }
        for name, (low, top) in cases.items():
            with self.subTest(name):
                r = self.check(low, top)
                self.assertEqual(r.returncode, 1, name + ": " + r.stdout + r.stderr)
                self.assertIn("(high/): not allowed", r.stdout)


class FunctionSizes(unittest.TestCase):
    @staticmethod
    def body(lines):
        return "".join(f"    x += {i};\n" for i in range(lines))

    def test_long_functions_of_the_suite_fail_the_check(self):
        long, short = self.body(85), self.body(77)
        with tempfile.TemporaryDirectory() as root:
            write(root, "lib/src/a.cpp",
                  "namespace {\nint LongStatic(int x) {\n" + long + "    return x;\n}\n}  // namespace\n"
                  "int LongFree(int x) {\n" + long + "    return x;\n}\n"
                  "int FitsJust(int x) {\n" + short + "    return x;\n}\n"
                  "auto Parser::LongTrailing(int x) const -> int {\n" + long + "    return x;\n}\n")
            write(root, "lib/include/lib/b.h",
                  "class Holder {\npublic:\n    explicit Holder(int x) : m(x) {\n" + long.replace("x +=", "m +=")
                  + "    }\n\nprivate:\n    int m;\n};\n")
            write(root, "lib/tests/a_test.cpp", "int LongTest(int x) {\n" + long + "    return x;\n}\n")
            write(root, "bench/c.cpp", "int LongBench(int x) {\n" + long + "    return x;\n}\n")
            r = run("function_sizes.py", "--tree", "--check", root)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        named = {line.split()[0] for line in r.stdout.splitlines()[1:]}
        self.assertEqual(named, {"LongStatic", "LongFree", "Parser::LongTrailing", "Holder"}, r.stdout)

    def test_usage_without_arguments(self):
        r = run("function_sizes.py")
        self.assertEqual(r.returncode, 2)
        self.assertIn("--tree", r.stderr)
        self.assertNotIn("Traceback", r.stderr)


if __name__ == "__main__":
    unittest.main()
