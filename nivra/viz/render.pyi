"""HTML rendering for nivra.viz."""
from pathlib import Path
from typing import Any, Dict

TEMPLATES_DIR: Path
__test__: Dict[str, Any]

def load_template(name: str) -> str: ...
def render_html(data: Dict[str, Any], title: str = 'nivra.viz', width: int = 1200, height: int = 800) -> str: ...
def _escape_html(text: str) -> str: ...
