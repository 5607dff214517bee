#!/usr/bin/env python3
"""Structural check of the layers, run by the test command.

Layers, lowest first: the engine (engine/), the plain models (files listed in a folder's
kelvaro_model(...)), the windows and commands (kelvaro_ui(...)), and the programs (add_executable
sources). It fails when
  - a file of an application folder is in no layer, or in two;
  - a file includes a header of a higher layer, or the engine includes anything of the
    application;
  - a model file includes a Qt header;
  - the folders' include graph has a circle.
With a compile_commands.json (argument: the build folder) it also checks that no model file is
compiled with a Qt include path.
"""
import json
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_FOLDERS = ["document", "dialogs", "simulation", "connections", "faults", "behaviour", "servers", "monitor", "view", "statistics", "automation", "http", "app"]
LAYER_NAMES = {0: "engine", 1: "model", 2: "ui", 3: "program"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def cmake_calls(text, name):
    """The arguments of every `name(...)` call in a CMakeLists text."""
    for m in re.finditer(r'\b' + name + r'\s*\(([^)]*)\)', text):
        body = re.sub(r'#[^\n]*', '', m.group(1))
        yield body.split()


def layers():
    layer = {}
    problems = []
    for f in sorted(os.listdir(os.path.join(ROOT, "engine"))):
        if f.endswith((".h", ".cpp")):
            layer["engine/" + f] = 0
    for folder in APP_FOLDERS:
        text = open(os.path.join(ROOT, folder, "CMakeLists.txt")).read()
        listed = {}
        for name, level in (("kelvaro_model", 1), ("kelvaro_ui", 2)):
            for args in cmake_calls(text, name):
                for f in args:
                    listed.setdefault(f, []).append(level)
        for args in cmake_calls(text, "add_executable"):
            for f in args[1:]:
                if f.endswith(".cpp"):
                    listed.setdefault(f, []).append(3)
        present = sorted(f for f in os.listdir(os.path.join(ROOT, folder)) if f.endswith((".h", ".cpp")))
        for f in present:
            levels = listed.get(f, [])
            if len(levels) != 1:
                problems.append(f"{folder}/{f}: listed in {len(levels)} layers of {folder}/CMakeLists.txt (must be 1)")
                continue
            layer[f"{folder}/{f}"] = levels[0]
        for f in listed:
            if f not in present:
                problems.append(f"{folder}/CMakeLists.txt lists {f}, which does not exist")
    return layer, problems


def check_includes(layer):
    problems = []
    folder_edges = {}
    for path, level in sorted(layer.items()):
        text = open(os.path.join(ROOT, path)).read()
        folder = path.split("/")[0]
        for kind, inc in INCLUDE.findall(text):
            if kind == "<":
                if level <= 1 and re.match(r'Q[A-Za-z]', inc):
                    problems.append(f"{path}: a {LAYER_NAMES[level]} file includes the Qt header <{inc}>")
                continue
            target = layer.get(inc)
            if target is None:
                if "/" in inc and inc.split("/")[0] in APP_FOLDERS + ["engine"]:
                    problems.append(f"{path}: includes {inc}, which no layer holds")
                continue
            if target > level:
                problems.append(f"{path} ({LAYER_NAMES[level]}) includes {inc} ({LAYER_NAMES[target]}), a higher layer")
            other = inc.split("/")[0]
            if other != folder:
                folder_edges.setdefault(folder, set()).add(other)
    return problems, folder_edges


def find_circle(edges):
    state = {}
    stack = []

    def visit(n):
        state[n] = 1
        stack.append(n)
        for m in sorted(edges.get(n, ())):
            if state.get(m) == 1:
                return stack[stack.index(m):] + [m]
            if m not in state:
                found = visit(m)
                if found:
                    return found
        stack.pop()
        state[n] = 2
        return None

    for n in sorted(edges):
        if n not in state:
            found = visit(n)
            if found:
                return found
    return None


def check_compile_flags(build, layer):
    path = os.path.join(build, "compile_commands.json")
    if not os.path.exists(path):
        return []
    problems = []
    for entry in json.load(open(path)):
        rel = os.path.relpath(entry["file"], ROOT)
        if layer.get(rel) == 1 and re.search(r'[/_-][Qq]t6', entry.get("command", "")):
            problems.append(f"{rel}: a model file compiled with Qt on its include path")
    return problems


def main():
    layer, problems = layers()
    include_problems, edges = check_includes(layer)
    problems += include_problems
    circle = find_circle(edges)
    if circle:
        problems.append("folders include each other in a circle: " + " -> ".join(circle))
    if len(sys.argv) > 1:
        problems += check_compile_flags(sys.argv[1], layer)
    for p in problems:
        print("check-layers:", p)
    if problems:
        return 1
    counts = {name: sum(1 for v in layer.values() if v == level) for level, name in LAYER_NAMES.items()}
    order = " ".join(f"{f}->{','.join(sorted(edges.get(f, ())))}" for f in APP_FOLDERS)
    print(f"check-layers: ok ({counts}); folder includes: {order}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
