"""The pages' document reader (nivra/viz/web/data.js) under Node: JSON text with the bare NaN and
Infinity tokens Python writes, keys such as "__proto__" kept as data, tokens inside strings left
alone."""
import json
import shutil
import subprocess
from pathlib import Path

import pytest

DATA_JS = Path(__file__).resolve().parent.parent / "nivra" / "viz" / "web" / "data.js"

# Parses each text of the JSON list on stdin; NaN and infinities come back tagged.
DRIVER = """
const fs = require("fs");
const parse = new Function(fs.readFileSync(process.argv[1], "utf8") + "\\nreturn parseDocumentText;")();
const tag = (k, v) => (typeof v === "number" && !isFinite(v) ? "#" + String(v) : v);
const out = JSON.parse(fs.readFileSync(0, "utf8")).map((t) => {
  const doc = parse(t);
  const proto = doc && typeof doc === "object" && Object.prototype.hasOwnProperty.call(doc, "__proto__");
  return { doc: JSON.parse(JSON.stringify(doc, tag)), ownProto: proto, plain: Object.getPrototypeOf(doc) === Object.prototype };
});
process.stdout.write(JSON.stringify(out));
"""


def test_reader_keeps_data_as_written():
    node = shutil.which("node") or shutil.which("nodejs")
    if node is None:
        pytest.skip("Node is not installed")
    docs = [
        {"a": [1.5, float("nan"), float("inf"), -float("inf")], "s": "NaN -Infinity \"NaN\" \\"},
        {"__proto__": {"partition": {"algorithm": "X"}, "n": float("nan")}, "k": "nivranan0", "n": float("nan")},
        {"plain": [1, 2, 3], "text": "no special tokens"},
        float("nan"),
        {"b64": "QU5hTkluZmluaXR5", "in": "NaN\"NaN\\", "__proto__": float("nan"), "tail": [-float("inf"), "Infinity"]},
    ]
    texts = [json.dumps(d) for d in docs]
    res = subprocess.run([node, "-e", DRIVER, str(DATA_JS)], input=json.dumps(texts),
                         capture_output=True, text=True, check=True)
    out = json.loads(res.stdout)
    assert out[0]["doc"] == {"a": [1.5, "#NaN", "#Infinity", "#-Infinity"], "s": docs[0]["s"]}
    assert out[1]["ownProto"] and out[1]["plain"]
    assert out[1]["doc"] == {"__proto__": {"partition": {"algorithm": "X"}, "n": "#NaN"}, "k": "nivranan0", "n": "#NaN"}
    assert out[2]["doc"] == docs[2] and out[3]["doc"] == "#NaN"
    assert out[4]["doc"] == {"b64": "QU5hTkluZmluaXR5", "in": docs[4]["in"], "__proto__": "#NaN", "tail": ["#-Infinity", "Infinity"]}
    assert out[4]["ownProto"] and out[4]["plain"]
