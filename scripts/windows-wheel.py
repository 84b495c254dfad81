"""Assembles the win_amd64 wheel of a Windows build: the package's Python files, its stubs and
py.typed, the extension module, the emulator DLL in the package's `_emulator` folder (where no
search for the runtime finds it), the pytest plugin's top-level module, and the metadata the
project's build gives the Linux wheel.

Usage: windows-wheel.py <folder with the built .pyd and .dll> <output folder> <CPython version>
Prints the wheel's path.
"""

import base64
import hashlib
import pathlib
import re
import sys
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "pyvessaruntime"


def tag(python_version: str) -> str:
    digits = python_version.replace(".", "")
    return f"cp{digits}-cp{digits}-win_amd64"


def version() -> str:
    text = (PACKAGE / "__init__.py").read_text()
    return re.search(r'__version__ = "([^"]+)"', text)[1]


def package_files(built: pathlib.Path, python_version: str) -> dict[str, bytes]:
    files = {f"pyvessaruntime/{p.name}": p.read_bytes()
             for p in sorted(PACKAGE.iterdir()) if p.suffix in {".py", ".pyi"} or p.name == "py.typed"}
    suffix = f".cp{python_version.replace('.', '')}-win_amd64.pyd"
    for name in (f"pyvessaruntime{suffix}", f"_results{suffix}", "_emulator/vessaruntime.dll"):
        files[f"pyvessaruntime/{name}"] = (built / name).read_bytes()
    files["_pyvessaruntime_pytest.py"] = (ROOT / "_pyvessaruntime_pytest.py").read_bytes()
    # The emulator guide, where the build's install rules put it.
    files["pyvessaruntime/EMULATOR.md"] = (ROOT / "runtime" / "emulator" / "README.md").read_bytes()
    return files


def project() -> dict:
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def entry_points() -> bytes:
    """entry_points.txt from the project's own table (the pytest plugin's registration)."""
    lines = []
    for group, entries in project().get("entry-points", {}).items():
        lines.append(f"[{group}]")
        lines += [f"{name} = {target}" for name, target in entries.items()]
    return ("\n".join(lines) + "\n").encode()


def core_metadata(project_version: str) -> bytes:
    """METADATA as the project's build writes it from pyproject.toml, the readme as the body."""
    table = project()
    lines = ["Metadata-Version: 2.4", f"Name: {table['name']}", f"Version: {project_version}",
             f"Summary: {table['description']}", f"License-Expression: {table['license']}"]
    lines += [f"Classifier: {classifier}" for classifier in table.get("classifiers", [])]
    lines.append(f"Requires-Python: {table['requires-python']}")
    for extra, requirements in table.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"'
                  for requirement in requirements]
    lines.append("Description-Content-Type: text/markdown")
    readme = (ROOT / table["readme"]).read_text(encoding="utf-8")
    return ("\n".join(lines) + "\n\n" + readme).encode()


def metadata(project_version: str, wheel_tag: str) -> dict[str, bytes]:
    info = f"pyvessaruntime-{project_version}.dist-info"
    return {
        f"{info}/entry_points.txt": entry_points(),
        f"{info}/METADATA": core_metadata(project_version),
        f"{info}/WHEEL": (
            "Wheel-Version: 1.0\n"
            "Generator: pyvessaruntime scripts/windows-wheel.py\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {wheel_tag}\n").encode(),
    }


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(built: pathlib.Path, dist: pathlib.Path, python_version: str) -> pathlib.Path:
    project_version = version()
    wheel_tag = tag(python_version)
    files = {**package_files(built, python_version), **metadata(project_version, wheel_tag)}
    record = f"pyvessaruntime-{project_version}.dist-info/RECORD"
    lines = [record_line(name, data) for name, data in files.items()] + [f"{record},,"]
    files[record] = ("\n".join(lines) + "\n").encode()
    dist.mkdir(parents=True, exist_ok=True)
    wheel = dist / f"pyvessaruntime-{project_version}-{wheel_tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            archive.writestr(name, data)
    return wheel


if __name__ == "__main__":
    print(main(pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]))
