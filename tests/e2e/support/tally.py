"""Figures for docs/RELIABILITY.md: what each fault or load test tried and
what the system did.  Tests add to a tally as their checks pass; every add
rewrites $BUILD_DIR/reliability/<name>.json, which scripts/reliability-report
turns into the table.  Without BUILD_DIR nothing is written.

    tally = Tally("faults_store")
    tally.add("store daemon", "closes mid-frame", "reply ended, next request served")
"""

import json
import os
import threading


class Tally:
    def __init__(self, name):
        self.name = name
        self.rows = {}
        self.order = []
        self.lock = threading.Lock()
        build = os.environ.get("BUILD_DIR")
        self.path = os.path.join(build, "reliability", name + ".json") if build else None

    def add(self, area, case, outcome, tries=1, lost="nothing"):
        """Counts tries more of (area, case); the latest outcome and loss stand."""
        key = (area, case)
        with self.lock:
            row = self.rows.get(key)
            if row is None:
                row = {"area": area, "case": case, "tries": 0}
                self.rows[key] = row
                self.order.append(key)
            row["tries"] += tries
            row["outcome"] = outcome
            row["lost"] = lost
            self._write()

    def _write(self):
        if not self.path:
            return
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump([self.rows[k] for k in self.order], f, indent=1)
        os.replace(tmp, self.path)
