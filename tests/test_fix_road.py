"""The host's fix road end to end over a project with odd but valid code: only the
statements that hold a fixable finding change, every comment and every other byte
stays, and the modules it cannot fix are named."""
import re
import shutil
from pathlib import Path

import support

FIXTURE = Path(__file__).parent / "fixtures" / "fixroad"
FIXED_CODES = {"C2000", "C2002", "C2003", "C2006", "C2008", "C6002", "C8001",
               "C9000", "C9001", "C9002", "C9003", "C4011", "C4017"}
FINDING = re.compile(r"^(?P<path>\S+):(?P<line>\d+):\d+: (?P<code>C\d{4}) ", re.M)


def host(*args):
    return support.run_fresh("-m", "korvane.host", *args, timeout=600)


def findings(root):
    return [(m["path"], int(m["line"]), m["code"]) for m in FINDING.finditer(host(str(root)).stdout)]


def project(tmp_path):
    root = tmp_path / "library"
    shutil.copytree(str(FIXTURE), str(root))
    views = root / "shelf" / "views.py"
    views.write_bytes(views.read_bytes().replace(b"\n", b"\r\n"))
    # A module that a newer parser takes, and one whose tree exhausts the recursion limit.
    (root / "shelf" / "matching.py").write_text(
        "def side_of(code):\n    match code:\n        case 'l':\n            return 'Left'\n")
    (root / "shelf" / "weights.py").write_text(
        "# Generated; do not edit.\nTOTAL = " + " + ".join(["1"] * 3000) + "\n")
    return root


def test_fix_changes_only_what_its_findings_name(tmp_path):
    root = project(tmp_path)
    before = {p: p.read_bytes() for p in root.rglob("*.py")}
    found = findings(root)
    assert {code for _, _, code in found} >= {"C2000", "C2003", "C2006", "C2008", "C9000", "C9003",
                                              "C6002", "C8001", "C4011"}

    result = host("--fix", str(root))
    assert result.returncode == 0, result.stderr
    written = set(re.findall(r"^fixed (\S+)$", result.stdout, re.M))
    assert written == {"library/settings.py", "shelf/models.py", "shelf/views.py",
                       "shelf/summary.py", "shelf/migrations/0001_initial.py"}
    skipped = re.findall(r"^Skipped (\S+): (.*)$", result.stderr, re.M)
    assert sorted(path for path, _ in skipped) == ["shelf/matching.py", "shelf/weights.py"]
    assert "RecursionError" in dict(skipped)["shelf/weights.py"]
    # a count() call that its f-string cannot hold (it needs the string's quote)
    not_fixed = set(re.findall(r"^Not fixed: (\S+):(\d+): (C\d{4})", result.stderr, re.M))
    assert not_fixed == {("shelf/summary.py", "12", "C9000")}
    assert re.search(r"^Not fixed: shelf/summary.py:12: C9000: .*cannot be written in its f-string",
                     result.stderr, re.M), result.stderr

    for path in written:
        old = before[root / path].decode().replace("\r\n", "\n")
        new_bytes = (root / path).read_bytes()
        new = new_bytes.decode().replace("\r\n", "\n")
        compile(new, path, "exec")
        assert support.comments_of(new) == support.comments_of(old), path
        lines = [line for p, line, code in found if p == path and code in FIXED_CODES]
        # the import block takes the names that fixed code uses
        allowed = support.statement_lines(old, lines) | support.import_lines(old)
        changed, inserted_before = support.changed_old_lines(old, new)
        assert changed <= allowed, (path, sorted(changed - allowed))
        last = old.count("\n") + 1
        # created code goes into a statement's lines or at the end of the file
        assert all(line in allowed or line + 1 in allowed or line >= last - 1
                   for line in inserted_before), path
        if path == "shelf/views.py":
            assert b"\r\n" in new_bytes and b"\n" not in new_bytes.replace(b"\r\n", b"")

    summary = (root / "shelf" / "summary.py").read_text()
    assert ('        raise ValueError(f"no shelf has a negative number "\n'
            '                         f"(got {type(pk).__name__} {pk})")\n') in summary
    assert "    heading = f'{books.count()} books on \"{pk}\"'\n" in summary
    assert "    dune = f'{len(books.filter(title=\"Dune\"))} copies of Dune'\n" in summary
    assert "'heading': heading,  # the page's title\n" in summary and "'count': books.count()," in summary
    settings = (root / "library" / "settings.py").read_text()
    assert "CSRF_COOKIE_SECURE = True; SECURE_HSTS_SECONDS = 3600\nSECURE_HSTS_INCLUDE_SUBDOMAINS = True\n" in settings

    models = (root / "shelf" / "models.py").read_text()
    assert "\f\n" in models and "0x_FF, 1e-3j, 0o17" in models
    assert "        ('l',   'Left'),\n" in models and "default='l',)" in models
    assert "        max_length=40,  # printed on the spine\n        default='',\n" in models
    assert "ordering = ['position',]" in models
    # a fixed statement keeps its layout unless the fix needs a new one, and never
    # gets one under `# fmt: off`
    assert "    code = models.CharField( max_length = 20 , default = '', blank=True )\n" in models
    views = (root / "shelf" / "views.py").read_text()
    assert "    return redirect('shelf:books',\n                    pk=book.shelf_id)\n" in views

    after = findings(root)
    fixed_paths = {p for p, _, _ in found}
    assert not {(p, code) for p, line, code in after
                if code in FIXED_CODES and p in written and (p, str(line), code) not in not_fixed}
    assert {(p, code) for p, _, code in after} <= {(p, code) for p, _, code in found}
    assert fixed_paths >= {p for p, _, _ in after}
    # the files the fix road did not write are as they were, byte for byte
    for path, data in before.items():
        if str(path.relative_to(root)) not in written:
            assert path.read_bytes() == data, path


def test_diff_prints_nothing_when_producing_fails(tmp_path, monkeypatch, capsys):
    from korvane import host as host_module
    from korvane.staticanalysis import transformer

    def failing(project_root, whitelist):
        yield "x = 1\n", "shelf/models.py"
        raise OSError("the disk went away")

    monkeypatch.setattr(transformer, "transform_files", failing)
    monkeypatch.setattr("sys.path", list(__import__("sys").path))
    monkeypatch.chdir(tmp_path)
    assert host_module.main(["--diff", str(shutil.copytree(str(FIXTURE), str(tmp_path / "p")))]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.splitlines() == ["korvane.host: fixing failed: OSError: the disk went away"]
