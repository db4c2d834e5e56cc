#!/usr/bin/env python3
"""Checks that every interface text has its English translation.

  check_translations.py            fails when a text has none, or a Japanese text in the
                                   sources does not go through Qt's translation
  check_translations.py --update   brings app/translations/*.ts up to date with the sources
                                   (new texts come in unfinished; fill them in with Qt Linguist)

Japanese string literals that are not interface texts (log lines, exception messages, setting
names, file names, the reading tables of the address book) are recognised by the call they
stand in or listed below.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ["app", "session", "share", "voice", "video", "ui"]
TS_FILES = ["app/translations/morvika_en.ts"]
LUPDATE_CANDIDATES = ["/usr/lib/qt6/bin/lupdate", "lupdate6", "lupdate"]

# Calls whose Japanese literals are translated, or are no interface text at all.
TRANSLATING_CALLS = {"tr", "translate", "QT_TR_NOOP", "QT_TRANSLATE_NOOP"}
NON_UI_CALLS = {"MORVIKA_LOG", "OskelExcept", "ReadText", "ReadInt", "WriteSetting", "ReadSetting", "Raw"}

# Literals that are names rather than texts: setting names, file and folder names, the kana
# classification of readings, peers' wire texts.
NON_UI_LITERALS = {
    "MAIN/ユーザ名",
    "MAIN/カメラ",
    "MAIN/接続の承諾",
    "サンプル画像",
    "夕焼け.jpg",
    "夜空.jpg",
    "草原.jpg",
    "メモリを確保できない",  # a log line's detail
    "日本語",  # a language's name, shown in that language
}
# Tables of data: the kana and letter classes of the address book's readings (their captions
# are kana and letters, the same in every language; a translated one is marked in the table).
NON_UI_TABLES = {"kTabs"}
# Files whose Japanese literals are all names or data (the address book's reading tables).
NON_UI_FILES = {"app/AddressData.cpp"}

JAPANESE = re.compile("[\u3000-\u30ff\u3400-\u9fff\uff00-\uffef]")
TOKEN = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"([^(]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|[A-Za-z_]\w*|\S',
    re.S,
)


def literal_text(token):
    body = token[1:-1]
    return body.encode("utf-8").decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")


def untranslated_literals(path):
    """Japanese literals in one source file that stand in no translating or non-UI call."""
    with open(path, encoding="utf-8") as f:
        source = f.read()
    found = []
    calls = []  # open parentheses: the identifier before each, or None
    previous = None
    table = None  # brace depth inside a data table, or None
    pending_table = False
    for match in TOKEN.finditer(source):
        token = match.group(0)
        if token.startswith("//") or token.startswith("/*"):
            continue
        if token in NON_UI_TABLES:
            pending_table = True
        if table is not None:
            table += {"{": 1, "}": -1}.get(token, 0)
            if table == 0:
                table = None
            continue
        if pending_table and token == "{":
            pending_table = False
            table = 1
            continue
        if pending_table and token == ";":
            pending_table = False
        if token == "(":
            calls.append(previous if previous and re.match(r"[A-Za-z_]\w*$", previous) else None)
        elif token == ")":
            if calls:
                calls.pop()
        elif token in (";", "{", "}"):
            calls.clear()
        elif token.startswith('"') and JAPANESE.search(token):
            text = literal_text(token)
            inside = [c for c in calls if c]
            innermost = calls[-1] if calls else None
            if innermost in TRANSLATING_CALLS or any(c in NON_UI_CALLS for c in inside):
                pass
            elif text in NON_UI_LITERALS or text.startswith(("LOG   ", "ERROR ", "TRACE ")):
                pass
            else:
                line = source.count("\n", 0, match.start()) + 1
                found.append((line, text))
        previous = token
    return found


def scan_sources():
    problems = []
    for folder in SOURCE_DIRS:
        for directory, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, ROOT)
                if relative in NON_UI_FILES or "/translations/" in relative:
                    continue
                for line, text in untranslated_literals(path):
                    problems.append(f"{relative}:{line}: not translated: \"{text}\"")
    return problems


def lupdate():
    for candidate in LUPDATE_CANDIDATES:
        found = shutil.which(candidate)
        if found:
            return found
    sys.exit("check_translations: lupdate not found (package qt6-l10n-tools)")


def run_lupdate(ts_path):
    """Updates one .ts file from the sources; returns lupdate's complaints."""
    result = subprocess.run(
        [lupdate(), "-silent", "-locations", "none", "-no-ui-lines", "-source-language", "ja", "-I", ROOT]
        + [os.path.join(ROOT, d) for d in SOURCE_DIRS]
        + ["-ts", ts_path],
        capture_output=True,
        text=True,
    )
    complaints = [line for line in (result.stdout + result.stderr).splitlines() if line.strip()]
    if result.returncode != 0:
        complaints.append(f"lupdate ended with {result.returncode}")
    return complaints


def missing_translations(ts_path):
    problems = []
    for context in ET.parse(ts_path).getroot().iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            source = message.findtext("source")
            translation = message.find("translation")
            kind = translation.get("type") if translation is not None else "missing"
            if kind in ("vanished", "obsolete"):
                problems.append(f"{name}: \"{source}\" is no longer in the sources (run --update)")
            elif kind == "unfinished" or translation is None or not (translation.text or "").strip():
                problems.append(f"{name}: \"{source}\" has no translation")
    return problems


def main():
    update = "--update" in sys.argv[1:]
    problems = scan_sources()
    for relative in TS_FILES:
        ts_path = os.path.join(ROOT, relative)
        with tempfile.TemporaryDirectory() as work:
            target = ts_path if update else os.path.join(work, os.path.basename(ts_path))
            if not update:
                shutil.copy(ts_path, target)
            problems += [f"lupdate: {c}" for c in run_lupdate(target)]
            problems += [f"{relative}: {p}" for p in missing_translations(target)]
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"check_translations: {len(problems)} interface texts without a translation", file=sys.stderr)
        return 1
    print("check_translations: every interface text has its translation")
    return 0


if __name__ == "__main__":
    sys.exit(main())
