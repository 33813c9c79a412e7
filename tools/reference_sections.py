"""Writes the reference page's sections of the functions of _routines from their list.

    tools/dev shell python tools/reference_sections.py          # rewrite docs/reference.md
    tools/dev shell python tools/reference_sections.py --check  # exit 1 if it is not current

The sections sit between the two marker lines below in docs/reference.md, one per list
entry in namespace order: the signature, the summary and its note, the parameters with
their kinds and texts, the results with their shapes, and a sound call. The sections of
_regression's nine functions are written by hand; a test holds their parameter tables
to the list (the same parameters, in order, of the same kinds).
"""

import argparse
import pathlib
import sys

import function_list

PAGE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "reference.md"
BEGIN = "<!-- The sections below are generated from _routines_functions.h by tools/reference_sections.py: do not edit. -->"
END = "<!-- End of the generated sections. -->"

# The page's name of each kind of parameter and result.
KIND_NAMES = {"vector": "vector", "matrix": "matrix", "real": "float", "integer": "integer",
              "flag": "flag", "ivector": "int64 vector", "strided": "strided matrix",
              "array": "float64 array", "iarray": "int64 array"}


def section(entry):
    params = ", ".join(p.name for p in entry.params)
    summary = f"{entry.summary.rstrip('.')}{entry.note}." if entry.note else entry.summary
    lines = [f"### `{entry.name}({params})`", "", summary, "",
             "| Parameter | Kind | Meaning |", "|---|---|---|"]
    lines += [f"| `{p.name}` | {KIND_NAMES[p.kind]} | {p.doc} |" for p in entry.params]
    lines += ["", "| Result | Kind | Shape or values |", "|---|---|---|"]
    for r in entry.results:
        shape = f"`{r.shape}`" if r.kind in ("array", "iarray") else r.shape
        lines.append(f"| `{r.name}` | {KIND_NAMES[r.kind]} | {shape} |")
    calls = (f"A sound call: `{entry.name}({entry.sound})`; refused with `ValueError`: "
             f"`{entry.name}({entry.refused})`.")
    lines += ["", calls, ""]
    return "\n".join(lines)


def page():
    """docs/reference.md with its generated sections made from the list now."""
    text = PAGE.read_text()
    head, rest = text.split(BEGIN + "\n", 1)
    _, tail = rest.split(END, 1)
    body = "\n".join(section(e) for e in function_list.read("_routines"))
    return f"{head}{BEGIN}\n\n{body}\n{END}{tail}"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="only check that the page is current")
    args = ap.parse_args(argv)
    text = page()
    if args.check:
        if PAGE.read_text() != text:
            print(f"{PAGE} is not current: run tools/reference_sections.py", file=sys.stderr)
            return 1
        return 0
    PAGE.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
