# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs every example of the user guide and compares it with what tshark prints today.

The pages are README.md and docs/*.md. In them, a fenced block whose info
string is `console` is an example:

    $ tshark -r samples/kestrune-sample.pcap -q -z simplekestrune,streams
    ...what the command prints on stdout...

- A line starting with "$ " is a command; one ending in a backslash goes on
  in the next line. The lines after a command, up to the next command, are
  what it prints on stdout (stderr is not compared). A command must exit 0.
- A line that holds only "..." (indented or not) stands for any number of
  lines, none included, so a long output shows only the lines that matter.
- Trailing blanks, and blank lines at the start and end of an output, are
  not compared.

Each page's examples run in order, with /bin/sh, in one scratch folder of
its own, as the user the host tests run tshark as, with the freshly built
module in a private plugin folder. samples/kestrune-sample.pcap and
build/make_capture are there as in the source tree, so a reader can paste
the commands into a build; a capture made by one block is there for the
blocks after it on the same page.

An HTML comment on the line right before the fence qualifies the block:

    <!-- example: host >= 4.6 -->      only with such a host release
    <!-- example: host < 4.6 -->       (operators < <= == != >= >; several
                                        conditions joined by "," must all hold)
    <!-- example: not run -->          for reading only (a GUI, a sound card)

A release-dependent output is shown once for each range of releases, each
block marked for its range; elsewhere the block is skipped and listed.
Blocks that use the audio export are skipped when the module was built
without it (KESTRUNE_AUDIO=0). A block of `$ ` commands that is not
`console` is an error: it would show output that nothing checks.

Run alone: ctest --test-dir build -R docs --output-on-failure. A failing
block is reported with its page and line, a diff and the whole output of
today, ready to paste.
"""
import difflib
import glob
import operator
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host"))
from harness import HOST_MAJOR_MINOR, UNPRIVILEGED, Host, as_ordinary_user  # noqa: E402

SOURCE_DIR = os.environ.get("KESTRUNE_SOURCE_DIR",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SAMPLE = os.environ.get("KESTRUNE_SAMPLE", os.path.join(SOURCE_DIR, "samples",
                                                        "kestrune-sample.pcap"))
GENERATOR = os.environ.get("KESTRUNE_GENERATOR", "")
AUDIO = os.environ.get("KESTRUNE_AUDIO", "1") == "1"

FENCE = re.compile(r"^(\s*)```(\S*)")
MARK = re.compile(r"^\s*<!--\s*example:\s*(.*?)\s*-->\s*$")
CONDITION = re.compile(r"^host\s*(<=|>=|==|!=|<|>)\s*(\d+)\.(\d+)$")
OPERATORS = {"<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne,
             ">=": operator.ge, ">": operator.gt}
HOST = tuple(map(int, HOST_MAJOR_MINOR.split(".")))


class Block:
    """One fenced block: where it is, its info string, its mark and its lines."""

    def __init__(self, page, line, info, mark, lines):
        self.page, self.line, self.info, self.mark, self.lines = page, line, info, mark, lines

    def where(self):
        return f"{os.path.relpath(self.page, SOURCE_DIR)}:{self.line}"

    def steps(self):
        """(command, expected output lines) in order."""
        steps = []
        lines = iter(self.lines)
        for text in lines:
            if text.startswith("$ "):
                command = text[2:]
                while command.endswith("\\"):
                    command += "\n" + next(lines, "")
                steps.append((command, []))
            elif steps:
                steps[-1][1].append(text)
            elif text.strip():
                raise ValueError(f"{self.where()}: output before the first command")
        return steps

    def reason_to_skip(self):
        """Why the block does not run with this host and module, or None."""
        if self.mark == "not run":
            return "not run"
        for condition in filter(None, (c.strip() for c in (self.mark or "").split(","))):
            found = CONDITION.match(condition)
            if not found:
                raise ValueError(f"{self.where()}: unknown mark '{condition}'")
            op, release = found.group(1), (int(found.group(2)), int(found.group(3)))
            if not OPERATORS[op](HOST, release):
                return f"host {HOST_MAJOR_MINOR}, block for {condition}"
        if not AUDIO and any(re.search(r",(call)?audio,", c) for c, _ in self.steps()):
            return "built without the audio export"
        return None


def blocks(page):
    """Every fenced block of a page."""
    found = []
    with open(page, encoding="utf-8") as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        indent, info, start = len(fence.group(1)), fence.group(2), i
        mark = MARK.match(lines[i - 1]) if i > 0 else None
        i += 1
        body = []
        while i < len(lines) and not FENCE.match(lines[i]):
            body.append(lines[i][indent:])
            i += 1
        found.append(Block(page, start + 1, info, mark.group(1) if mark else None, body))
        i += 1
    return found


def pages():
    return [os.path.join(SOURCE_DIR, "README.md")] + sorted(
        glob.glob(os.path.join(SOURCE_DIR, "docs", "*.md")))


def trimmed(lines):
    lines = [line.rstrip() for line in lines]
    while lines and not lines[0]:
        lines.pop(0)
    while lines and not lines[-1]:
        lines.pop()
    return lines


def matches(expected, actual):
    """Whether the output matches the lines shown, "..." standing for any lines."""
    pattern = "".join(r"(?:[^\n]*\n)*?" if line.strip() == "..." else re.escape(line) + r"\n"
                      for line in expected)
    return re.fullmatch(pattern, "".join(line + "\n" for line in actual)) is not None


class Scratch:
    """A page's folder: the sample and the generator where the source tree has them."""

    def __init__(self, host):
        self.host = host
        self.folder = host.path("work")
        os.makedirs(os.path.join(self.folder, "samples"))
        os.makedirs(os.path.join(self.folder, "build"))
        shutil.copy(SAMPLE, os.path.join(self.folder, "samples"))
        if GENERATOR:
            shutil.copy(GENERATOR, os.path.join(self.folder, "build", "make_capture"))
        if os.geteuid() == 0:
            for root, dirs, files in os.walk(self.folder):
                for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                    os.chown(name, UNPRIVILEGED, UNPRIVILEGED)

    def run(self, command):
        _, env = self.host.command()
        return subprocess.run(as_ordinary_user(["sh", "-c", command]), capture_output=True,
                              text=True, env=env, cwd=self.folder, timeout=600)


class DocumentedExamples(unittest.TestCase):

    def test_every_example_prints_what_its_page_shows(self):
        ran, skipped = 0, []
        for page in pages():
            examples = []
            for block in blocks(page):
                if block.info != "console":
                    with self.subTest(block=block.where()):
                        self.assertFalse(any(line.startswith("$ ") for line in block.lines),
                                         f"{block.where()}: commands with prompts belong in a "
                                         f"console block, which this test runs")
                    continue
                reason = block.reason_to_skip()
                if reason:
                    skipped.append(f"{block.where()} ({reason})")
                else:
                    examples.append(block)
            if not examples:
                continue
            host = Host()
            try:
                scratch = Scratch(host)
                for block in examples:
                    ran += 1
                    for command, shown in block.steps():
                        with self.subTest(block=block.where(), command=command):
                            self.check(scratch, block, command, shown)
            finally:
                host.close()
        for entry in skipped:
            print(f"skipped: {entry}", file=sys.stderr)
        print(f"{ran} examples run, {len(skipped)} skipped, host {HOST_MAJOR_MINOR}",
              file=sys.stderr)
        self.assertGreater(ran, 0, "no example found: is KESTRUNE_SOURCE_DIR right?")

    def check(self, scratch, block, command, shown):
        proc = scratch.run(command)
        self.assertEqual(proc.returncode, 0,
                         f"{block.where()}: `{command}` exited {proc.returncode}:\n{proc.stderr}")
        expected, actual = trimmed(shown), trimmed(proc.stdout.splitlines())
        if matches(expected, actual):
            return
        diff = "\n".join(difflib.unified_diff(expected, actual, "shown", "printed", lineterm=""))
        self.fail(f"{block.where()}: `{command}` prints something else today\n{diff}\n"
                  f"--- all it prints:\n" + "\n".join(actual))


if __name__ == "__main__":
    unittest.main()
