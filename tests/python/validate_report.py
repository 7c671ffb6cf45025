"""validate_report.py SCHEMA_DIR FILE...: each report against the schema of its "format"; for
the C++ tests that make reports. Exit status 1 with the first fault of each one that fails."""

import json
import pathlib
import sys

import jsonschema

folder = pathlib.Path(sys.argv[1])
status = 0
for name in sys.argv[2:]:
    report = json.loads(pathlib.Path(name).read_text(encoding="utf-8"))
    schema = folder / (str(report.get("format", "?")).replace("/", "-") + ".schema.json")
    try:
        jsonschema.validate(report, json.loads(schema.read_text(encoding="utf-8")))
    except (OSError, jsonschema.ValidationError) as error:
        print("%s: %s" % (name, error), file=sys.stderr)
        status = 1
sys.exit(status)
