#!/usr/bin/env python3
"""Renders a man page from a roff template and the programs' own --help.

A template line "@OPTIONS@ ARG..." is replaced by the options that
`PROGRAM ARG...` prints, as roff: each group a .SS, each option a .TP. The
option texts are written once, in the program's help tables, so the man page
and --help cannot disagree. "@VERSION@" is replaced by the version.

    man_page.py TEMPLATE OUTPUT VERSION --emulator=EMULATOR PROGRAM

EMULATOR runs a cross-built PROGRAM (qemu-arm, say); empty for a native one.
"""
import re
import subprocess
import sys


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def options(program, args):
    help_text = subprocess.run(program + args, check=True, capture_output=True,
                               text=True).stdout
    out, pending, started, term, desc = [], [], False, None, []

    def flush_option():
        nonlocal term, desc
        if term is not None:
            out.append(".TP\n\\fB" + roff(term) + "\\fR\n" + roff(" ".join(desc)))
        term, desc = None, []

    def flush_paragraph():
        # Text before the first group is the synopsis, which the template has.
        if pending and started:
            out.append(".PP\n" + roff(" ".join(pending)))
        pending.clear()

    for line in help_text.splitlines():
        entry = re.match(r"^  (\S.*?)(?:\s{2,}(.*))?$", line)
        if entry:
            flush_option()
            if pending:
                out.append(".SS " + roff(" ".join(pending).rstrip(":")))
                pending.clear()
            started = True
            term, desc = entry.group(1), [entry.group(2) or ""]
        elif line.startswith("   ") and term is not None:
            desc.append(line.strip())
        elif not line.strip():
            flush_option()
            if pending and not pending[-1].endswith(":"):
                flush_paragraph()
        else:
            flush_option()
            pending.append(line.strip())
    flush_option()
    flush_paragraph()
    return "\n".join(out)


def main():
    template, output, version, emulator, program = sys.argv[1:6]
    emulator = emulator[len("--emulator="):]
    program = emulator.split(";") + [program] if emulator else [program]
    page = []
    with open(template, encoding="utf-8") as f:
        for line in f:
            if line.startswith("@OPTIONS@"):
                page.append(options(program, line.split()[1:]) + "\n")
            else:
                page.append(line.replace("@VERSION@", version))
    with open(output, "w", encoding="utf-8") as f:
        f.write("".join(page))


if __name__ == "__main__":
    main()
