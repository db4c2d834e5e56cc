#!/usr/bin/env python3
"""Fails when a library includes a header of a library it does not link, directly or
through the libraries it links, or when the libraries link in a cycle.

The libraries, their files and their links are read from the CMakeLists.txt files of the
product folders. A header belongs to the library that lists it or that builds the .cpp
of the same name; a header that belongs to no library is reported too, so that every
header has a place in the graph. Usage: tools/check_layers.py [--graph]
(--graph prints the link graph, one library and its direct links a line)."""

import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FOLDERS = ["platform", "app", "session", "voice", "video", "filter", "share", "ui"]
KEYWORDS = {"SOURCES", "LIBS", "PUBLIC_LIBS", "PRIVATE", "PUBLIC", "INTERFACE", "STATIC", "MODULE", "SHARED"}


def cmake_files():
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in files:
                if name == "CMakeLists.txt" or name.endswith(".cmake"):
                    yield os.path.join(dirpath, name)


def commands(text):
    text = re.sub(r"#[^\n]*", "", text)
    for match in re.finditer(r"\b(morvika_library|add_library|add_executable|target_link_libraries|target_sources)\s*\(([^)]*)\)", text):
        yield match.group(1), match.group(2).split()


def read_targets():
    sources, links = {}, {}
    for path in cmake_files():
        folder = os.path.relpath(os.path.dirname(path), ROOT)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for command, args in commands(text):
            if not args:
                continue
            name, rest = args[0], args[1:]
            if command in ("morvika_library", "add_library", "add_executable"):
                sources.setdefault(name, [])
                links.setdefault(name, set())
            if name not in sources:
                continue
            section = "SOURCES" if command != "target_link_libraries" else "LIBS"
            for word in rest:
                if word in KEYWORDS:
                    if word in ("SOURCES", "LIBS", "PUBLIC_LIBS"):
                        section = "SOURCES" if word == "SOURCES" else "LIBS"
                    continue
                if section == "SOURCES" and re.search(r"\.(cpp|h)$", word):
                    word = word.replace("${PROJECT_SOURCE_DIR}/", "")
                    sources[name].append(os.path.normpath(word if "/" in word else os.path.join(folder, word)))
                elif section == "LIBS":
                    links[name].add(word)
    own = set(sources)
    for name in links:
        links[name] &= own
    return sources, links


def owners(sources):
    owner = {}
    for name, files in sources.items():
        for path in files:
            owner.setdefault(path, name)
            if path.endswith(".cpp"):
                owner.setdefault(path[:-4] + ".h", name)
    return owner


def closure(links):
    reach = {}

    def visit(name, stack):
        if name in reach:
            return reach[name]
        if name in stack:
            raise ValueError(" -> ".join(stack[stack.index(name):] + [name]))
        found = set()
        for dep in links[name]:
            found |= {dep} | visit(dep, stack + [name])
        reach[name] = found
        return found

    for name in links:
        visit(name, [])
    return reach


def main():
    sources, links = read_targets()
    if "--graph" in sys.argv:
        for name in sorted(links):
            print(name + ": " + " ".join(sorted(links[name])))
        return 0
    try:
        reach = closure(links)
    except ValueError as cycle:
        print("check_layers: libraries link in a cycle: " + str(cycle))
        return 1
    owner = owners(sources)
    errors = []
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.relpath(os.path.join(dirpath, name), ROOT)
                if path not in owner:
                    errors.append(f"{path}: belongs to no library")
                    continue
                with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        match = re.match(r'\s*#\s*include\s*"([^"]+)"', line)
                        if not match:
                            continue
                        header = os.path.normpath(match.group(1))
                        if not os.path.exists(os.path.join(ROOT, header)):
                            header = os.path.normpath(os.path.join(os.path.dirname(path), match.group(1)))
                        target = owner.get(header)
                        if target is None or target == owner[path] or target in reach[owner[path]]:
                            continue
                        errors.append(f"{path}:{number}: {owner[path]} includes {header} of {target}, which it does not link")
    for error in errors:
        print("check_layers: " + error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
