"""Replays the committed fuzzing corpus (fuzz/corpus/<target>/): through the Python-visible
equivalents of each C++ surface, and through the harnesses themselves compiled without
libFuzzer (fuzz/replay_main.cpp) with the sanitizers when the compiler has them."""
import base64
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import sweep_support as s
from nivra.viz import encode

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"


def corpus(target):
    files = sorted((CORPUS / target).iterdir())
    assert files, f"empty corpus for {target}"
    return [f.read_bytes() for f in files]


def test_base64_corpus_through_encode_array():
    for data in corpus("base64"):
        want = base64.b64encode(data).decode("ascii")
        assert encode.encode_array(np.frombuffer(data, np.uint8))["data"] == want
        if len(data) > 1:  # the harness's second input: a suffix at every offset
            tail = data[data[0] % len(data):]
            assert encode.encode_array(np.frombuffer(tail, np.uint8))["data"] == \
                base64.b64encode(tail).decode("ascii")


# Mirrors page_tokens in fuzz/page_fuzz.cpp: byte -> token, 0xFF ends a text; the bytes after
# the third text give width and height as 64-bit wrapping sums.
TOKENS = ["{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}", "{{", "}}", "{", "}", "TITLE",
          "DATA_JSON", "WIDTH", "HEIGHT", "{{TI", "TLE}}", "{{WID", "TH}}", "{{HEI", "GHT}}", "{{DATA_",
          "JSON}}", "<", ">", "&", "\u2028", "\u2029", '"', "a", "\u00e9", "\u0100", "\U0001F600", "\\", " "]


def page_inputs(data):
    texts, t, i = ["", "", ""], 0, 0
    while i < len(data) and t < 3:
        if data[i] == 0xFF:
            t += 1
        else:
            texts[t] += TOKENS[data[i] % len(TOKENS)]
        i += 1
    wv = hv = 0
    for j in range(i, len(data)):
        signed = data[j] - 256 if data[j] > 127 else data[j]
        if j & 1:
            wv = (wv * 31 + signed) % 2**64
        else:
            hv = (hv * 31 + signed) % 2**64
    as_signed = lambda v: v - 2**64 if v >= 2**63 else v  # noqa: E731
    return texts[0], texts[1], texts[2], as_signed(wv), as_signed(hv)


def test_page_corpus_through_render_html(monkeypatch, tmp_path):
    render = s.module("render")
    if render is None:
        pytest.skip("nivra.viz.render is not built")
    monkeypatch.setattr(render, "TEMPLATES_DIR", tmp_path)
    for data in corpus("page"):
        template, title, text, width, height = page_inputs(data)
        (tmp_path / "viewer.html").write_text(template, encoding="utf-8")
        doc = {"text": text}
        assert render.render_html(doc, title, width, height) == \
            s.model_render_html(template, doc, title, width, height), data


HARNESSES = {
    "base64": ["viz/kernels/base64.cpp"],
    "signature": ["viz/frame/signature.cpp"],
    "page": ["viz/kernels/page.cpp"],
    "eventstream": ["viz/kernels/eventstream.cpp"],
    "evt": ["viz/kernels/evt.cpp"],
}


def _compiler_flags(cxx, tmp):
    probe = tmp / "probe.cpp"
    probe.write_text("int main() { return 0; }\n")
    for flags in (["-fsanitize=address,undefined", "-fno-sanitize-recover=all"], []):
        if subprocess.run([cxx, *flags, str(probe), "-o", str(tmp / "probe")],
                          capture_output=True).returncode == 0:
            return flags
    return []


@pytest.mark.parametrize("target", sorted(HARNESSES))
def test_corpus_replays_through_the_harness(target, tmp_path):
    if os.environ.get("NIVRA_ASAN_SITE"):
        pytest.skip("replayed with sanitizers by make test already")
    cxx = shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / target
    flags = _compiler_flags(cxx, tmp_path)
    sources = [ROOT / "fuzz" / f"{target}_fuzz.cpp", ROOT / "fuzz" / "replay_main.cpp",
               *(ROOT / src for src in HARNESSES[target])]
    build = subprocess.run([cxx, "-std=c++20", "-O1", "-g", *flags, f"-I{ROOT / 'viz'}",
                            *map(str, sources), "-o", str(exe)], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr[-3000:]
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1", UBSAN_OPTIONS="halt_on_error=1")
    env.pop("LD_PRELOAD", None)
    run = subprocess.run([str(exe), str(CORPUS / target)], capture_output=True, text=True, env=env,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    assert f"replayed {len(corpus(target))} inputs" in run.stdout
