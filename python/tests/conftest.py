"""The package's own tests: every line a serve test reads, and every report a test makes, is
checked against the schemas in the tree's schemas/ folder (or $KOVA_SCHEMAS)."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
from typing import Any, Iterator

import jsonschema
import pytest

SCHEMAS = pathlib.Path(os.environ.get("KOVA_SCHEMAS") or pathlib.Path(__file__).parents[2] / "schemas")


def validator(name: str) -> jsonschema.protocols.Validator:
    schema = json.loads((SCHEMAS / name).read_text(encoding="utf-8"))
    return jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())


@pytest.fixture
def serve_lines() -> Iterator[list[dict[str, Any]]]:
    """Collects the lines a Panel reads (hand `serve_lines.append` to its on_line); at the end of
    the test each must be a line of the serve protocol."""
    lines: list[dict[str, Any]] = []
    yield lines
    check = validator("kova_en-serve-1.schema.json")
    for line in lines:
        check.validate(line)


@pytest.fixture
def kova_panel_options(serve_lines: list[dict[str, Any]]) -> dict[str, Any]:
    return {"on_line": serve_lines.append}


def validate_report(path: pathlib.Path) -> dict[str, Any]:
    """The report, once its format's schema took it."""
    report = json.loads(path.read_text(encoding="utf-8"))
    name = {"kova_en-permanence/1": "kova_en-permanence-1.schema.json",
            "kova_en-check/1": "kova_en-check-1.schema.json"}[report["format"]]
    validator(name).validate(report)
    return dict(report)


def validate_junit(path: pathlib.Path) -> None:
    """Against Ant's JUnit schema ($KOVA_JUNIT_XSD); skipped where that file is not at hand."""
    xsd = os.environ.get("KOVA_JUNIT_XSD", "")
    if not xsd or not os.path.isfile(xsd):
        pytest.skip("the Ant JUnit schema is not here (KOVA_JUNIT_XSD=%r)" % xsd)
    if shutil.which("xmllint") is None:
        pytest.fail("xmllint is missing (Debian's libxml2-utils)")
    run = subprocess.run(["xmllint", "--noout", "--schema", xsd, str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


@pytest.fixture
def kova_en(request: pytest.FixtureRequest) -> str:
    """The kova_en the plugin runs."""
    return str(request.config.getoption("kova_en") or os.environ.get("KOVA_EN") or "kova_en")
