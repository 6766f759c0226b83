#!/usr/bin/env python3
"""Writes the manual page parcel-host(1) from the program's own help: the
text of `parcel-host --help` and of `parcel-host COMMAND --help` for each
command it lists, turned into sections and option lists.

usage: manpage.py PROGRAM VERSION OUTPUT
"""
import re
import subprocess
import sys


def roff(text):
    """Text safe in a roff line: backslashes and leading control characters escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def help_text(program, *command):
    run = subprocess.run([program, *command, "--help"], capture_output=True, text=True, check=True)
    return run.stdout.splitlines()


def blocks(lines):
    """Splits help lines into (heading, lines) at headings such as "Options:"."""
    heading, body, out = "", [], []
    for line in lines:
        match = re.match(r"^([A-Z][A-Za-z ]*):$", line)
        if match:
            out.append((heading, body))
            heading, body = match.group(1), []
        else:
            body.append(line)
    out.append((heading, body))
    return out


def paragraphs(body):
    """The runs of non-blank lines of a block."""
    out = [[]]
    for line in body:
        if line.strip():
            out[-1].append(line)
        elif out[-1]:
            out.append([])
    return [paragraph for paragraph in out if paragraph]


def entries(lines):
    """Option lines "  -o,--output TEXT   What it does" as (left, right) pairs;
    lines indented further continue the entry before them."""
    out = []
    for line in lines:
        match = re.match(r"^  (\S.*?)(?:\s{2,}(\S.*))?$", line)
        if match:
            out.append([match.group(1), match.group(2) or ""])
        elif out:
            out[-1][1] = (out[-1][1] + " " + line.strip()).strip()
    return out


def option_list(lines):
    out = []
    for left, right in entries(lines):
        out += [".TP", "\\fB" + roff(left) + "\\fR", roff(right)]
    return out


def command_section(program, name, summary):
    out = [".SS " + roff(name), roff(summary)]
    for heading, body in blocks(help_text(program, name)):
        if heading == "Exit codes":
            continue  # the same for every command; listed once under EXIT STATUS
        parts = paragraphs(body)
        for line in body:
            if line.startswith("Usage:"):
                out += [".PP", "\\fB" + roff(line[len("Usage: "):]) + "\\fR"]
        for part in parts:
            if part[0].startswith("Example:"):
                out += [".PP", ".nf"] + [roff(line) for line in part] + [".fi"]
            elif heading in ("Options", "Positionals") and part is parts[0]:
                out += option_list(part)
    return out


def main():
    program, version, output = sys.argv[1:4]
    main_help = blocks(help_text(program))
    description = [line for line in main_help[0][1] if line and not line.startswith("Usage:")]
    page = [
        '.TH PARCEL\\-HOST 1 "" "parcel-host %s" "User Commands"' % roff(version),
        ".SH NAME",
        "parcel\\-host \\- " + roff(" ".join(description).split(": ", 1)[-1].rstrip(".")),
        ".SH SYNOPSIS",
        "\\fBparcel\\-host\\fR \\fICOMMAND\\fR [\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]",
        ".SH DESCRIPTION",
        roff(" ".join(description)),
        ".SH COMMANDS",
    ]
    for heading, body in main_help:
        if heading == "Subcommands":
            for name, summary in entries(paragraphs(body)[0]):
                page += command_section(program, name, summary)
    for heading, body in main_help:
        if heading == "Exit codes":
            page += [".SH EXIT STATUS"]
            for code, meaning in (line.strip().split(None, 1) for line in body if line.strip()):
                page += [".TP", "\\fB" + code + "\\fR", roff(meaning)]
    page += [".SH SEE ALSO", "The README in /usr/share/doc/parcel\\-host."]
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
