# jsonout.py: the JSON for programs: flycompare's --json (the analysis
# document's records under their field names) and flyhistory's report
# --json. The field names are stable within a version.
import json

from ..records import Document, to_json


def compare_json(doc: Document) -> str:
    """The document as the --json file."""
    return json.dumps(to_json(doc), indent=1, allow_nan=False) + "\n"


def history_json(histories: list) -> str:
    """flyhistory report's --json: per series its fields, steps, drift,
    reach (the smallest step of each line found half the time; null: too
    short to search) and commits."""
    return json.dumps({"format": "flyhistory-report", "version": 1, "series": [
        {"id": h.series.id, "name": h.name, "fields": to_json(h.series), "steps": to_json(h.steps),
         "drift": to_json(h.drift), "reach": to_json(h.reach),
         "commits": [{"commit": c.commit, "sha": c.sha, "branch": c.branch, "date": c.date,
                      "runs": [{"id": r.id, "path": r.path, "passes": r.passes, "segments": r.seg}
                               for r in c.runs]} for c in h.commits]} for h in histories]}, indent=1)
