#!/usr/bin/env python3
"""Fails when a product source casts a message parameter to a pointer or a pointer to one.

Objects travel with window messages through platform/winmsg/WinMsgPayload.h, the one file
allowed to turn an LPARAM into a pointer and back. Anywhere else this reports, with file
and line: a reinterpret_cast, std::bit_cast or C-style cast of a variable named like
lParam or wParam to a pointer type, and any reinterpret_cast, bit_cast, C-style or
functional cast to LPARAM or WPARAM of something that is not plainly a number.
Comments and string literals are not looked at. Usage: tools/check_casts.py"""

import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FOLDERS = ["app", "session", "share", "video", "voice", "ui", "platform", "filter"]
ALLOWED = {os.path.join("platform", "winmsg", "WinMsgPayload.h")}
SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")

PARAM = r"[\w.>-]*\b\w*[lw]param\w*\b"  # lParam, wParam, m_lParam, msg->lParam ...
TYPE = r"(?:const\s+|volatile\s+)*[\w:]+(?:\s*<[^<>()]*(?:<[^<>()]*>[^<>()]*)*>)?(?:\s*const)?"
NUMBER = r"-?\s*(?:0[xX][\da-fA-F']+|\d[\d']*)[uUlL]*\b"
NOT_A_DECLARATION = r"(?!\s*(?:override|const|noexcept|final|->|;|,|\)|\{|=))"
CHECKS = [
    # A message parameter to a pointer (names of any case: lParam, wparam, m_lParam, msg->lParam).
    (r"\breinterpret_cast\s*<[^;()]*?\*\s*>\s*\(\s*" + PARAM, re.I, "reinterpret_cast of a message parameter to a pointer"),
    (r"\bbit_cast\s*<[^;()]*?\*\s*>\s*\(\s*" + PARAM, re.I, "bit_cast of a message parameter to a pointer"),
    (r"\(\s*" + TYPE + r"\s*\*+\s*(?:const\s*)?\)\s*\(*\s*" + PARAM, re.I, "C-style cast of a message parameter to a pointer"),
    # Anything but a number to LPARAM or WPARAM.
    (r"\breinterpret_cast\s*<\s*(?:const\s+)?(?:LPARAM|WPARAM)\s*>", 0, "reinterpret_cast to LPARAM/WPARAM"),
    (r"\bbit_cast\s*<\s*(?:const\s+)?(?:LPARAM|WPARAM)\s*>", 0, "bit_cast to LPARAM/WPARAM"),
    (r"\(\s*(?:LPARAM|WPARAM)\s*\)" + NOT_A_DECLARATION + r"(?!\s*" + NUMBER + r")\s*[&\w(*]", 0,
     "C-style cast to LPARAM/WPARAM"),
    (r"\b(?:LPARAM|WPARAM)\s*\(\s*(?:&|this\b|new\b|\w+\s*(?:\.|->)\s*(?:get|data)\s*\()", 0,
     "functional cast of a pointer to LPARAM/WPARAM"),
]
CHECKS = [(re.compile(pattern, flags), what) for pattern, flags, what in CHECKS]


def blank_comments_and_strings(text):
    """The text with comments and the insides of string and character literals replaced by
    spaces, newlines kept, so that offsets and line numbers stay those of the file."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i + 2)
            delim = text[i + 2:open_paren]
            j = text.find(")" + delim + '"', open_paren)
            j = n if j < 0 else j + len(delim) + 2
            out.append('R""')
            out.append(re.sub(r"[^\n]", " ", text[i + 3:j]))
            i = j
            continue
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:j - 1]) + c)
            i = j
            continue
        else:
            out.append(c)
            i += 1
            continue
        out.append(re.sub(r"[^\n]", " ", text[i:j]))
        i = j
    return "".join(out)


def sources():
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    path = os.path.join(dirpath, name)
                    rel = os.path.relpath(path, ROOT)
                    if rel not in ALLOWED:
                        yield path, rel


def main():
    hits = []
    for path, rel in sources():
        with open(path, encoding="utf-8", errors="replace") as f:
            text = blank_comments_and_strings(f.read())
        lines = text.split("\n")
        for pattern, what in CHECKS:
            for match in pattern.finditer(text):
                line = text.count("\n", 0, match.start()) + 1
                hits.append((rel, line, what, lines[line - 1].strip()))
    for rel, line, what, code in sorted(set(hits)):
        print(f"{rel}:{line}: {what}: {code}")
    if hits:
        print(f"check_casts: {len(set(hits))} cast(s) of message parameters outside {sorted(ALLOWED)[0]}",
              file=sys.stderr)
        return 1
    print("check_casts: no message parameter is cast to or from a pointer outside the payload helper")
    return 0


if __name__ == "__main__":
    sys.exit(main())
