#!/usr/bin/env python3
"""What a LangGraph step stores in PostgreSQL, table by table, ours beside PostgresSaver.

    python3 bench/bench_postgres_bytes.py [--steps 4000] [--channels 10] [--warm-up 100]

The step is bench_langgraph.py's (a put with one of N channels changed, then a
put_writes of that task's write), on one throwaway server (fsync on), each
saver in a schema of its own. Bytes per step are the growth of each relation's
main fork and of its free-space map over `--steps` steps after `--warm-up`.
PostgreSQL gives a table its free-space map (24 KiB) when the table grows past
its first page: a window that starts before that counts a one-time cost as
growth per step, so the warm-up is long enough for a small step's tables. Pages
are 8 KiB, so a figure moves by 8192 / steps where a page is or is not added.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import postgres_server  # noqa: E402
import psycopg  # noqa: E402
from bench_langgraph import Thread  # noqa: E402
from derirezaro.langgraph import DerirezaroSaver  # noqa: E402
from langgraph.checkpoint.postgres import PostgresSaver  # noqa: E402
from psycopg.rows import dict_row  # noqa: E402

# Every relation of the schema with its TOAST table and that table's index: (name, main, free-space map).
SIZES = """
WITH own AS (SELECT c.oid, c.relname, c.reltoastrelid FROM pg_class c
             JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = %s)
SELECT relname, pg_relation_size(oid, 'main'), pg_relation_size(oid, 'fsm') FROM own
UNION ALL SELECT 'TOAST of ' || relname, pg_relation_size(reltoastrelid, 'main'),
    pg_relation_size(reltoastrelid, 'fsm') FROM own WHERE reltoastrelid <> 0
UNION ALL SELECT 'TOAST index of ' || o.relname, pg_relation_size(i.indexrelid, 'main'), 0
    FROM own o JOIN pg_index i ON i.indrelid = o.reltoastrelid
"""


def sizes(admin, schema: str) -> dict[str, tuple[int, int]]:
    return {name: (main, fsm) for name, main, fsm in admin.execute(SIZES, (schema,))}


def saver_in(url: str, admin, label: str):
    schema = f"bytes_{label.lower()}"
    admin.execute(f'CREATE SCHEMA "{schema}"')
    if label == "ours":
        return schema, DerirezaroSaver.postgres(url, schema=schema)
    # As PostgresSaver.from_conn_string connects, with the schema first in the search path.
    conn = psycopg.connect(
        url, autocommit=True, prepare_threshold=0, row_factory=dict_row, options=f"-c search_path={schema}"
    )
    saver = PostgresSaver(conn)
    saver.setup()
    return schema, saver


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=4000)
    parser.add_argument("--channels", type=int, default=10)
    parser.add_argument("--warm-up", type=int, default=100)
    args = parser.parse_args()
    print(f"bytes per step at {args.channels} channels, {args.steps} steps after {args.warm_up}")
    with (
        postgres_server.PostgresServer(fsync=True) as server,
        psycopg.connect(server.url, autocommit=True) as admin,
    ):
        for label in ("ours", "PostgresSaver"):
            schema, saver = saver_in(server.url, admin, label)
            thread = Thread(saver, args.channels)
            for _ in range(args.warm_up):
                thread.one()
            before = sizes(admin, schema)
            start, start_cpu = time.perf_counter(), time.thread_time()
            for _ in range(args.steps):
                thread.one()
            wall, cpu = time.perf_counter() - start, time.thread_time() - start_cpu
            after = sizes(admin, schema)
            grown = {
                name: [
                    (now - was) / args.steps
                    for now, was in zip(after[name], before.get(name, (0, 0)), strict=True)
                ]
                for name in after
            }
            total = sum(main + fsm for main, fsm in grown.values())
            print(
                f"{label}: {total:.0f} B/step; {wall / args.steps * 1e6:.0f} us wall,"
                f" {cpu / args.steps * 1e6:.0f} us CPU a step"
            )
            for name, (main, fsm) in sorted(grown.items()):
                if main or fsm:
                    print(f"    {name:<36} {main:8.1f}   free-space map {fsm:5.1f}")


if __name__ == "__main__":
    main()
