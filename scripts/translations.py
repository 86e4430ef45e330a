#!/usr/bin/env python3
"""Keeps the English catalogue in step with the texts users read.

Usage: translations.py update LUPDATE   gathers new and changed texts into the catalogue
       translations.py check LUPDATE    fails when a text users read has no English

The interface is written in Chinese (the source language) and every text users read goes through
tr(), QCoreApplication::translate, QT_TRANSLATE_NOOP or zimlo::translate, where lupdate finds it.
`check` fails when
  - the catalogue lacks a text or leaves one unfinished (run `update`, then translate it),
  - a translation drops or invents one of its text's %1, %2, ... markers,
  - a Chinese string literal in the program sources is not one lupdate found: a text shown
    without translation. Chinese that is written into files rather than shown (folder names,
    stored keys) carries a comment "not translated: <why>" on its line or on the line before its
    statement.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CATALOGUE = os.path.join(ROOT, "resources", "translations", "zimlo_en.ts")
# The programs users run; the test driver and sandbox are not shipped.
SOURCE_DIRS = ["src", "tools/zimlo-tool", "tools/zimlo-demo"]
EXEMPT_MARK = "not translated:"
# Source files whose texts are still being converted, one path a line; the check says when one no
# longer needs to be listed.
PENDING = os.path.join(ROOT, "tests", "i18n", "not-yet-translated.txt")
CJK = re.compile(r"[\u3000-\u303f\u3400-\u9fff\uff00-\uffef]")
MARKER = re.compile(r"%(\d+)")


def run_lupdate(lupdate, catalogue):
    dirs = [os.path.join(ROOT, d) for d in SOURCE_DIRS]
    result = subprocess.run(
        [lupdate, "-silent", "-locations", "none", "-no-obsolete", "-no-ui-lines",
         "-source-language", "zh_CN", "-target-language", "en", "-extensions", "cpp,h",
         *dirs, "-ts", catalogue],
        capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"lupdate failed:\n{result.stdout}{result.stderr}")
    # lupdate warns about texts it cannot read (a variable passed to tr(), say); what it says
    # about classes it cannot see into does not concern the texts.
    return [line for line in (result.stdout + result.stderr).splitlines()
            if line.strip() and "undeclared qualified class" not in line]


def messages(catalogue):
    """(context, source, translation or None when unfinished) for every message."""
    tree = ElementTree.parse(catalogue)
    for context in tree.getroot().iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            source = message.findtext("source") or ""
            translation = message.find("translation")
            text = None
            if translation is not None and translation.get("type") not in ("unfinished",
                                                                            "vanished",
                                                                            "obsolete"):
                text = translation.text or ""
                if not text.strip():
                    text = None
            yield name, source, text


ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'", "r": "\r", "0": "\0"}


def unescape(body):
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), body)


def chinese_literals(path):
    """(first line, text, lines it spans) of each run of adjacent string literals holding
    Chinese; comments are skipped."""
    with open(path, encoding="utf-8") as handle:
        code = handle.read()
    token = re.compile(r'//[^\n]*|/\*.*?\*/|(?:u8|u|U|L)?"((?:[^"\\\n]|\\.)*)"|\'(?:[^\'\\\n]|\\.)*\'',
                       re.S)
    found, run, run_start, run_end, last_end = [], [], 0, 0, -1
    for match in token.finditer(code):
        is_string = match.group(1) is not None
        adjacent = is_string and run and code[last_end:match.start()].strip() == ""
        if run and not adjacent:
            found.append((run_start, "".join(run), run_end))
            run = []
        if is_string:
            if not run:
                run_start = code.count("\n", 0, match.start()) + 1
            run.append(unescape(match.group(1)))
            run_end = code.count("\n", 0, match.end()) + 1
            last_end = match.end()
    if run:
        found.append((run_start, "".join(run), run_end))
    # A mark covers its own line and the following ones up to the end of that statement (a
    # table of words, say).
    lines = code.split("\n")
    exempt_lines = set()
    for number, line in enumerate(lines, 1):
        if EXEMPT_MARK not in line:
            continue
        for following in range(number, len(lines) + 1):
            exempt_lines.add(following)
            if lines[following - 1].split("//", 1)[0].rstrip().endswith(";"):
                break
    for start, text, end in found:
        if CJK.search(text):
            exempt = any(i in exempt_lines for i in range(start, end + 1))
            yield start, text, exempt


def pending_files():
    if not os.path.exists(PENDING):
        return set()
    with open(PENDING, encoding="utf-8") as handle:
        return {line.strip() for line in handle if line.strip() and not line.startswith("#")}


def untranslated_literals(known_sources):
    problems, pending, still_pending = [], pending_files(), set()
    for directory in SOURCE_DIRS:
        for folder, _, files in os.walk(os.path.join(ROOT, directory)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, ROOT)
                for line, text, exempt in chinese_literals(path):
                    if exempt or text in known_sources:
                        continue
                    if relative in pending:
                        still_pending.add(relative)
                        continue
                    problems.append(f"{relative}:{line}: \"{text}\" is "
                                        "shown untranslated (wrap it in tr()/translate())")
    for relative in sorted(pending - still_pending):
        problems.append(f"{relative} has no untranslated text left: take it off {PENDING}")
    if still_pending:
        print(f"{len(still_pending)} file(s) still being converted: {', '.join(sorted(still_pending))}")
    return problems


def check(lupdate):
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        current = os.path.join(scratch, "zimlo_en.ts")
        shutil.copy(CATALOGUE, current)
        for warning in run_lupdate(lupdate, current):
            problems.append(f"lupdate: {warning}")
        known = set()
        for context, source, translation in messages(current):
            known.add(source)
            if translation is None:
                problems.append(f"[{context}] \"{source}\" has no English translation")
            elif sorted(set(MARKER.findall(source))) != sorted(set(MARKER.findall(translation))):
                problems.append(f"[{context}] \"{source}\" -> \"{translation}\": the markers "
                                "%1, %2, ... differ")
    problems += untranslated_literals(known)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} problem(s); after changing a text, run "
              "`cmake --build build --target zimlo_update_translations` and translate what it "
              "marks unfinished in resources/translations/zimlo_en.ts")
        return 1
    print("every text users read has its English translation")
    return 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("update", "check"):
        sys.exit(__doc__)
    command, lupdate = sys.argv[1], sys.argv[2]
    if command == "update":
        for warning in run_lupdate(lupdate, CATALOGUE):
            print(warning)
        unfinished = [m for m in messages(CATALOGUE) if m[2] is None]
        print(f"{len(unfinished)} text(s) await their English translation in {CATALOGUE}")
        return 0
    return check(lupdate)


if __name__ == "__main__":
    sys.exit(main())
