#!/usr/bin/env python3
"""Fails when a source file shown in the README differs from the README's copy.

Usage: check_readme_examples.py README.md FILE...
"""
import sys


def main() -> int:
    readme = open(sys.argv[1], encoding="utf-8").read()
    stale = [path for path in sys.argv[2:]
             if "```cpp\n" + open(path, encoding="utf-8").read() + "```" not in readme]
    for path in stale:
        print(f"README's copy of {path} is stale")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
