#!/usr/bin/env python3
"""The documents check: runs the commands shown in README.md and docs/*.md
against the built kel36-host and kel36-sim and compares what they print with
what the documents show, so a capture cannot go stale unnoticed.

The rules, kept here and nowhere else (docs/contributing.md points here):

* A block of commands is a fenced block whose first line starts with "$ ".
  Every such block has a marker on the line just before its fence:
      <!-- check: run [OPTIONS] [; A => B ...] -->
      <!-- check: skip REASON -->
  A "$ " line is a command (a line ending in "\\" goes on with the next one);
  every other line up to the next command is that command's output
  (stdout and stderr together, as a terminal shows them).
* run: the block's commands run in one bash, in order, in a directory kept
  for the whole document (files one block writes, the next can read), with
  the repository's examples/ and tools/ in it and the built programs first on PATH.
  A command must exit 0; a command ending in "&" runs in the background and
  is stopped (SIGTERM, then SIGKILL) when the block ends. The block's output
  must then match the documented output line by line after masking.
  Options:
      unordered  lines may come in any order (several devices polled at once)
      loose      every number is masked too: only the shape is compared
      status=N   the block's last command must exit N instead of 0
      nooutput   the output is not compared: a shortened command's, or one
                 whose values follow the clock (a timeline polled in real
                 time shifts by a round on a loaded machine)
  "; A => B" replaces the text A with B in the commands before they run:
  how a run of more than about 30 s is shortened or a rebuild
  (scripts/run.sh) replaced by the program it would start.
* skip: the block is not run. REASON says why, one of: hardware (a real
  serial port), terminal (needs a second terminal or a person), rebuild
  (scripts/run.sh, scripts/test.sh, cmake), long (cannot be shortened).
* Masked before comparing, on both sides: dates, times of day (with
  fractions and time zones), Unix milliseconds, pseudo-terminal numbers,
  the plug-in's path, durations (a number followed by ms, s, us or min; in JSON the values of
  keys ending in _ms and of seconds, last, mean, max), and a record's 100
  bytes in hex (they end with the time it was stored). A documented line
  "..." stands for any number of lines.
* Each block may take 30 s and print 4 MiB; the whole check stops with a
  failure after 240 s.
"""

import argparse
import difflib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BLOCK_TIMEOUT_S = 30
TOTAL_CAP_S = 240
OUTPUT_CAP = 4 << 20  # bytes of output a block may print
SKIP_REASONS = ("hardware", "terminal", "rebuild", "long")
RUN_OPTIONS = ("unordered", "loose", "nooutput")

MARKER = re.compile(r"^<!--\s*check:\s*(.*?)\s*-->\s*$")
MASKS = [
    (re.compile(r"\b\d{4}-\d{2}-\d{2}"), "<date>"),
    (re.compile(r"(?<!\d)\d{2}:\d{2}:\d{2}(?:[.,]\d+)?(?:Z|[+-]\d{2}:?\d{2})?"), "<time>"),
    (re.compile(r"\b1\d{12}\b"), "<epoch>"),
    (re.compile(r"/dev/pts/\d+"), "/dev/pts/<n>"),
    (re.compile(r"(?<!\S)\S*/kel36\.so\b"), "<plug-in>"),  # where the build put it
    (re.compile(r"(?<![\w.])\d+(?:\.\d+)?\s?(?:ms|s|us|µs|min)\b"), "<duration>"),
    # the same in JSON: round times and how long a scan took
    (re.compile(r'("(?:\w+_ms|seconds|last|mean|max)":)-?\d+(?:\.\d+)?(?:e[-+]?\d+)?'),
     r"\1<duration>"),
    # a whole record in hex: its last bytes are the time it was stored
    (re.compile(r"\b[0-9a-f]{200}\b"), "<record>"),
]
NUMBER = re.compile(r"(?<![\w<])[-+]?\d+(?:\.\d+)?")


class Block:
    def __init__(self, path, line, marker, body):
        self.path, self.line, self.marker = path, line, marker
        self.commands = []  # [command text, documented output lines]
        for text in body:
            if text.startswith("$ "):
                self.commands.append([text[2:], []])
            elif self.commands and self.commands[-1][0].endswith("\\") and not self.commands[-1][1]:
                self.commands[-1][0] += "\n" + text
            elif self.commands:
                self.commands[-1][1].append(text)

    def where(self):
        return f"{self.path}:{self.line}"


