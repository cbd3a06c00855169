"""Generate man/varsift.1, the varsift command's manual page, from its argument parser.

Run after changing the command's options or texts, with the package installed:

    .venv/bin/python tools/gen_manpage.py

The page is installed with the package as share/man/man1/varsift.1, and a test checks that it
is what this script makes.
"""

import argparse
import re
import sys
from pathlib import Path

import varsift_tools
from varsift_tools import cli

PAGE = Path(__file__).resolve().parents[1] / "man" / "varsift.1"
WIDTH = 78


def text(line: str) -> str:
    """Escapes roff: backslashes and hyphens, and a control character at the start of a line."""
    line = line.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + line if line.startswith((".", "'")) else line


def paragraphs(block: str) -> list[str]:
    """Lines of roff for prose: indented lines kept as they are, the rest filled."""
    out: list[str] = []
    for line in block.splitlines():
        if not line.strip():
            out.append(".PP")
        elif line.startswith(" "):
            out += [".nf", text(line), ".fi"]
        else:
            out.append(text(line))
    return out


def options(parser: argparse.ArgumentParser) -> list[str]:
    formatter = parser.formatter_class(prog=parser.prog, width=WIDTH)
    out: list[str] = []
    for group in parser._action_groups:
        actions = [action for action in group._group_actions if action.help != argparse.SUPPRESS]
        if not actions:
            continue
        out.append(f".SS {text(group.title or '')}")
        for action in actions:
            invocation = formatter._format_action_invocation(action)
            out += [".TP", f".B {text(invocation)}", text(formatter._expand_help(action))]
    return out


def epilog(block: str) -> list[str]:
    """The epilog's sections ('title:' at the start of a line) as sections of the page."""
    out: list[str] = []
    for section in re.split(r"\n(?=\S[^\n]*:\n)", block):
        title, colon, body = section.partition(":\n")
        if colon and "\n" not in title:
            out.append(f".SH {text(title.upper())}")
            section = body
        else:
            out.append(".SH NOTES")
        out += paragraphs(section)
    return out


def page() -> str:
    parser = cli.build_parser()
    formatter = parser.formatter_class(prog=parser.prog, width=WIDTH)
    formatter.add_usage(parser.usage, parser._actions, parser._mutually_exclusive_groups, "")
    usage = formatter.format_help().strip()
    lines = [
        f'.TH VARSIFT 1 "" "varsift {varsift_tools.__version__}" "User Commands"',
        ".SH NAME",
        "varsift \\- keep the header and the chosen records of a VCF file",
        ".SH SYNOPSIS",
        ".nf",
        *(text(line) for line in usage.splitlines()),
        ".fi",
        ".SH DESCRIPTION",
        *paragraphs(cli.DESCRIPTION),
        ".SH OPTIONS",
        *options(parser),
        *epilog(cli.EPILOG),
    ]
    return "\n".join(lines) + "\n"


def main() -> int:
    PAGE.parent.mkdir(exist_ok=True)
    PAGE.write_text(page())
    print(f"wrote {PAGE}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
