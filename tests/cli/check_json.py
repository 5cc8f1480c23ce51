#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""check_json.py SCHEMA FILE...: each FILE's chipwright-cli --json object against SCHEMA.

Prints every violation as "FILE (COMMAND, RESULT): WHERE: MESSAGE"; exits 1 when there
is one. Run with the system's python3, which has python3-jsonschema.
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failed = False
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
        for error in validator.iter_errors(report):
            failed = True
            where = "/".join(str(p) for p in error.absolute_path) or "the object"
            print(f"{path} ({report.get('command')}, {report.get('result')}): {where}: "
                  f"{error.message}")
    return 1 if failed else 0


sys.exit(main())