def find_blocks(path, shown):
    """Every fenced block of commands in a file, with the marker before it."""
    lines = open(path, encoding="utf-8").read().split("\n")
    blocks, problems = [], []
    i = 0
    while i < len(lines):
        if lines[i].startswith("```"):
            end = i + 1
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            body = lines[i + 1:end]
            if body and body[0].startswith("$ "):
                m = MARKER.match(lines[i - 1]) if i > 0 else None
                if not m:
                    problems.append(f"{shown}:{i + 1}: a block of commands without a check marker")
                else:
                    blocks.append(Block(shown, i + 1, m.group(1), body))
            i = end + 1
        else:
            i += 1
    return blocks, problems


def parse_marker(block):
    """(mode, options dict, replacements) or raises ValueError."""
    head, *rest = [part.strip() for part in block.marker.split(";")]
    words = head.split()
    if not words or words[0] not in ("run", "skip"):
        raise ValueError(f"marker must start with run or skip: {block.marker!r}")
    if words[0] == "skip":
        if len(words) < 2 or words[1] not in SKIP_REASONS:
            raise ValueError(f"skip needs a reason ({', '.join(SKIP_REASONS)})")
        return "skip", {}, []
    options = {}
    for word in words[1:]:
        if word.startswith("status="):
            options["status"] = int(word[7:])
        elif word in RUN_OPTIONS:
            options[word] = True
        else:
            raise ValueError(f"unknown run option {word!r}")
    replacements = []
    for part in rest:
        if "=>" not in part:
            raise ValueError(f"expected 'A => B', got {part!r}")
        a, b = (s.strip() for s in part.split("=>", 1))
        replacements.append((a, b))
    return "run", options, replacements


def mask(line, loose):
    for pattern, replacement in MASKS:
        line = pattern.sub(replacement, line)
    if loose:
        # Every number is one shape here, also one that happens to look like
        # a time stamp (a monotonic clock after some minutes of uptime).
        line = NUMBER.sub("<n>", line).replace("<epoch>", "<n>")
    return line.rstrip()


def matches(expected, actual):
    """Line by line; an expected "..." takes any number of actual lines
    (wildcard matching, backtracking to the last "..." on a mismatch)."""
    i = j = 0
    star, resume = -1, 0
    while j < len(actual):
        if i < len(expected) and expected[i] == "...":
            star, resume = i, j
            i += 1
        elif i < len(expected) and expected[i] == actual[j]:
            i += 1
            j += 1
        elif star >= 0:
            resume += 1
            i, j = star + 1, resume
        else:
            return False
    while i < len(expected) and expected[i] == "...":
        i += 1
    return i == len(expected)


def matches_unordered(expected, actual):
    wanted = [line for line in expected if line != "..."]
    if len(wanted) == len(expected) and len(wanted) != len(actual):
        return False
    left = list(actual)
    for line in wanted:
        if line not in left:
            return False
        left.remove(line)
    return True


