"""Source rules of the native core, checked on the C++ text: the patterns the
runtime layer (native/product_core/runtime/) exists to prevent do not appear
in the member files."""

import re
from pathlib import Path

import pytest

NATIVE = Path(__file__).resolve().parent.parent / "native" / "product_core"
SOURCES = sorted(NATIVE.rglob("*.[ch]pp"))
MEMBER_FILES = [p for p in SOURCES if "runtime" not in p.relative_to(NATIVE).parts]
SHARED_TABLES = {"self_only", "no_params"}  # members.hpp

if not SOURCES:
    pytest.skip("the C++ sources are not beside the tests", allow_module_level=True)


def code(path: Path) -> str:
    """The text of `path` without comments and string literals."""
    text = re.sub(r"/\*.*?\*/", " ", path.read_text(), flags=re.S)
    text = re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)
    return re.sub(r"//[^\n]*", "", text)


def test_no_bare_reference_counting_outside_the_runtime():
    found = [
        f"{p.name}: {m}" for p in MEMBER_FILES for m in re.findall(r"\bPy_X?DECREF\s*\(", code(p))
    ]
    assert found == [], "owned references belong in a Ref"


def test_no_hand_parsed_arguments():
    found = [
        f"{p.name}: {m}"
        for p in SOURCES
        for m in re.findall(r"\bPyArg_\w*Parse\w*|\bPyArg_Unpack\w*", code(p))
    ]
    found += [
        f"{p.name}: {m}"
        for p in MEMBER_FILES
        for m in re.findall(r"\bMETH_(?:VARARGS|KEYWORDS|FASTCALL|O)\b", code(p))
    ]
    assert found == [], "members declare parameter tables and go through the binder"


def test_every_member_has_a_parameter_table():
    declared = re.findall(r"extern const Signature ([^;]*);", code(NATIVE / "members.hpp"))
    members = {name.strip() for names in declared for name in names.split(",")}
    defined = set()
    for path in MEMBER_FILES:
        text = code(path)
        tables = set(re.findall(r"constexpr Param (\w+)\[\]", text)) | SHARED_TABLES
        for name, body in re.findall(r"\bSignature (\w+)\s*\{(.*?)\};", text, flags=re.S):
            params = re.search(r"\.params = (\w+)", body)
            assert params and params.group(1) in tables, f"{path.name}: {name} has no table"
            defined.add(name)
    assert members and members <= defined, members - defined
