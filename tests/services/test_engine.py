"""The engine's rule: a memo is current while all it read is unchanged."""

from __future__ import annotations

import os
import random
from pathlib import Path

from morvane.core import engine


def test_queries_agree_with_a_fresh_session_and_recompute_only_what_changed(tmp_path, monkeypatch):
    # Three layers of queries over a folder of files: each file's first word
    # (an analysis), the sorted set of first words (one query over every
    # file), and its length (a query over that one). Random edits: new words,
    # the same word again (which backdates), deletions, same-size rewrites
    # within the second. After each pass the answers are a fresh session's,
    # and a query ran again only when something it read took a new value.
    monkeypatch.setattr(engine, "RACY_NS", 0)  # stamps vouch as soon as taken; same-second edits below
    rng = random.Random(3)
    root = tmp_path / "p"
    root.mkdir()
    runs: list[str] = []

    def first_word(path: Path, tree: object, module: str, is_package: bool) -> str:
        runs.append("word")
        try:
            return path.read_text().split()[0]
        except (OSError, IndexError):
            return ""

    def words(session: engine.Session, folder: str) -> tuple[str, ...]:
        runs.append("words")
        files, _ = session.listing(folder)
        return tuple(sorted({session.analysed("word", p, "", False) for p in files}))

    def count(session: engine.Session, folder: str) -> int:
        runs.append("count")
        return len(session.query(words, session, folder))

    def new_session() -> engine.Session:
        made = engine.Session()
        made.analysis("word", first_word)
        return made

    def answers(session: engine.Session) -> tuple[object, ...]:
        with session.one_pass():
            return session.query(words, session, str(root)), session.query(count, session, str(root))

    kept = new_session()
    for i in range(6):
        (root / f"m{i}.py").write_text(f"w{i % 3}\n")
    previous = answers(kept)
    for step in range(50):
        path = root / f"m{rng.randrange(8)}.py"
        op = rng.randrange(4)
        if op == 0:
            path.write_text(f"w{rng.randrange(5)}\n")
        elif op == 1 and path.exists():
            stat = path.stat()
            text = path.read_text()
            path.write_text(text.replace("w", "v") if "w" in text else text.replace("v", "w"))
            os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))  # the same stamp but ctime
        elif op == 2:
            path.unlink(missing_ok=True)
        runs.clear()
        now = answers(kept)
        mine = list(runs)
        assert now == answers(new_session()), step
        if now[0] == previous[0]:
            assert "count" not in mine, step  # backdated: the words' memo kept its revision
        if now == previous:
            assert now[0] is previous[0] or "words" in mine  # an equal result keeps the old object
        previous = now
    runs.clear()
    assert answers(kept) == previous and runs == []  # nothing changed: nothing runs


def test_clear_forgets_everything_and_a_cycle_is_an_error(tmp_path):
    session = engine.Session()
    forgotten = []
    session.on_clear(lambda: forgotten.append(True))
    path = tmp_path / "a.py"
    path.write_text("x = 1\n")
    assert session.digest(path) is not None and len(session.listing(tmp_path)[0]) == 1

    def loop(session: engine.Session) -> object:
        return session.query(loop, session)

    try:
        session.query(loop, session)
    except engine.CycleError:
        pass
    else:
        raise AssertionError("a query that asks for itself must fail")
    session.clear()
    assert forgotten == [True] and len(session) == 0 and not session.seen(path)


def test_paths_resolved_within_a_pass_match_pathlib(tmp_path):
    # Within a pass a listed file that is no link resolves to itself; links
    # (of folders, of files, dangling), missing files and ".." must come out
    # as pathlib resolves them, listed or not.
    real = tmp_path / "real"
    (real / "sub" / "deep").mkdir(parents=True)
    (real / "sub" / "deep" / "b.py").write_text("")
    (real / "sub" / "inner").symlink_to(real / "sub" / "deep", target_is_directory=True)
    (real / "a.py").write_text("")
    (real / "target.py").write_text("")
    (tmp_path / "linked").symlink_to(real, target_is_directory=True)
    (real / "link.py").symlink_to(real / "target.py")
    (real / "dangling.py").symlink_to(tmp_path / "nowhere.py")
    names = ["a.py", "link.py", "dangling.py", "missing.py", "sub", "sub/../a.py", "../real/a.py",
             "sub/deep/b.py", "sub/inner/b.py", "sub/deep", "sub/inner", ""]
    session = engine.Session()
    for listed in (real, tmp_path / "linked"):
        with session.one_pass():
            session.listing(listed)
            within = [session.resolved(folder, name) for folder in (real, tmp_path / "linked", tmp_path / "gone")
                      for name in names]
        assert within == [(folder / name).resolve() for folder in (real, tmp_path / "linked", tmp_path / "gone")
                          for name in names]