def stop_group(process):
    for sig, pause in ((signal.SIGTERM, 1.0), (signal.SIGKILL, 0)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + pause
        while time.monotonic() < deadline:
            try:
                os.killpg(process.pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.05)


def run_block(block, options, replacements, workdir, env, time_left):
    """Returns a failure text, or None when the block holds."""
    statuses = os.path.join(workdir, ".check-status")
    output = os.path.join(workdir, ".check-output")
    script = ["exec 9>" + statuses]
    for command, _ in block.commands:
        for a, b in replacements:
            command = command.replace(a, b)
        background = command.rstrip().endswith("&")
        script.append(command)
        # The status, and where the output stood, so --update can split it.
        script.append(("echo bg" if background else "echo $?") +
                      ' "$(stat -c %s ' + output + ')" >&9')
    with open(output, "wb") as out:
        process = subprocess.Popen(["bash", "--noprofile", "--norc", "-c", "\n".join(script)],
                                   cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, process_group=0)
        limit = min(BLOCK_TIMEOUT_S, time_left)
        try:
            process.wait(timeout=limit)
            timed_out = False
        except subprocess.TimeoutExpired:
            timed_out = True
        stop_group(process)
        process.wait()
    with open(output, "rb") as f:
        data = f.read(OUTPUT_CAP + 1)
    if len(data) > OUTPUT_CAP:
        os.remove(output)
        return f"printed more than {OUTPUT_CAP} bytes"
    text = data.decode("utf-8", errors="replace")
    marks = [line.split() for line in open(statuses).read().splitlines()] \
        if os.path.exists(statuses) else []
    codes = [m[0] for m in marks]
    ends = [int(m[1]) for m in marks] + [len(data)] * (len(block.commands) - len(marks))
    block.printed = []
    start = 0
    for end in ends[:len(block.commands)]:
        part = data[start:end].decode("utf-8", errors="replace").split("\n")
        if part and part[-1] == "":
            part.pop()
        block.printed.append(part)
        start = end
    os.remove(output)
    if os.path.exists(statuses):
        os.remove(statuses)
    raw = text.split("\n")
    if raw and raw[-1] == "":
        raw.pop()
    if timed_out:
        return f"still running after {limit:.0f} s; output so far:\n" + "\n".join(raw)
    last = len(block.commands) - 1
    for n, (command, _) in enumerate(block.commands):
        want = options.get("status", 0) if n == last else 0
        got = codes[n] if n < len(codes) else "(did not run)"
        if got != "bg" and got != str(want):
            return (f"`{command}` exited {got}, expected {want}; output:\n" + "\n".join(raw))
    if options.get("nooutput"):
        return None
    loose = options.get("loose", False)
    expected = [mask(line, loose) for _, out in block.commands for line in out]
    while expected and expected[-1] == "":
        expected.pop()
    actual = [mask(line, loose) for line in raw]
    same = (matches_unordered if options.get("unordered") else matches)(expected, actual)
    if same:
        return None
    block.stale = True
    diff = "\n".join(difflib.unified_diff(expected, actual, "documented", "printed", lineterm=""))
    return "the output no longer has the documented shape (masked):\n" + diff + \
        "\nprinted:\n" + "\n".join(raw)


def update(path, blocks):
    """Rewrites each block's output lines with what its commands printed."""
    lines = open(path, encoding="utf-8").read().split("\n")
    for block in sorted(blocks, key=lambda b: b.line, reverse=True):
        if getattr(block, "printed", None) is None:
            continue
        end = block.line
        while not lines[end].startswith("```"):
            end += 1
        body = []
        for (command, _), printed in zip(block.commands, block.printed):
            body.append("$ " + command)
            body += printed
        lines[block.line:end] = body
    open(path, "w", encoding="utf-8").write("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", required=True, help="the repository")
    parser.add_argument("--bin", action="append", default=[],
                        help="a directory with kel36-host or kel36-sim (repeatable)")
    parser.add_argument("--update", action="store_true",
                        help="write what was printed into the compared blocks (those with a '...' "
                             "only when they fail): for a writer refreshing captures; "
                             "review the diff")
    parser.add_argument("files", nargs="*", help="documents (default README.md docs/*.md)")
    args = parser.parse_args()

    root = os.path.abspath(args.root)
    files = args.files or ["README.md"] + sorted(
        os.path.join("docs", f) for f in os.listdir(os.path.join(root, "docs")) if f.endswith(".md"))
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([os.path.abspath(b) for b in args.bin] + [env.get("PATH", "")])
    env["LC_ALL"] = "C.UTF-8"
    env["COLUMNS"] = "120"
    env["LINES"] = "30"

    failures, ran, skipped = [], 0, 0
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kel36-docs-") as top:
        for name in files:
            path = name if os.path.isabs(name) else os.path.join(root, name)
            blocks, problems = find_blocks(path, name)
            failures += problems
            workdir = os.path.join(top, re.sub(r"\W", "_", name))
            os.makedirs(workdir)
            shutil.copytree(os.path.join(root, "examples"), os.path.join(workdir, "examples"))
            if os.path.isdir(os.path.join(root, "tools")):
                shutil.copytree(os.path.join(root, "tools"), os.path.join(workdir, "tools"))
            stale = []
            for block in blocks:
                try:
                    mode, options, replacements = parse_marker(block)
                except ValueError as e:
                    failures.append(f"{block.where()}: {e}")
                    continue
                if mode == "skip":
                    skipped += 1
                    continue
                left = TOTAL_CAP_S - (time.monotonic() - started)
                if left <= 0:
                    failures.append(f"{block.where()}: the check ran out of its {TOTAL_CAP_S} s")
                    break
                t0 = time.monotonic()
                problem = run_block(block, options, replacements, workdir, env, left)
                if problem is not None and not getattr(block, "stale", False):
                    block.printed = None  # failed before its output: nothing to write
                ran += 1
                state = "ok" if problem is None else "not ok"
                print(f"{state} - {block.where()} ({time.monotonic() - t0:.1f} s)", flush=True)
                if problem is not None:
                    failures.append(f"{block.where()}: {problem}")
                if args.update and not options.get("nooutput") and (
                        getattr(block, "stale", False) or
                        all("..." not in out for _, out in block.commands)):
                    stale.append(block)
            if args.update and stale:
                update(path, stale)
    for failure in failures:
        print("FAIL " + failure, file=sys.stderr)
    print(f"{ran} blocks run, {skipped} skipped, {len(failures)} failed, "
          f"{time.monotonic() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
