"""The package's import graph, read from the source: no cycle between its
modules, and each layer imports only what it may (see the README's "How the
code is laid out")."""

import ast
import importlib
import re
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "velmor_platform"
NAME = "velmor_platform"

if not PACKAGE.is_dir():
    pytest.skip("the package's sources are not beside the tests", allow_module_level=True)


def module_name(path: Path) -> str:
    parts = [NAME, *path.relative_to(PACKAGE).with_suffix("").parts]
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {module_name(p): p for p in PACKAGE.rglob("*.py")}
NATIVE = PACKAGE.parent.parent / "native" / "product_core"
#: The product core (velmor_platform.core.product_core) takes names from its
#: siblings by string: import_from(globals, "module", level, "name") and
#: bind_from(globals, "module", level, {"name", ...}).
_NATIVE_CALL = re.compile(
    r'(?:import_from|bind_from)\(\s*[\w.>-]+,\s*"([\w.]+)",\s*(\d),\s*([^)]*)\)'
)


def native_imports() -> dict[str, set[str]]:
    """Module of the package -> the names the native core takes from it."""
    found: dict[str, set[str]] = {}
    for source in sorted(NATIVE.rglob("*.cpp")):
        for module, level, names in _NATIVE_CALL.findall(source.read_text()):
            if int(level) == 0:
                continue  # outside the package (pxr, typing, ...)
            base = ["velmor_platform", "core"][: 3 - int(level)]
            found.setdefault(".".join([*base, module]), set()).update(re.findall(r'"(\w+)"', names))
    return found


def _is_type_checking(node: ast.If) -> bool:
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def _runtime_imports(tree: ast.AST) -> list[ast.Import | ast.ImportFrom]:
    """Every import statement, at any depth, except those only for type checkers."""
    found: list[ast.Import | ast.ImportFrom] = []

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.If) and _is_type_checking(node):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            found.append(node)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


def imports_of(name: str) -> set[str]:
    """Modules of the package and outside libraries that ``name`` imports."""
    path = MODULES[name]
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    out: set[str] = set()
    for node in _runtime_imports(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            out.update(alias.name for alias in node.names)
            continue
        if node.level:
            base = package.split(".")
            base = base[: len(base) - node.level + 1]
            target = ".".join(base + ([node.module] if node.module else []))
        else:
            target = node.module or ""
        for alias in node.names:
            sub = f"{target}.{alias.name}"
            out.add(sub if sub in MODULES else target)
    return out


GRAPH = {name: {m for m in imports_of(name) if m in MODULES} for name in MODULES}


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components of more than one module (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def connect(v: str) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph[v]:
            if w not in index:
                connect(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1 or v in graph[v]:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            connect(v)
    return found


def test_the_graph_is_read():
    assert f"{NAME}.cli.parser" in GRAPH[f"{NAME}.cli.commands.products"]
    assert cycles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]


def test_no_import_cycle():
    assert cycles(GRAPH) == []


def _under(name: str, *prefixes: str) -> bool:
    return any(name == p or name.startswith(p + ".") for p in prefixes)


@pytest.mark.parametrize(
    "layer, forbidden",
    [
        # The web and the command line are faces side by side: neither imports the other,
        # except that the command line's serve starts the web application.
        ("web", ("velmor_platform.cli", "argparse")),
        ("services", ("velmor_platform.cli", "velmor_platform.web", "argparse", "starlette")),
        ("core", ("velmor_platform.services", "velmor_platform.cli", "velmor_platform.web")),
        ("cfd", ("velmor_platform.services", "velmor_platform.cli", "velmor_platform.web")),
        ("mcp", ("velmor_platform.cli", "velmor_platform.web")),
        ("rules", ("velmor_platform",)),
        ("formats", ("velmor_platform",)),
    ],
)
def test_layers_import_only_what_they_may(layer, forbidden):
    found = [
        f"{name} imports {imported}"
        for name in MODULES
        if _under(name, f"{NAME}.{layer}")
        for imported in imports_of(name)
        if _under(imported, *forbidden) and imported != f"{NAME}.errors"  # the errors' root
    ]
    assert found == []


def test_command_modules_never_import_each_other():
    commands = f"{NAME}.cli.commands"
    found = [
        f"{name} imports {imported}"
        for name in MODULES
        if name.startswith(commands + ".")
        for imported in GRAPH[name]
        if imported.startswith(commands)
    ]
    assert found == []


def test_study_uses_only_public_names_of_cfd():
    cfd = f"{NAME}.cfd"
    found = []
    for name in MODULES:
        if not _under(name, f"{NAME}.study"):
            continue
        tree = ast.parse(MODULES[name].read_text())
        aliases = set()
        for node in _runtime_imports(tree):
            if isinstance(node, ast.ImportFrom) and node.module and "cfd" in node.module:
                for alias in node.names:
                    aliases.add(alias.asname or alias.name)
                    if alias.name.startswith("_"):
                        found.append(f"{name} imports {alias.name}")
        found += [
            f"{name} uses {node.value.id}.{node.attr}"
            for node in ast.walk(tree)
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
            and node.value.id in aliases and node.attr.startswith("_")
            and not node.attr.startswith("__")
        ]  # fmt: skip
    assert cfd in MODULES and found == []


@pytest.mark.skipif(
    not NATIVE.is_dir(), reason="the native core's sources are not beside the tests"
)
def test_every_name_the_native_core_takes_by_string_is_there():
    found = native_imports()
    assert {"diff_products", "load_product", "load_product_history", "TARGET_ATTRIBUTES",
            "open_vehicle_stage"} <= found["velmor_platform.core.usd_product"]  # fmt: skip
    missing = [
        f"{module}.{name}"
        for module, names in found.items()
        for name in sorted(names)
        if not hasattr(importlib.import_module(module), name)
    ]
    assert missing == []


#: The MCP face: the template server and its tools (the rest of mcp/ is its client).
MCP_FACE = (f"{NAME}.mcp.openfoam_server", f"{NAME}.mcp.tools")


def package_of(module: str) -> str:
    """The node of the package graph a module belongs to."""
    if _under(module, *MCP_FACE):
        return "mcp.tools"
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else "velmor_platform"


#: Package -> the packages its modules may import, from the bottom up. An arrow
#: not listed here fails until someone decides it (and adds it to the README).
ALLOWED: dict[str, set[str]] = {
    "velmor_platform": set(),  # __version__
    "errors": set(),  # the root of the package's own errors: everyone may import it
    "rules": {"errors"},
    "formats": set(),
    "core": {"errors", "rules"},
    "mcp": {"velmor_platform", "errors", "core"},  # the MCP client
    "cfd": {"errors", "rules", "core"},
    "dynamics": {"errors", "core", "cfd"},  # runs are recorded by cfd.record
    "post": {"core", "cfd"},
    "study": {"errors", "rules", "core", "mcp", "cfd"},
    "services": {"errors", "rules", "formats", "core", "mcp", "cfd", "dynamics", "post", "study"},
    # The faces. post: how a report's record and deltas read (post.record, post.report).
    "cli": {"velmor_platform", "rules", "formats", "core", "post", "services", "web"},  # web: serve
    "web": {"velmor_platform", "rules", "formats", "core", "services"},
    "mcp.tools": {"velmor_platform", "errors", "core", "post", "services"},
    "__main__": {"cli"},
}
#: Arrows no import statement shows: the native core (velmor_platform.core.product_core)
#: takes names from these packages by string.
NATIVE_ARROWS = {("core", "mcp"): "the capabilities query connects with mcp.mcp_transport"}


def package_arrows() -> dict[tuple[str, str], list[str]]:
    arrows: dict[tuple[str, str], list[str]] = {}
    for name, imported in GRAPH.items():
        for other in imported:
            if package_of(name) != package_of(other):
                arrows.setdefault((package_of(name), package_of(other)), []).append(
                    f"{name} imports {other}"
                )
    if NATIVE.is_dir():
        for module in native_imports():
            if package_of(module) != "core":
                arrows.setdefault(("core", package_of(module)), []).append(f"native -> {module}")
    return arrows


def test_every_package_imports_only_what_its_allow_list_says():
    arrows = package_arrows()
    unlisted = [
        why
        for (a, b), whys in sorted(arrows.items())
        if b not in ALLOWED.get(a, set()) and (a, b) not in NATIVE_ARROWS
        for why in whys
    ]
    assert unlisted == []
    assert set(ALLOWED) == {package_of(m) for m in MODULES}  # a new package is decided too
    assert cycles(ALLOWED) == []  # the allowed graph is a DAG (the native arrows aside)
    if NATIVE.is_dir():
        assert set(NATIVE_ARROWS) <= set(arrows)  # an exception that no longer holds goes
